// SPDX-License-Identifier: Apache-2.0
// Conversation control blocks: creation with their defaults, lookup by
// conversation ID, and release together with everything a CCCB owns.
#include <string.h>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_operation.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_util.h"

namespace {

void set_defaults(CCCB *c, uint32_t handle) {
    c->CCCBhandle = handle;
    memset(c->SideInfo.SymDestName, kAsciiBlank, sizeof c->SideInfo.SymDestName);
    memset(c->SideInfo.PartnerLUName, kAsciiBlank, sizeof c->SideInfo.PartnerLUName);
    memset(c->SideInfo.TPName, kEbcdicBlank, sizeof c->SideInfo.TPName);
    memset(c->SideInfo.ModeName, kEbcdicBlank, sizeof c->SideInfo.ModeName);
    c->SideInfo.ulSecurityType = CM_SECURITY_SAME;
    memset(c->SideInfo.SecurityUserID, kEbcdicBlank, sizeof c->SideInfo.SecurityUserID);
    memset(c->SideInfo.SecurityPassword, kEbcdicBlank, sizeof c->SideInfo.SecurityPassword);
    c->SideInfo.usUserIDLen = 1;
    c->ulConversationType = CM_MAPPED_CONVERSATION;
}

} // namespace

CPIC_EXTERN_C uint16_t SCC_cccb_init(unsigned char *conversation_ID, CCCB **cccb) {
    CCCB *c = static_cast<CCCB *>(nba_mm_alloc(sizeof(CCCB), NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    if (c == nullptr) {
        CPIC_PROBLEM(kProblemNoMemory, 1, "");
        return 0;
    }
    memset(c, 0, sizeof *c);
    uint32_t handle = vtm_get_free_entry(pGCB->CccbTable, c);
    if (handle == 0) {
        CPIC_PROBLEM(kProblemNoMemory, 2, "");
        nba_mm_free(c, 0);
        return 0;
    }
    set_defaults(c, handle);
    memcpy(conversation_ID, &handle, sizeof handle);
    memset(conversation_ID + sizeof handle, 0, 8 - sizeof handle);
    *cccb = c;
    return 1;
}

CPIC_EXTERN_C uint16_t SCC_find_cccb(const unsigned char *conversation_ID, CCCB **cccb, GCB *gcb) {
    *cccb = gcb != nullptr ? SCC_lookup_cccb(conversation_ID, *gcb) : nullptr;
    return *cccb != nullptr ? 1 : 0;
}

CPIC_EXTERN_C void SCC_free_cccb(CCCB *cccb) {
    GCB *g = pGCB;
    // The current context outlives its conversations; any other instance
    // ends with its last conversation.
    if (!SCC_is_zero8(cccb->TpId) && memcmp(cccb->TpId, g->CtxTpId, sizeof cccb->TpId) != 0 &&
        SCC_cccbs_using_tpid(cccb->TpId) <= 1) {
        if (cccb->usTraceVerb == kVerbCMDEAL) {
            uint16_t primary = 0;
            uint32_t secondary = 0;
            SCC_context_ended(cccb->TpId, 1, &primary, &secondary);
        } else {
            SCC_context_ended(cccb->TpId, 1, nullptr, nullptr);
        }
    }
    cpic::op::drop(cccb, {__FILE__, __LINE__, "pGCB->NumVerbsWaiting > 0"});
    if (cccb->LogData != nullptr) nba_mm_free(cccb->LogData, 0);
    if (cccb->DeallcLogData != nullptr) nba_mm_free(cccb->DeallcLogData, 0);
    vtm_release_entry(g->CccbTable, cccb->CCCBhandle);
    nba_mm_free(cccb, 0);
}
