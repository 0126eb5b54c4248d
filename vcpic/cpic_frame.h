/* SPDX-License-Identifier: Apache-2.0 */
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
#include "vcpic/cpic_operation.h"
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

/* Zeroes the verb record and fills the common header for `opcode`. */
VCB &prepare_verb(CCCB *cccb, uint16_t opcode);

/* Runs the operation begun on `cccb` (op::begin) whose verb is built in
 * the CCCB's record: hands it to the node with `node_callback`, and unless
 * the node keeps it in flight completes it at once through `completion`
 * and finishes it. With `answer_alone` the node's in-progress answer
 * counts even without a callback. `rc` receives the call's return code. */
enum class Outcome : uint8_t { kInFlight, kCompleted, kReleased };
Outcome run_operation(CCCB *cccb, APPC_CALLBACK completion, APPC_CALLBACK node_callback, bool answer_alone,
                      const op::AssertPlace &place, CM_INT32 &rc);

/* The call's own result processing, run by complete_verb after the return
 * codes are mapped (on success and failure alike; the primary return code
 * is still in the record). */
using ResultHook = void (*)(CCCB *cccb);

/* The same for a completion that may go on with a chained verb of the same
 * operation (`async` as the completion was called). */
enum class Next : uint8_t { kDone, kContinued };
using ChainHook = Next (*)(CCCB *cccb, uint32_t async);

/* The common part of every completion callback: maps the return codes,
 * marks an ended conversation, runs the call's hook, and for a completion
 * the node delivers later posts the result, unless the hook says a chained
 * verb continues the operation (its own completion posts it then). */
void complete_verb(void *vcb, uint32_t async, ResultHook hook = nullptr);
void complete_verb(void *vcb, uint32_t async, ChainHook hook);

} // namespace cpic

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
#define CPIC_ENTRY_ALIAS(upper, lower)                                                                       \
    extern "C" __attribute__((visibility("default"), alias(#lower))) decltype(lower) upper

#endif /* VCPIC_CPIC_FRAME_H */
