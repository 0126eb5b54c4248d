// SPDX-License-Identifier: Apache-2.0
// The call frame and the verb issue/completion protocol shared by every
// CPI-C routine.
#include "vcpic/cpic_frame.h"

#include <string.h>

#include "vcpic/cpic_log.h"
#include "vcpic/semutrcp.h"

namespace cpic {

namespace {

// Problem sequence of each routine for an unknown conversation ID.
constexpr std::array<int16_t, kVerbCount> kProblemSequence = [] {
    std::array<int16_t, kVerbCount> t{};
#define CPIC_SEQUENCE(index, upper, lower, params, seq, has) t[index] = (seq);
    CPIC_VERB_MAP(CPIC_SEQUENCE)
#undef CPIC_SEQUENCE
    return t;
}();

void trace(uint32_t kind, uint32_t verb, const CCCB *cccb, const TraceWords &w) {
    seputrcp(kind, verb, cccb, w[0], w[1], w[2], w[3], w[4], w[5]);
}

} // namespace

CallFrame::CallFrame(VerbIndex verb, CM_RETURN_CODE *rc, const TraceWords &request)
    : verb_(verb), rc_pointer_(rc) {
    if (rc_pointer_ != nullptr) *rc_pointer_ = CM_OK;
    request_trace(request);
}

CallFrame::CallFrame(VerbIndex verb, CM_RETURN_CODE *rc, Conversation conversation, const TraceWords &request)
    : verb_(verb), rc_pointer_(rc), conversation_id_(conversation.id) {
    if (rc_pointer_ != nullptr) *rc_pointer_ = CM_OK;
    // The lookup has no side effects, so it may come first and hand the
    // request record the conversation's characteristics.
    cccb_ = SCC_lookup_cccb(conversation_id_, *pGCB);
    request_trace(request);
    if (cccb_ == nullptr) {
        if (conversation_id_ != nullptr)
            CPIC_PROBLEM(kProblemUnknownConversation, kProblemSequence[verb_], "ba", 8u, conversation_id_);
        else
            CPIC_PROBLEM(kProblemUnknownConversation, kProblemSequence[verb_], "ba", 0u, nullptr);
        rc_ = CM_PROGRAM_PARAMETER_CHECK;
    }
}

CallFrame::~CallFrame() {
    if (rc_pointer_ != nullptr) *rc_pointer_ = rc_;
    if (SCC_api_trace_on()) {
        const TraceOutputs &o = response_;
        seputrcp(2, verb_, cccb_, reinterpret_cast<CPIC_WORD>(rc_pointer_), o[0], o[1], o[2], o[3], o[4]);
    }
}

void CallFrame::request_trace(const TraceWords &request) {
    if (SCC_api_trace_on()) trace(1, verb_, cccb_, request);
}

bool CallFrame::init_library() {
    if (SCC_ensure_init()) return true;
    rc_ = CM_PRODUCT_SPECIFIC_ERROR;
    return false;
}

bool may_issue_verb(CallFrame &frame) {
    const CCCB *c = frame.cccb();
    if (c->usVerbsOutstanding != 0) {
        frame.set_rc(CM_OPERATION_NOT_ACCEPTED);
    } else if (c->ulConvId == 0) {
        frame.set_rc(CM_PROGRAM_STATE_CHECK);
    }
    return frame.ok();
}

VCB &prepare_verb(CCCB *cccb, uint16_t opcode) {
    VCB &v = cccb->vcb;
    memset(&v, 0, sizeof v);
    v.hdr.opcode = opcode;
    v.hdr.conv_type = static_cast<uint8_t>(cccb->ulConversationType & 0xFFu);
    memcpy(v.hdr.tp_id, cccb->TpId, sizeof v.hdr.tp_id);
    v.hdr.conv_id = cccb->ulConvId;
    return v;
}

Outcome run_operation(CCCB *c, APPC_CALLBACK completion, APPC_CALLBACK node_callback, bool answer_alone,
                      const op::AssertPlace &place, CM_INT32 &rc) {
    op::BlockedCall holder;
    holder.cccb = c;
    uint16_t answer;
    {
        op::Holding holding(holder);
        answer = op::hand_to_node(c, &c->vcb, node_callback, 1, op::Count::kReplacesResult, place);
    }
    if (holder.dropped) {
        // The conversation went while the node held the call (another
        // thread's Terminate, a path failure): its end is the answer.
        if (holder.frees) op::free_dropped(c);
        rc = holder.conversation_rc;
        return Outcome::kReleased;
    }
    // Without a callback the node cannot complete later, whatever it says,
    // unless the call takes its answer alone for it.
    if (op::in_flight(answer, node_callback != nullptr || answer_alone)) {
        rc = CM_OPERATION_INCOMPLETE;
        return Outcome::kInFlight;
    }
    completion(&c->vcb, 0, 0, 0);
    rc = static_cast<CM_INT32>(c->ulTraceRc);
    return op::finish(c) ? Outcome::kReleased : Outcome::kCompleted;
}

void CallFrame::issue_verb(APPC_CALLBACK callback, const TraceOutputs &saved) {
    CCCB *c = cccb_;
    op::begin(c, verb_, conversation_id_, rc_, saved);
    APPC_CALLBACK node_callback = c->usProcessingMode != CM_BLOCKING ? callback : nullptr;
    const op::AssertPlace place{__FILE__, __LINE__, "(pGCB)->NumVerbsWaiting > 0"};
    if (run_operation(c, callback, node_callback, false, place, rc_) == Outcome::kReleased) cccb_ = nullptr;
}

namespace {

// The mapping every completion shares: a failure is mapped, and a
// conversation-ending one ends the conversation.
CCCB *map_result(void *vcb) {
    CCCB *c = static_cast<CCCB *>(vcb); // the record is the CCCB's first member
    const VCB_HDR &h = c->vcb.hdr;
    if (h.primary_rc != kPrimaryOk) {
        SCC_map_return_codes(&c->ulTraceRc, h.primary_rc, h.secondary_rc, h.opcode);
        if (IsConversationEnding(h.primary_rc)) c->usConvEnded = 1;
    } else {
        c->ulTraceRc = CM_OK;
    }
    return c;
}

} // namespace

void complete_verb(void *vcb, uint32_t async, ResultHook hook) {
    // Read before anything can change it: a hook may reuse the record.
    const op::SavedCall saved = op::saved(static_cast<CCCB *>(vcb));
    CCCB *c = map_result(vcb);
    if (hook != nullptr) hook(c);
    if (async != 0) op::post(c, saved);
}

void complete_verb(void *vcb, uint32_t async, ChainHook hook) {
    const op::SavedCall saved = op::saved(static_cast<CCCB *>(vcb));
    CCCB *c = map_result(vcb);
    if (hook(c, async) == Next::kContinued) return;
    if (async != 0) op::post(c, saved);
}

} // namespace cpic
