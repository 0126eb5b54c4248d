// SPDX-License-Identifier: Apache-2.0
// Confirm, Confirmed and Flush: one verb each, no data of their own.
#include "vcpic/cpic_frame.h"

using namespace cpic;

CPIC_API void cmcfm_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async, [](CCCB *c) {
        // The partner's request-to-send indicator counts even when the
        // confirmation failed.
        if (auto *rts = op::saved(c).request_to_send()) *rts = c->vcb.confirm.rts_ind;
    });
}

CPIC_API void cmcfmd_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async, [](CCCB *c) {
        if (c->vcb.hdr.primary_rc != kPrimaryOk) return;
        c->usConfirmPending = 0;
        if (c->usConfirmDealloc) c->usConvEnded = 1;
    });
}

CPIC_API void cmflus_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async);
}

CM_ENTRY cmcfm(unsigned char *conversation_ID, CM_REQUEST_TO_SEND_RECEIVED *request_to_send_received,
               CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMCFM, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(request_to_send_received));
    if (f.ok() && may_issue_verb(f)) {
        prepare_verb(f.cccb(), AP_CONFIRM);
        f.issue_verb(cmcfm_cb, outputs(request_to_send_received));
    }
}
CPIC_ENTRY_ALIAS(CMCFM, cmcfm);

CM_ENTRY cmcfmd(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMCFMD, return_code, Conversation{conversation_ID}, words(conversation_ID));
    if (f.ok() && may_issue_verb(f)) {
        prepare_verb(f.cccb(), AP_CONFIRMED);
        f.issue_verb(cmcfmd_cb, {});
    }
}
CPIC_ENTRY_ALIAS(CMCFMD, cmcfmd);

CM_ENTRY cmflus(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMFLUS, return_code, Conversation{conversation_ID}, words(conversation_ID));
    if (f.ok() && may_issue_verb(f)) {
        prepare_verb(f.cccb(), AP_FLUSH);
        f.issue_verb(cmflus_cb, {});
    }
}
CPIC_ENTRY_ALIAS(CMFLUS, cmflus);
