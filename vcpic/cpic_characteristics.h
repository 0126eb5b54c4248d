/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The machinery of the set and extract calls: a set call is a row of a
 * descriptor table driving one worker, and the extract calls that answer
 * from the CCCB share one set of checks. None of them reaches the node, and
 * the set calls never look at an outstanding verb, so they work while a
 * non-blocking operation is in flight.
 */
#ifndef VCPIC_CPIC_CHARACTERISTICS_H
#define VCPIC_CPIC_CHARACTERISTICS_H

#include "vcpic/cpic_frame.h"

namespace cpic {

/* The return code refusing a call for the conversation alone, or CM_OK. */
using ConversationRefusal = CM_INT32 (*)(const CCCB &c);
/* True when the value cannot be taken on this conversation. */
using ValueRefusal = bool (*)(const CCCB &c, uint32_t value);
/* Where a value call keeps its characteristic. */
using ValueField = uint32_t &(*)(CCCB &c);

template <uint32_t CCCB::*Member>
uint32_t &cccb_field(CCCB &c) {
    return c.*Member;
}

/* Checks common to every set call, in their order: the state test of the
 * Initialize-only calls (25), then a refusal that depends on the
 * conversation alone. False, with the return code set, on refusal. */
inline bool conversation_accepts(CallFrame &f, bool initialize_only, ConversationRefusal refused) {
    if (!f.ok()) return false; // unknown conversation ID
    const CCCB &c = *f.cccb();
    if (initialize_only && !SCC_in_initialize_state(c)) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
    } else if (refused != nullptr) {
        f.set_rc(refused(c));
    }
    return f.ok();
}

/* ---- Calls with one value ---------------------------------------------- */

struct ValueCall {
    VerbIndex verb;
    ValueField field;
    uint32_t largest; // values 0..largest are accepted
    bool initialize_only;
    ConversationRefusal refused_before; // tested before the value, or null
    ValueRefusal refused_after;         // tested after it, or null
};

/* Inline: the common set calls are the library's cheapest path, and each
 * entry point folds its own row in. */
inline void set_value(const ValueCall &call, unsigned char *conversation_ID, const CM_INT32 *value,
                      CM_RETURN_CODE *return_code) {
    CallFrame f(call.verb, return_code, Conversation{conversation_ID}, words(conversation_ID, value));
    if (!conversation_accepts(f, call.initialize_only, call.refused_before)) return;
    CCCB &c = *f.cccb();
    // Negative values fail the range test as large unsigned ones.
    const bool in_range = value != nullptr && static_cast<uint32_t>(*value) <= call.largest;
    if (!in_range ||
        (call.refused_after != nullptr && call.refused_after(c, static_cast<uint32_t>(*value)))) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    call.field(c) = static_cast<uint32_t>(*value);
}

/* ---- Calls with bytes and a length ------------------------------------- */

/* Stores checked bytes; the return code of the call. */
using Store = CM_INT32 (*)(CCCB &c, const unsigned char *bytes, uint32_t length);

struct NameCall {
    VerbIndex verb;
    bool initialize_only;
    ConversationRefusal refused_before; // tested before the length, or null
    uint32_t shortest;
    uint32_t longest;
    Store store;
    bool secret; // the request record shows only the conversation ID
};

void set_bytes(const NameCall &call, unsigned char *conversation_ID, const unsigned char *bytes,
               const CM_INT32 *length, CM_RETURN_CODE *return_code);

/* ---- Extract calls that answer from the CCCB ---------------------------- */

enum class WhileOutstanding { kAnswer, kRefuse };
enum class StateCheck { kCharacteristics, kAnyState };

/* The checks before a CCCB-only extract, in their order: unknown ID (the
 * frame has answered 24 already), a verb in flight for the calls that
 * refuse then (37), a conversation without characteristics yet (25, unless
 * the call answers in any state), and outputs the call cannot write to
 * (24). True when the output may be produced. */
template <typename... Out>
bool may_extract(CallFrame &f, WhileOutstanding outstanding, StateCheck state, const Out *...out) {
    if (!f.ok()) return false;
    const CCCB &c = *f.cccb();
    if (outstanding == WhileOutstanding::kRefuse && c.usVerbsOutstanding != 0) {
        f.set_rc(CM_OPERATION_NOT_ACCEPTED);
    } else if (state == StateCheck::kCharacteristics && SCC_in_initialize_incoming_state(c)) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
    } else if (((out == nullptr) || ...)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
    }
    return f.ok();
}

} // namespace cpic

/* An entry point that is one row of a set table, and its upper-case twin.
 * Every characteristic is a CM_INT32, so one prototype serves them all. */
#define CPIC_SET_VALUE_CALL(lower, upper, row)                                                               \
    CM_ENTRY lower(unsigned char *conversation_ID, CM_INT32 *value, CM_RETURN_CODE *return_code) {           \
        ::cpic::set_value(row, conversation_ID, value, return_code);                                         \
    }                                                                                                        \
    CPIC_ENTRY_ALIAS(upper, lower)
#define CPIC_SET_BYTES_CALL(lower, upper, row)                                                               \
    CM_ENTRY lower(unsigned char *conversation_ID, unsigned char *bytes, CM_INT32 *length,                   \
                   CM_RETURN_CODE *return_code) {                                                            \
        ::cpic::set_bytes(row, conversation_ID, bytes, length, return_code);                                 \
    }                                                                                                        \
    CPIC_ENTRY_ALIAS(upper, lower)

#endif /* VCPIC_CPIC_CHARACTERISTICS_H */
