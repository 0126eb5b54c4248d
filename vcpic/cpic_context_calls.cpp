// SPDX-License-Identifier: Apache-2.0
// Conversation contexts: which TP instance at the node a conversation runs
// under, and which one is the process's current context (the instance a
// new outbound conversation joins when its local LU alias matches).
#include <string.h>

#include "vcpic/cpic_frame.h"

using namespace cpic;

namespace {

constexpr CM_INT32 kContextIdLength = 8;
constexpr const char *kContextSource = "../../p/vcpic/cpiccal1";

bool same_context(const unsigned char *a, const unsigned char *b) {
    return memcmp(a, b, kContextIdLength) == 0;
}

} // namespace

// 1 when some conversation of the process runs under tp_id (the first in
// handle order comes back through `cccb`) or tp_id is the current context
// (then `cccb` is left alone); 0 otherwise.
CPIC_EXTERN_C uint16_t SCC_context_valid(const unsigned char *tp_id, CCCB **cccb) {
    const GCB *g = pGCB;
    // Before initialisation, and after a path failure, there is no table.
    if (fInitCPIC != 0) {
        void *p = nullptr;
        for (uint32_t h = vtm_get_next_used(g->CccbTable, 0, &p); h != 0;
             h = vtm_get_next_used(g->CccbTable, h, &p)) {
            CCCB *c = static_cast<CCCB *>(p);
            if (same_context(c->TpId, tp_id)) {
                *cccb = c;
                return 1;
            }
        }
    }
    return same_context(tp_id, g->CtxTpId) ? 1 : 0;
}

// Makes the context of one of the process's conversations current. The
// instance it replaces is ended at the node once no conversation needs it;
// otherwise it lives on with its conversations.
CM_ENTRY cmsctx(unsigned char *context_ID, CM_INT32 *context_ID_length, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMSCTX, return_code, words(nullptr, context_ID, context_ID_length));
    if (context_ID_length == nullptr || *context_ID_length != kContextIdLength || context_ID == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    GCB *g = pGCB;
    if (same_context(context_ID, g->CtxTpId)) return;
    CCCB *cccb = nullptr;
    if (!SCC_context_valid(context_ID, &cccb)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    if (cccb == nullptr) {
        // Only the current context is valid without a conversation, and
        // that case was answered above.
        v0_assert(kContextSource, __LINE__, "cccb_ptr != NULL");
        return;
    }
    if (!SCC_is_zero8(g->CtxTpId) && SCC_cccbs_using_tpid(g->CtxTpId) == 0)
        SCC_context_ended(g->CtxTpId, AP_TP_END_HARD, nullptr, nullptr);
    memcpy(g->CtxTpId, context_ID, sizeof g->CtxTpId);
    memcpy(g->CtxLocLUAlias, cccb->LocLUAlias, sizeof g->CtxLocLUAlias);
}
CPIC_ENTRY_ALIAS(CMSCTX, cmsctx);

// A conversation has a context only once it exists at the node: an
// Allocate that failed may have left a TpId behind, which names no
// conversation of this one.
CM_ENTRY cmectx(unsigned char *conversation_ID, unsigned char *context_ID, CM_INT32 *context_ID_length,
                CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMECTX, return_code, Conversation{conversation_ID}, words(conversation_ID));
    f.respond(outputs(context_ID, context_ID_length));
    if (!f.ok()) return;
    const CCCB &c = *f.cccb();
    if (c.ulConvId == 0) {
        f.set_rc(CM_PROGRAM_STATE_CHECK);
        return;
    }
    if (context_ID == nullptr || context_ID_length == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    memcpy(context_ID, c.TpId, kContextIdLength);
    *context_ID_length = kContextIdLength;
}
CPIC_ENTRY_ALIAS(CMECTX, cmectx);
