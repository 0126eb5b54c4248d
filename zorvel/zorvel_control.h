/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Test control of the node stand-in libzorvel.so.
 *
 * One exported entry, zorvel_test_control(op, ...), compiled only when
 * ZORVEL_TEST_CONTROL is defined; tests use the typed zt_* wrappers below.
 * The CPI-C library never includes this header.
 *
 * Conventions
 * - Every wrapper may be called with or without the process lock held; the
 *   ones that deliver completions or path events take it when the caller
 *   does not hold it.
 * - Pointers handed out (records, trace lines, verbs) stay valid until the
 *   next zt_reset, or until the entry falls out of its bounded history.
 * - Counters of records, trace lines and verbs count everything since the
 *   last reset; the history keeps the most recent ZT_HISTORY_MAX entries,
 *   older indexes answer null.
 * - Blocks from nba_mm_alloc are filled with 0xCD, so code that relies on
 *   fresh memory being zero fails visibly.
 *
 * Rendering of record inserts (the same text goes to the log file):
 *   "ba"  upper-case hex pairs, no separators: 01 00 00 00 -> "01000000"
 *   "ca"  the characters in double quotes, bytes outside 0x20..0x7E as '.':
 *         "AB C"
 *   "es"  hex as for "ba", a blank, then the EBCDIC text read as ASCII in
 *         double quotes (letters, digits, blank and common punctuation;
 *         '.' for the rest): C1C240F1 "AB 1"
 *   zero length: "-" for "ba", "\"\"" for "ca", "- \"\"" for "es";
 *   null address with a nonzero length: "(null)", nothing is read.
 *   "x"   four upper-case hex digits (low 16 bits): "0200"
 *   "lx"  eight upper-case hex digits: "58100000"
 *   "l"   signed decimal: "-5"
 *   "b"   two upper-case hex digits (low 8 bits): "0A"
 *   Inserts are separated by one blank. An unknown format word renders as
 *   "?word" and ends the inserts (the types of the rest are unknown).
 *   Text longer than the record's field is cut; the log line keeps it all.
 *
 * Assertion records: code = line, sequence = 0, format "", inserts =
 * "file: expression"; file, expression and line are also kept apart.
 *
 * Trace capture keeps each line as written minus time stamps:
 * com_trc_line gives prefix + text; com_trc_sep gives prefix +
 * ZT_TRACE_SEPARATOR; com_trc_dump gives one line per 16 bytes:
 *   prefix + "%04X" offset + two blanks + 16 "XX " groups (blank-padded on
 *   a short last line) + one blank + the bytes as ASCII ('.' outside
 *   0x20..0x7E), e.g. "CPIC 0000  41 42 ... 41 42 ..." .
 *
 * Verb answers: primary and secondary are the host-order integers the
 * library reads from offsets 4 and 8 (primary 0x0300 lands as bytes 00 03).
 * APPC and NOF opcodes share one answer namespace; they do not overlap.
 */
#ifndef ZORVEL_ZORVEL_CONTROL_H
#define ZORVEL_ZORVEL_CONTROL_H

#include <stdint.h>

#include "node/node_api.h"
#include "node/verb_entry.h"

NODE_EXTERN_C_BEGIN

/* ---- Records -------------------------------------------------------- */

enum { ZT_PROBLEM = 1, ZT_AUDIT = 2, ZT_ASSERT = 3 };

typedef struct ZT_RECORD {
    uint32_t kind; /* ZT_PROBLEM, ZT_AUDIT or ZT_ASSERT */
    uint32_t code; /* problem/audit code; the line for an assertion */
    uint32_t sequence;
    char format[16];
    char inserts[512]; /* rendered as described above */
    char file[128];    /* assertions only */
    char expression[256];
    int32_t line;
} ZT_RECORD;

/* Problem codes the stand-in writes about itself. */
#define ZT_PROBLEM_SLEEP_LIMIT 0x5A000001u   /* "lx lx": wait object, limit ms */
#define ZT_PROBLEM_PATCH_OUTSIDE 0x5A000002u /* "x lx lx": opcode, offset, length */
#define ZT_PROBLEM_NULL_BUFFER 0x5A000003u   /* "x lx": opcode, pointer field */
/* "ca ca": the engine ZORVEL_ENGINE names, which is not built in, and
 * the engine used instead ("scripted"). */
#define ZT_PROBLEM_ENGINE_UNKNOWN 0x5A000005u
/* "lx lx es": the receiving end's conversation, the sense code, the log
 * data GDS variable a partner sent with an error. */
#define ZT_PROBLEM_PARTNER_LOG_DATA 0x5A000010u
/* "ca lx": the node daemon's socket, errno: no daemon answered there and
 * none could be started. */
#define ZT_PROBLEM_NODE_UNREACHABLE 0x5A000011u

#define ZT_HISTORY_MAX 4096u
#define ZT_TRACE_SEPARATOR "----------------"

/* ---- Verbs ------------------------------------------------------------ */

enum {
    ZT_VERB_APPC_BLOCKING = 1, /* appc_c_version */
    ZT_VERB_APPC_ASYNC = 2,    /* appc_c_async_version */
    ZT_VERB_NOF = 3            /* nof_version */
};

enum {
    ZT_VERB_COMPLETED = 1, /* finished before the entry returned */
    ZT_VERB_PENDING = 2,   /* in progress, callback not yet run */
    ZT_VERB_DELIVERED = 3, /* callback has run */
    ZT_VERB_DISCARDED = 4  /* dropped by a path failure */
};

#define ZT_VERB_IMAGE_MAX 512u

typedef struct ZT_VERB {
    uint32_t kind;  /* ZT_VERB_APPC_BLOCKING / _ASYNC / ZT_VERB_NOF */
    uint32_t state; /* ZT_VERB_COMPLETED ... */
    uint16_t opcode;
    uint16_t returned; /* what the entry point returned */
    uint32_t version;
    uint32_t target;                        /* NOF target handle */
    uint32_t user;                          /* the async user word */
    APPC_CALLBACK callback;                 /* null for blocking verbs */
    void *record;                           /* the caller's record */
    uint32_t length;                        /* bytes of image */
    unsigned char image[ZT_VERB_IMAGE_MAX]; /* the record as issued */
} ZT_VERB;

/* How an in-progress completion reaches the program. Manual: only
 * zt_complete_pending. The bits let vpm_sleep and vpm_asm_event_fd
 * deliver it as well. */
enum { ZT_DELIVER_MANUAL = 0, ZT_DELIVER_ON_SLEEP = 1, ZT_DELIVER_ON_POLL = 2, ZT_DELIVER_AUTO = 3 };

enum {
    ZT_ANSWER_IN_PROGRESS = 0x01, /* async with callback: answer 0x17F0 */
    ZT_ANSWER_SET_RETURN = 0x02,  /* return `returned` when done at once */
    ZT_ANSWER_NO_IDS = 0x04,      /* no fresh tp_id / conv id / NOF handle */
    ZT_ANSWER_STICKY = 0x08,      /* stays queued for every later verb */
    /* The verb runs in the engine below; primary, secondary and the
     * patches are then written over its result (for a verb it leaves in
     * progress, the codes when its completion is delivered). */
    ZT_ANSWER_OVERRIDE = 0x10,
    /* The verb goes to the engine below untouched; queued ahead of a
     * failing answer, it lets the Nth verb of an opcode fail over a live
     * engine. */
    ZT_ANSWER_PASS = 0x20
};

#define ZT_PATCH_MAX 4u
#define ZT_PATCH_BYTES 64u
#define ZT_INDIRECT_MAX 65536u

typedef struct ZT_PATCH {
    uint32_t offset;
    uint32_t length; /* at most ZT_PATCH_BYTES */
    unsigned char bytes[ZT_PATCH_BYTES];
} ZT_PATCH;

/* Applied in this order: image, return codes, fresh ids, patches, the
 * indirect copy. Everything is copied when queued. */
typedef struct ZT_ANSWER {
    uint16_t primary;
    uint16_t returned; /* with ZT_ANSWER_SET_RETURN */
    uint32_t secondary;
    uint32_t flags;    /* ZT_ANSWER_* */
    uint32_t delivery; /* ZT_DELIVER_* for in-progress answers */
    uint32_t patch_count;
    ZT_PATCH patches[ZT_PATCH_MAX];
    const void *image; /* whole record image from offset 0, or null */
    uint32_t image_length;
    /* Bytes copied to the buffer whose address is the pointer-sized field
     * at indirect_field of the record (receive data, a NOF answer). */
    uint32_t indirect_field;
    uint32_t indirect_length; /* 0 = none */
    const void *indirect_data;
} ZT_ANSWER;

/* ---- Faults ----------------------------------------------------------- */

/* Stable numbers, never reused. */
enum {
    ZT_FAULT_MEM_ALLOC = 1,   /* nba_mm_alloc answers null */
    ZT_FAULT_TABLE_INIT = 2,  /* vtm_table_init stores 0 */
    ZT_FAULT_TABLE_FULL = 3,  /* vtm_get_free_entry answers 0 */
    ZT_FAULT_PATH_USER = 4,   /* vpm_init_path_user stores 0 */
    ZT_FAULT_WAIT_OBJECT = 5, /* vpm_allocate_wait_object answers 0 */
    ZT_FAULT_TRACE_OPEN = 6,  /* sepuapi_init cannot open the file */
    ZT_FAULT_SITE_END
};

#ifdef ZORVEL_TEST_CONTROL
/* Breakpoint target: called each time a fault fires. */
NODE_API void zorvel_fault_fired(uint32_t site);

enum ZT_OP {
    ZT_OP_RESET = 1,               /* () */
    ZT_OP_LIVE_BLOCKS = 2,         /* (uint32_t *) */
    ZT_OP_LIVE_BYTES = 3,          /* (uint64_t *) */
    ZT_OP_LIVE_TABLE_ENTRIES = 4,  /* (uint32_t *) */
    ZT_OP_LIVE_WAIT_OBJECTS = 5,   /* (uint32_t *) */
    ZT_OP_LIVE_TABLES = 6,         /* (uint32_t *) */
    ZT_OP_LIVE_PATH_USERS = 7,     /* (uint32_t *) */
    ZT_OP_RECORD_COUNT = 8,        /* (uint32_t kind, uint32_t *) */
    ZT_OP_RECORD = 9,              /* (uint32_t kind, uint32_t i, const ZT_RECORD **) */
    ZT_OP_TRACE_LINE_COUNT = 10,   /* (uint32_t *) */
    ZT_OP_TRACE_LINE = 11,         /* (uint32_t i, const char **) */
    ZT_OP_TRACE_CLEAR = 12,        /* () */
    ZT_OP_VERB_COUNT = 13,         /* (uint32_t *) */
    ZT_OP_VERB = 14,               /* (uint32_t i, const ZT_VERB **) */
    ZT_OP_QUEUE_ANSWER = 15,       /* (unsigned opcode, const ZT_ANSWER *) */
    ZT_OP_CLEAR_ANSWERS = 16,      /* () */
    ZT_OP_PENDING_COUNT = 17,      /* (uint32_t *) */
    ZT_OP_COMPLETE_PENDING = 18,   /* (uint32_t how_many, uint32_t *delivered) */
    ZT_OP_FAULT = 19,              /* (uint32_t site, uint32_t countdown, int persistent) */
    ZT_OP_FAULT_CLEAR = 20,        /* () */
    ZT_OP_FAULT_HITS = 21,         /* (uint32_t site, uint32_t *) */
    ZT_OP_FAULT_CALLS = 22,        /* (uint32_t site, uint32_t *) */
    ZT_OP_FAIL_PATH = 23,          /* () */
    ZT_OP_SET_TABLE_CAPACITY = 24, /* (uint32_t) */
    ZT_OP_SET_SLEEP_LIMIT = 25,    /* (uint32_t milliseconds) */
    ZT_OP_ANSWER_HITS = 26,        /* (unsigned opcode, uint32_t *) */
    ZT_OP_NODE_CONFIG = 27         /* (const char **) */
};

/* Returns 0, or -1 for an unknown op or a rejected argument. */
NODE_API int zorvel_test_control(int op, ...);

/* Delivers the path failure to the library (which tears itself down),
 * then forgets everything: tables, blocks (freed), records, trace, wait
 * objects, path users, answers, verbs, faults; re-reads ptrc, the sleep
 * limit and the table capacity from the environment, selects the engine
 * ZORVEL_ENGINE names and reads the configuration file again. */
static inline void zt_reset(void) {
    zorvel_test_control(ZT_OP_RESET);
}

static inline uint32_t zt_live_blocks(void) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_LIVE_BLOCKS, &n);
    return n;
}
static inline uint64_t zt_live_bytes(void) {
    uint64_t n = 0;
    zorvel_test_control(ZT_OP_LIVE_BYTES, &n);
    return n;
}
static inline uint32_t zt_live_table_entries(void) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_LIVE_TABLE_ENTRIES, &n);
    return n;
}
static inline uint32_t zt_live_wait_objects(void) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_LIVE_WAIT_OBJECTS, &n);
    return n;
}
static inline uint32_t zt_live_tables(void) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_LIVE_TABLES, &n);
    return n;
}
static inline uint32_t zt_live_path_users(void) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_LIVE_PATH_USERS, &n);
    return n;
}

static inline uint32_t zt_record_count(uint32_t kind) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_RECORD_COUNT, kind, &n);
    return n;
}
static inline const ZT_RECORD *zt_record(uint32_t kind, uint32_t i) {
    const ZT_RECORD *r = 0;
    zorvel_test_control(ZT_OP_RECORD, kind, i, &r);
    return r;
}
static inline uint32_t zt_problem_count(void) {
    return zt_record_count(ZT_PROBLEM);
}
static inline const ZT_RECORD *zt_problem(uint32_t i) {
    return zt_record(ZT_PROBLEM, i);
}
static inline uint32_t zt_audit_count(void) {
    return zt_record_count(ZT_AUDIT);
}
static inline const ZT_RECORD *zt_audit(uint32_t i) {
    return zt_record(ZT_AUDIT, i);
}
static inline uint32_t zt_assert_count(void) {
    return zt_record_count(ZT_ASSERT);
}
static inline const ZT_RECORD *zt_assert(uint32_t i) {
    return zt_record(ZT_ASSERT, i);
}

static inline uint32_t zt_trace_line_count(void) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_TRACE_LINE_COUNT, &n);
    return n;
}
static inline const char *zt_trace_line(uint32_t i) {
    const char *s = 0;
    zorvel_test_control(ZT_OP_TRACE_LINE, i, &s);
    return s;
}
static inline void zt_trace_clear(void) {
    zorvel_test_control(ZT_OP_TRACE_CLEAR);
}

static inline uint32_t zt_verb_count(void) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_VERB_COUNT, &n);
    return n;
}
static inline const ZT_VERB *zt_verb(uint32_t i) {
    const ZT_VERB *v = 0;
    zorvel_test_control(ZT_OP_VERB, i, &v);
    return v;
}
static inline const ZT_VERB *zt_last_verb(void) {
    uint32_t n = zt_verb_count();
    return n ? zt_verb(n - 1) : 0;
}
/* Verbs of one opcode still in the history. */
static inline uint32_t zt_verbs_of(uint16_t opcode) {
    uint32_t n = zt_verb_count(), hits = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const ZT_VERB *v = zt_verb(i);
        if (v && v->opcode == opcode) ++hits;
    }
    return hits;
}
/* Queues the answer to the next verb of `opcode` (FIFO per opcode).
 * Returns 0, or -1 when the answer is malformed (patch too long, image or
 * indirect data too large). */
static inline int zt_queue_answer(uint16_t opcode, const ZT_ANSWER *answer) {
    return zorvel_test_control(ZT_OP_QUEUE_ANSWER, (unsigned)opcode, answer);
}
static inline void zt_clear_answers(void) {
    zorvel_test_control(ZT_OP_CLEAR_ANSWERS);
}
/* Verbs of `opcode` answered from the script since the last reset. */
static inline uint32_t zt_answer_hits(uint16_t opcode) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_ANSWER_HITS, (unsigned)opcode, &n);
    return n;
}
static inline uint32_t zt_pending_count(void) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_PENDING_COUNT, &n);
    return n;
}
/* Delivers up to how_many (0 = all) pending completions in issue order,
 * whatever their delivery mode; returns the number delivered. */
static inline uint32_t zt_complete_pending(uint32_t how_many) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_COMPLETE_PENDING, how_many, &n);
    return n;
}

/* The node configuration in force, one "; "-separated item per LU, TP
 * and user, in file order:
 *   lu ALIAS NAME [default]
 *   tp NAME CONVERSATION_TYPE SYNC_LEVEL SECURITY QUEUE_TIMEOUT_MS PATH ARGS MAX_INSTANCES
 *      (PATH "-" when none, ARGS joined by "," or "-")
 *   user USER_ID PASSWORD_HASH
 * Valid until the next call. */
static inline const char *zt_node_config(void) {
    const char *s = 0;
    zorvel_test_control(ZT_OP_NODE_CONFIG, &s);
    return s;
}

/* The countdown-th call from now at `site` fails (countdown 0 disarms);
 * persistent: every call from then on fails too. Arming restarts the
 * site's counters. */
static inline void zt_fault(uint32_t site, uint32_t countdown, int persistent) {
    zorvel_test_control(ZT_OP_FAULT, site, countdown, persistent);
}
/* Disarms every site and zeroes every counter. */
static inline void zt_fault_clear(void) {
    zorvel_test_control(ZT_OP_FAULT_CLEAR);
}
static inline uint32_t zt_fault_hits(uint32_t site) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_FAULT_HITS, site, &n);
    return n;
}
static inline uint32_t zt_fault_calls(uint32_t site) {
    uint32_t n = 0;
    zorvel_test_control(ZT_OP_FAULT_CALLS, site, &n);
    return n;
}

/* Discards pending completions, then calls every path user with 0x8001. */
static inline void zt_fail_path(void) {
    zorvel_test_control(ZT_OP_FAIL_PATH);
}
/* Entries per table; 0 restores the default (65536). */
static inline void zt_set_table_capacity(uint32_t n) {
    zorvel_test_control(ZT_OP_SET_TABLE_CAPACITY, n);
}
/* Longest vpm_sleep before it gives up with a problem record; 0 restores
 * ZORVEL_SLEEP_LIMIT_MS or 10000. */
static inline void zt_set_sleep_limit(uint32_t milliseconds) {
    zorvel_test_control(ZT_OP_SET_SLEEP_LIMIT, milliseconds);
}

#endif /* ZORVEL_TEST_CONTROL */

NODE_EXTERN_C_END

#endif /* ZORVEL_ZORVEL_CONTROL_H */
