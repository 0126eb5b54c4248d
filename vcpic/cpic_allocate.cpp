// SPDX-License-Identifier: Apache-2.0
// Allocate: give an initialised conversation a TP instance (the current
// context or a new one) and a conversation with the partner.
#include <string.h>

#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"

using namespace cpic;

namespace {

constexpr uint8_t kSecuritySameByte = 1;

// The start-TP verb, issued to completion in the conversation's own verb
// area. Returns the primary return code.
uint16_t start_tp(CCCB *c) {
    VCB_TP_STARTED &v = c->vcb.tp_started;
    memset(&c->vcb, 0, sizeof c->vcb);
    v.hdr.opcode = AP_TP_STARTED;
    memcpy(v.lu_alias, c->LocLUAlias, sizeof v.lu_alias);
    memcpy(v.tp_name, pGCB->LocTPName, sizeof v.tp_name);
    op::hand_to_node(c, &c->vcb, nullptr, 0, op::Count::kInline, {});
    return v.hdr.primary_rc;
}

void build_allocate(CCCB *c) {
    VCB_ALLOCATE &a = prepare_verb(c, AP_B_ALLOCATE).alloc;
    const SideInfoEntry &si = c->SideInfo;
    a.hdr.format = AP_FORMAT_ALLOCATE;
    a.sync_level = static_cast<uint8_t>(c->ulSyncLevel & 0xFFu);
    a.rtn_ctl = static_cast<uint8_t>(c->ulReturnControl & 0xFFu);
    if (si.usPLUNameQualified == 0) memcpy(a.plu_alias, si.PartnerLUName, sizeof a.plu_alias);
    memcpy(a.mode_name, si.ModeName, sizeof a.mode_name);
    memcpy(a.tp_name, si.TPName, sizeof a.tp_name);
    a.security = static_cast<uint8_t>(si.ulSecurityType & 0xFFu);
    // The password travels only when the partner is not to trust our word.
    if (a.security != kSecuritySameByte) memcpy(a.pwd, si.SecurityPassword, sizeof a.pwd);
    memcpy(a.user_id, si.SecurityUserID, sizeof a.user_id);
    if (si.usPLUNameQualified != 0) memcpy(a.fqplu_name, si.PartnerLUName, sizeof a.fqplu_name);
}

// Cancel_Conversation asked to cancel while the allocate was in flight: the
// conversation the node has just made is cancelled again at once.
void cancel_new_conversation(CCCB *c) {
    VCB cancel;
    memset(&cancel, 0, sizeof cancel);
    cancel.hdr.opcode = AP_CANCEL;
    cancel.hdr.conv_type = static_cast<uint8_t>(c->ulConversationType & 0xFFu);
    memcpy(cancel.hdr.tp_id, c->TpId, sizeof cancel.hdr.tp_id);
    cancel.hdr.conv_id = c->vcb.hdr.conv_id;
    // Not counted: the allocate's own operation is still the one in flight.
    op::hand_to_node(c, &cancel, nullptr, 0, op::Count::kInline, {});
    c->usConvEnded = 1;
    c->ulTraceRc = CM_PRODUCT_SPECIFIC_ERROR;
    CPIC_PROBLEM(kProblemAllocateCancelled, 1, "");
}

void allocate_result(CCCB *c) {
    if (c->vcb.hdr.primary_rc == kPrimaryOk) {
        CPIC_AUDIT(kAuditConversationAllocated, 0, "ba ca", 8u, c->TraceConvId, 8u,
                   c->SideInfo.SideInfoLocLUAlias);
        if (c->usCancelPending)
            cancel_new_conversation(c);
        else
            c->ulConvId = c->vcb.hdr.conv_id;
    } else {
        if (c->usCancelPending) c->usConvEnded = 1;
        // A TP this call started serves nobody when the allocate was refused
        // for the program's own fault.
        const uint32_t rc = c->ulTraceRc;
        if (c->usNewTpStarted && (rc == CM_PARAMETER_ERROR || rc == CM_PROGRAM_PARAMETER_CHECK ||
                                  rc == CM_UNSUCCESSFUL || rc == CM_OPERATION_INCOMPLETE))
            SCC_context_ended(c->TpId, 1, nullptr, nullptr);
    }
    c->usCancelPending = 0;
    c->usNewTpStarted = 0;
}

} // namespace

CPIC_API void cmallc_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    complete_verb(vcb, async, allocate_result);
}

CM_ENTRY cmallc(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMALLC, return_code, Conversation{conversation_ID}, words(conversation_ID));
    if (!f.ok()) return;
    CCCB *c = f.cccb();
    if (c->usVerbsOutstanding != 0) {
        f.set_rc(CM_OPERATION_NOT_ACCEPTED);
        return;
    }
    if (!SCC_in_initialize_state(*c)) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
        return;
    }
    const GCB *g = pGCB;
    uint16_t new_tp = 0;
    if (!SCC_is_zero8(g->CtxTpId) && memcmp(g->CtxLocLUAlias, c->LocLUAlias, sizeof c->LocLUAlias) == 0) {
        memcpy(c->TpId, g->CtxTpId, sizeof c->TpId);
    } else {
        if (start_tp(c) != kPrimaryOk) {
            uint32_t rc = 0;
            const VCB_RC_HDR &h = c->vcb.tp_started.hdr;
            SCC_map_return_codes(&rc, h.primary_rc, h.secondary_rc, h.opcode);
            f.set_rc(static_cast<CM_INT32>(rc));
            SCC_free_cccb(c);
            f.forget_cccb();
            return;
        }
        const VCB_TP_STARTED &v = c->vcb.tp_started;
        CPIC_AUDIT(kAuditTpStarted, 0, "ba", 4u, v.tp_id);
        memcpy(c->TpId, v.tp_id, sizeof c->TpId);
        memcpy(c->LocLUAlias, v.lu_alias, sizeof c->LocLUAlias);
        new_tp = 1;
    }
    build_allocate(c);
    c->usNewTpStarted = new_tp;
    f.issue_verb(cmallc_cb, {});
}
CPIC_ENTRY_ALIAS(CMALLC, cmallc);
