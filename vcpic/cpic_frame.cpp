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

}  // namespace

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

uint16_t hand_to_node(CCCB *c, APPC_CALLBACK callback, const char *file, int32_t line) {
    GCB *g = pGCB;
    ++c->usVerbsOutstanding;
    if (c->usCompletionWaiting) {
        c->usCompletionWaiting = 0;
        if (g->NumVerbsWaiting > 0)
            --g->NumVerbsWaiting;
        else
            v0_assert(file, line, "(pGCB)->NumVerbsWaiting > 0");
    }
    return appc_c_async_version(APPC_VERSION, &c->vcb, callback, 1);
}

void CallFrame::issue_verb(APPC_CALLBACK callback, const TraceOutputs &saved) {
    CCCB *c = cccb_;
    GCB *g = pGCB;
    c->usTraceVerb = verb_;
    memcpy(c->TraceArgs, saved.data(), sizeof c->TraceArgs);
    c->pTraceConvId = c->TraceConvId;
    c->ulTraceRc = static_cast<uint32_t>(rc_);
    if (conversation_id_ != nullptr) memcpy(c->TraceConvId, conversation_id_, sizeof c->TraceConvId);
    APPC_CALLBACK node_callback = c->usProcessingMode != CM_BLOCKING ? callback : nullptr;
    const uint16_t answer = hand_to_node(c, node_callback, __FILE__, __LINE__);
    // Without a callback the node cannot complete later, whatever it says.
    if (answer == APPC_IN_PROGRESS && node_callback != nullptr) {
        ++g->NumVerbsOutstanding;
        rc_ = CM_OPERATION_INCOMPLETE;
        return;
    }
    callback(&c->vcb, 0, 0, 0);
    rc_ = static_cast<CM_INT32>(c->ulTraceRc);
    --c->usVerbsOutstanding;
    if (c->usConvEnded && c->usVerbsOutstanding == 0 && !c->usCompletionWaiting) {
        SCC_free_cccb(c);
        cccb_ = nullptr;
    }
}

SavedCall save_call(const CCCB *c) {
    SavedCall s{c->usTraceVerb, c->pTraceConvId, {}};
    memcpy(s.args.data(), c->TraceArgs, sizeof c->TraceArgs);
    return s;
}

void post_completion(CCCB *c, const SavedCall &saved) {
    GCB *g = pGCB;
    --g->NumVerbsOutstanding;
    if (!c->usCompletionWaiting) {
        c->usCompletionWaiting = 1;
        ++g->NumVerbsWaiting;
    }
    --c->usVerbsOutstanding;
    vpm_wakeup(g->WaitObject);
    if (SCC_api_trace_on()) {
        CCCB *found = nullptr;
        if (saved.conversation_id != nullptr) SCC_find_cccb(saved.conversation_id, &found, g);
        const TraceOutputs &a = saved.args;
        seputrcp(2, saved.verb, found, reinterpret_cast<CPIC_WORD>(&c->ulTraceRc), a[0], a[1], a[2], a[3], a[4]);
    }
}

void complete_verb(void *vcb, uint32_t async, ResultHook hook) {
    CCCB *c = static_cast<CCCB *>(vcb);  // the record is the CCCB's first member
    const SavedCall saved = save_call(c);
    const VCB_HDR &h = c->vcb.hdr;
    if (h.primary_rc != kPrimaryOk) {
        SCC_map_return_codes(&c->ulTraceRc, h.primary_rc, h.secondary_rc, h.opcode);
        if (IsConversationEnding(h.primary_rc)) c->usConvEnded = 1;
    } else {
        c->ulTraceRc = CM_OK;
    }
    if (hook != nullptr) hook(c);
    if (async != 0) post_completion(c, saved);
}

}  // namespace cpic
