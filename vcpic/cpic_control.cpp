// SPDX-License-Identifier: Apache-2.0
// Prepare_To_Receive, Request_To_Send, Send_Error and
// Test_Request_To_Send: verbs that steer the conversation without data of
// their own. The first three run the common issue; the test is always
// answered before the call returns, whatever the processing mode.
#include <string.h>

#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"

using namespace cpic;

namespace {

// Error log data is announced by its length and only travels on a basic
// conversation; a length without a buffer cannot be sent.
bool log_data_missing(const CCCB &c) {
    return c.ulConversationType == CM_BASIC_CONVERSATION && c.usLogDataLen != 0 && c.LogData == nullptr;
}

void send_error_result(CCCB *c) {
    if (c->vcb.hdr.primary_rc == kPrimaryOk) {
        // The error answers a pending confirmation request, and the log
        // data has gone to the partner: neither is kept.
        c->usConfirmDealloc = 0;
        c->usConfirmPending = 0;
        c->usLogDataLen = 0;
        if (c->LogData != nullptr) nba_mm_free(c->LogData, 0);
        c->LogData = nullptr;
    }
    if (auto *rts = op::saved(c).request_to_send()) *rts = c->vcb.send_error.rts_ind;
}

} // namespace

CPIC_API void cmptr_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async);
}

CPIC_API void cmrts_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async);
}

CPIC_API void cmserr_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async, send_error_result);
}

// Only ever called by cmtrts, directly after the node has answered: the
// test has no asynchronous completion, so there is nothing to post.
CPIC_API void cmtrts_cb(void *vcb, uint32_t, uint32_t, uint32_t) {
    CCCB *c = static_cast<CCCB *>(vcb);
    const VCB_HDR &h = c->vcb.hdr;
    CM_REQUEST_TO_SEND_RECEIVED *rts = op::saved(c).request_to_send();
    if (h.primary_rc == kPrimaryOk) {
        if (rts != nullptr) *rts = CM_REQ_TO_SEND_RECEIVED;
        c->ulTraceRc = CM_OK;
    } else if (h.primary_rc == kPrimaryUnsuccessful) {
        // "No request" is an answer to the test, not a failure of it.
        if (rts != nullptr) *rts = CM_REQ_TO_SEND_NOT_RECEIVED;
        c->ulTraceRc = CM_OK;
    } else {
        SCC_map_return_codes(&c->ulTraceRc, h.primary_rc, h.secondary_rc, h.opcode);
        if (IsConversationEnding(h.primary_rc)) c->usConvEnded = 1;
    }
}

CM_ENTRY cmptr(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMPTR, return_code, Conversation{conversation_ID}, words(conversation_ID));
    if (!f.ok() || !may_issue_verb(f)) return;
    CCCB *c = f.cccb();
    VCB_PREPARE_TO_RECEIVE &p = prepare_verb(c, NAP_PREPARE_TO_RECEIVE).prep_to_rcv;
    // Only FLUSH is a kind of its own; CONFIRM goes as SYNC_LEVEL and the
    // node decides from the sync level whether to confirm.
    p.ptr_kind = static_cast<uint8_t>(c->ulPrepToReceiveType & 1u);
    p.node_byte25 = 0;
    f.issue_verb(cmptr_cb, {});
}
CPIC_ENTRY_ALIAS(CMPTR, cmptr);

CM_ENTRY cmrts(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMRTS, return_code, Conversation{conversation_ID}, words(conversation_ID));
    if (!f.ok() || !may_issue_verb(f)) return;
    prepare_verb(f.cccb(), NAP_REQUEST_TO_SEND);
    f.issue_verb(cmrts_cb, {});
}
CPIC_ENTRY_ALIAS(CMRTS, cmrts);

CM_ENTRY cmserr(unsigned char *conversation_ID, CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMSERR, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(request_to_send_received));
    if (!f.ok() || !may_issue_verb(f)) return;
    CCCB *c = f.cccb();
    VCB_SEND_ERROR &e = prepare_verb(c, NAP_SEND_ERROR).send_error;
    e.error_dir = c->ulErrorDirection == CM_SEND_ERROR ? 1 : 0;
    if (c->ulConversationType == CM_BASIC_CONVERSATION) {
        if (log_data_missing(*c)) {
            CPIC_PROBLEM(kProblemLogDataMissing, 2, "");
            f.set_rc(CM_PRODUCT_SPECIFIC_ERROR);
            return;
        }
        e.node_byte25 = 0;
        e.log_len = c->usLogDataLen;
        // Passed, not copied: a successful completion frees it.
        if (c->usLogDataLen != 0) e.log_addr = c->LogData;
    }
    f.issue_verb(cmserr_cb, outputs(request_to_send_received));
}
CPIC_ENTRY_ALIAS(CMSERR, cmserr);

CM_ENTRY cmtrts(unsigned char *conversation_ID, CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMTRTS, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(request_to_send_received));
    if (!f.ok() || !may_issue_verb(f)) return;
    CCCB *c = f.cccb();
    // A confirmation request waits for its answer: the test is refused
    // until Confirmed or Send_Error has given it.
    if (c->usConfirmPending) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
        return;
    }
    prepare_verb(c, NAP_TEST_REQUEST_TO_SEND);
    // The test is answered within the call and never waits for Wait, but
    // its completion reads the saved call, where a result of an earlier
    // operation may still wait for collection: that one is kept aside, or
    // Wait would hand out the test's code in its place.
    const op::KeptResult waiting = op::keep_waiting_result(c);
    op::begin(c, kVerbCMTRTS, conversation_ID, f.rc(), outputs(request_to_send_received));
    // Without a callback the node answers before it returns, so neither the
    // outstanding count nor a result waiting for collection is touched.
    op::hand_to_node(c, &c->vcb, nullptr, 0, op::Count::kInline, {});
    cmtrts_cb(&c->vcb, 0, 0, 0);
    f.set_rc(static_cast<CM_INT32>(c->ulTraceRc));
    op::restore(c, waiting);
    if (op::finish(c, op::Count::kInline)) f.forget_cccb();
}
CPIC_ENTRY_ALIAS(CMTRTS, cmtrts);
