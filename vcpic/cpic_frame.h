/*
 * The frame every CPI-C routine runs in, and the protocol by which a routine
 * issues its APPC verb and completes it.
 *
 * A routine constructs one CallFrame at its start and lets it go out of scope
 * at its end; the frame holds the process lock for the whole call, writes the
 * request and response trace records and stores the return code, so no path
 * through a routine can skip the response record or the unlock.
 */
#ifndef VCPIC_CPIC_FRAME_H
#define VCPIC_CPIC_FRAME_H

#include <array>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_util.h"

namespace cpic {

class ProcessLock {
  public:
    ProcessLock() : token_(vpm_lock()) {}
    ~ProcessLock() { vpm_unlock(token_); }
    ProcessLock(const ProcessLock &) = delete;
    ProcessLock &operator=(const ProcessLock &) = delete;

  private:
    uint16_t token_;
};

/* Trace argument words a1..a6 of a request record, or a2..a6 (the outputs)
 * of a response record; a1 of a response is always the return code. */
using TraceWords = std::array<CPIC_WORD, 6>;
using TraceOutputs = std::array<CPIC_WORD, CPIC_TRACE_ARGS>;

template <typename... T>
TraceWords words(T... args) {
    return TraceWords{reinterpret_cast<CPIC_WORD>(args)...};
}
template <typename... T>
TraceOutputs outputs(T... args) {
    return TraceOutputs{reinterpret_cast<CPIC_WORD>(args)...};
}

/* Tag: the call names a conversation and looks it up. */
struct Conversation {
    const unsigned char *id;
};

class CallFrame {
  public:
    /* A call without a conversation ID (or one that finds it itself). */
    CallFrame(VerbIndex verb, CM_RETURN_CODE *rc, const TraceWords &request);
    /* A call on a conversation: the lookup happens here. When the ID is
     * unknown the frame writes the call's problem record and sets 24. */
    CallFrame(VerbIndex verb, CM_RETURN_CODE *rc, Conversation conversation, const TraceWords &request);
    ~CallFrame();
    CallFrame(const CallFrame &) = delete;
    CallFrame &operator=(const CallFrame &) = delete;

    /* Initialises the library for the calls that may create state; false
     * (and return code 20) when that fails. */
    bool init_library();

    bool ok() const { return rc_ == CM_OK; }
    CM_INT32 rc() const { return rc_; }
    void set_rc(CM_INT32 rc) { rc_ = rc; }
    CCCB *cccb() const { return cccb_; }
    VerbIndex verb() const { return verb_; }
    const unsigned char *conversation_id() const { return conversation_id_; }
    CM_RETURN_CODE *rc_pointer() const { return rc_pointer_; }

    /* The outputs a2..a6 the response record shows. */
    void respond(const TraceOutputs &outputs) { response_ = outputs; }
    /* The CCCB was released during the call: the response record must not
     * read it. */
    void forget_cccb() { cccb_ = nullptr; }
    /* A call that creates its conversation hands it to the response record. */
    void set_cccb(CCCB *cccb) { cccb_ = cccb; }

    /* Issues the verb the caller has built in the CCCB's record (header
     * set by prepare_verb, fields by the caller), blocking or non-blocking
     * according to the conversation's processing mode, and completes it
     * through `callback`, which is called directly when the verb finishes
     * at once. Sets the return code; may release the CCCB. */
    void issue_verb(APPC_CALLBACK callback, const TraceOutputs &saved);

  private:
    void request_trace(const TraceWords &request);

    ProcessLock lock_;
    VerbIndex verb_;
    CM_RETURN_CODE *rc_pointer_;
    CM_INT32 rc_ = CM_OK;
    CCCB *cccb_ = nullptr;
    const unsigned char *conversation_id_ = nullptr;
    TraceOutputs response_{};
};

/* The checks before any verb: 37 while one is outstanding, 25 without a
 * conversation at the node. True when the verb may be issued. */
bool may_issue_verb(CallFrame &frame);

/* Hands the verb built in the CCCB's record to the node: counts it as
 * outstanding on the conversation, drops a result nobody collected (the new
 * verb replaces it; `file`/`line` name the place for the assertion on the
 * count) and issues it with `callback` (null: the node completes it before
 * returning). Returns the node's answer; APPC_IN_PROGRESS means the
 * callback finishes the verb later. */
uint16_t hand_to_node(CCCB *cccb, APPC_CALLBACK callback, const char *file, int32_t line);

/* Zeroes the verb record and fills the common header for `opcode`. */
VCB &prepare_verb(CCCB *cccb, uint16_t opcode);

/* What a completion needs of the call that issued the verb, read before
 * anything can change it. */
struct SavedCall {
    uint16_t verb;
    const unsigned char *conversation_id;
    TraceOutputs args;
};
SavedCall save_call(const CCCB *cccb);

/* The bookkeeping of a completion the node delivered later: the result now
 * waits for collection, Wait is woken, and the call's response record is
 * written from the saved arguments. */
void post_completion(CCCB *cccb, const SavedCall &saved);

/* The call's own result processing, run by complete_verb after the return
 * codes are mapped (on success and failure alike; the primary return code
 * is still in the record). */
using ResultHook = void (*)(CCCB *cccb);

/* The common part of every completion callback: maps the return codes,
 * marks an ended conversation, runs the call's hook, and for a completion
 * the node delivers later does the bookkeeping, wakes Wait and writes the
 * response record from the arguments saved at issue. */
void complete_verb(void *vcb, uint32_t async, ResultHook hook = nullptr);

}  // namespace cpic

/* Completion callbacks of the verb-issuing routines: (the verb record, which
 * is the CCCB, two unused words, 1 when the node delivers the completion
 * later, 0 when the routine calls it directly). */
#define CPIC_CALLBACK(name) CPIC_API void name(void *vcb, uint32_t unused1, uint32_t unused2, uint32_t async)
CPIC_CALLBACK(cmacci_cb);
CPIC_CALLBACK(cmaccp_cb);
CPIC_CALLBACK(cmallc_cb);
CPIC_CALLBACK(cmcanc_cb);
CPIC_CALLBACK(cmcfm_cb);
CPIC_CALLBACK(cmcfmd_cb);
CPIC_CALLBACK(cmdeal_cb);
CPIC_CALLBACK(cmecs_cb);
CPIC_CALLBACK(cmflus_cb);
CPIC_CALLBACK(cmptr_cb);
CPIC_CALLBACK(cmrcv_cb);
CPIC_CALLBACK(cmrts_cb);
CPIC_CALLBACK(cmsend_cb);
CPIC_CALLBACK(cmserr_cb);
CPIC_CALLBACK(cmtrts_cb);
#undef CPIC_CALLBACK

/* The upper-case entry point is the lower-case routine under a second name:
 * the same code, the same arguments. Must stand in the routine's file. */
#define CPIC_ENTRY_ALIAS(upper, lower) \
    extern "C" __attribute__((visibility("default"), alias(#lower))) decltype(lower) upper

#endif /* VCPIC_CPIC_FRAME_H */
