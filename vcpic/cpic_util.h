/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The library's conversation utilities (SCC_ routines) used across the
 * calls. All run under the process lock unless noted.
 */
#ifndef VCPIC_CPIC_UTIL_H
#define VCPIC_CPIC_UTIL_H

#include <stdint.h>
#include <string.h>

#include "cpic.h"
#include "node/services.h"
#include "node/verb_entry.h"
#include "vcpic/cpic_charsets.h"
#include "vcpic/cpic_records.h"

/* Initialises the library; callers test fInitCPIC afterwards. */
CPIC_API uint16_t SCC_init(void);
/* The one way into initialisation for the calls that may create state:
 * initialises the library unless it is; true when it is. Internal: not
 * exported. */
CPIC_EXTERN_C bool SCC_ensure_init(void);
/* 8-byte local LU alias from APPCLLU: blank padded, all zero when unset. */
CPIC_API void SCC_get_lu_alias(unsigned char *alias);
/* 64-byte EBCDIC local TP name from APPCTPN (or the default name). */
CPIC_API void SCC_set_tp_name(unsigned char *name);
/* Bytes before the first NUL, at most `limit`; reads nothing past it. */
CPIC_API uint16_t SCC_far_len(const char *text, uint16_t limit);
CPIC_API uint32_t SCC_path_callback(uint32_t user, VPM_PATH_EVENT *event);
/* Releases every entry of a handle table and frees the block of each. */
CPIC_API void SCC_free_handles_from_table(uint32_t table);

CPIC_API const char *ocpic_verstamp(void);
CPIC_API const char *ocpic_verstamp_tvt(void);
CPIC_API const char ocpic_verstring[255];
CPIC_API const char ocpic_verstring1[255];
CPIC_API const char ocpic_verstring1_tvt[255];

/* ---- Internal: not exported ----------------------------------------- */

/* Creates, registers and initialises a CCCB; writes its 8-byte conversation
 * ID. 1 = created, 0 = failed (problem record written). */
CPIC_EXTERN_C uint16_t SCC_cccb_init(unsigned char *conversation_ID, CCCB **cccb);
/* 1 and the CCCB when the conversation ID names one; never logs. */
CPIC_EXTERN_C uint16_t SCC_find_cccb(const unsigned char *conversation_ID, CCCB **cccb, GCB *gcb);
/* The same lookup in the process's own GCB, inline for the frame of every
 * call: the CCCB, or null. */
inline CCCB *SCC_lookup_cccb(const unsigned char *conversation_ID, const GCB &gcb) {
    if (fInitCPIC == 0 || conversation_ID == nullptr) return nullptr;
    uint32_t handle;
    memcpy(&handle, conversation_ID, sizeof handle); // the last four bytes are never tested
    return handle != 0 ? static_cast<CCCB *>(vtm_get_pointer(gcb.CccbTable, handle)) : nullptr;
}
/* Releases the CCCB and what it owns, ending its TP instance if it was the
 * last conversation of one that is not the current context. */
CPIC_EXTERN_C void SCC_free_cccb(CCCB *cccb);

/* A conversation dropped with a verb still in flight (node path failure,
 * Terminate) never sees that verb complete: frees what only the completion
 * would have freed (the name list of an accept). */
CPIC_EXTERN_C void SCC_drop_verb_in_flight(CCCB *cccb);
/* The node path failed: frees what the conversation under `handle` owns
 * before the table's sweep frees its block, or releases only its entry
 * when a sleeping Cancel owns the block now. */
CPIC_EXTERN_C void SCC_drop_on_path_failure(uint32_t handle, CCCB *cccb);

/* Conversations in the table that run under tp_id. */
CPIC_EXTERN_C uint32_t SCC_cccbs_using_tpid(const unsigned char *tp_id);
/* Ends a TP instance at the node: synchronously when primary and secondary
 * are given (the verb's return codes are written through them),
 * asynchronously otherwise. */
CPIC_EXTERN_C void SCC_context_ended(const unsigned char *tp_id, uint8_t type, uint16_t *primary,
                                     uint32_t *secondary);
/* Completion of the asynchronous end-TP verb: frees its record. */
CPIC_EXTERN_C void SCC_null_callback(void *record, uint32_t unused1, uint32_t unused2, uint32_t user);

/* Stores the CPI-C return code for a failed verb (primary nonzero). */
CPIC_EXTERN_C void SCC_map_return_codes(uint32_t *rc, uint16_t primary, uint32_t secondary, uint16_t opcode);

/* ---- Definitions shared by the calls ---------------------------------- */

/* The pad of names that travel to the partner (EBCDIC), of the names that
 * stay in the process (ASCII), and the EBCDIC period between network ID and
 * LU name, which the type A set does not carry. */
inline constexpr unsigned char kEbcdicBlank = 0x40;
inline constexpr unsigned char kAsciiBlank = 0x20;
inline constexpr unsigned char kEbcdicPeriod = 0x4B;

/* The largest buffer a call accepts. */
inline constexpr CM_INT32 kMaximumBufferSize = 32767;
/* True for a length above kMaximumBufferSize, or a negative one (read as
 * unsigned it is larger still). */
inline bool SCC_beyond_maximum_buffer(CM_INT32 length) {
    return (static_cast<uint32_t>(length) & ~static_cast<uint32_t>(kMaximumBufferSize)) != 0;
}

/* True when all 8 bytes are zero: no context, no alias, no tp_id. Blanks
 * are a value. */
inline bool SCC_is_zero8(const unsigned char (&bytes)[8]) {
    static constexpr unsigned char kZero[8] = {};
    return memcmp(bytes, kZero, sizeof kZero) == 0;
}

/* Initialize state: made by Initialize_Conversation and not yet allocated
 * at the node. Accepted and Initialize_For_Incoming conversations never are. */
inline bool SCC_in_initialize_state(const CCCB &c) {
    return c.ulConvId == 0 && c.usInitialized != 0;
}
/* Initialize_Incoming state: made by Initialize_For_Incoming and not yet
 * accepted; such a conversation has no characteristics yet. */
inline bool SCC_in_initialize_incoming_state(const CCCB &c) {
    return c.ulConvId == 0 && c.usInitialized == 0;
}

/* The security types that send a user ID, and those that send a password
 * too (SECURITY_SAME vouches for the user on the local system's word). */
inline bool SCC_security_carries_user_id(uint32_t type) {
    return type == CM_SECURITY_SAME || type == CM_SECURITY_PROGRAM || type == CM_SECURITY_PROGRAM_STRONG;
}
inline bool SCC_security_carries_password(uint32_t type) {
    return type == CM_SECURITY_PROGRAM || type == CM_SECURITY_PROGRAM_STRONG;
}

/* True when bit 0x02 of byte 8 of ptrc asks for no audit records. */
inline bool SCC_audit_suppressed(void) {
    return (ptrc[PTRC_AUDIT_BYTE] & PTRC_NO_AUDIT_BIT) != 0;
}
/* True when the API trace is on. */
inline bool SCC_api_trace_on(void) {
    return (ptrc[PTRC_API_TRACE_BYTE] & PTRC_API_TRACE_BIT) != 0;
}

#endif /* VCPIC_CPIC_UTIL_H */
