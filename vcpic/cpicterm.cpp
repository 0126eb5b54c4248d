// SPDX-License-Identifier: Apache-2.0
// Terminate: end the current context's TP instance at the node and forget
// every conversation that ran under it. Ending the instance ends its
// conversations at the node, so none of them gets a verb of its own; the
// library's tables, wait object and initialisation stay for the program's
// other contexts.
#include <string.h>

#include "vcpic/cpic_frame.h"

using namespace cpic;

namespace {

constexpr const char *kTermSource = "../../p/vcpic/cpicterm";

// Releases a conversation of the ended instance as plain memory: unlike a
// normal release it ends no instance (that has just been done) and waits
// for nothing still in flight (the node has ended it). A Cancel sleeping,
// or a call waiting in the node on it on another thread,
// on it keeps the block and frees it when it wakes.
void drop_conversation(GCB *g, CCCB *c, uint32_t handle) {
    const bool owned_elsewhere = op::drop_conversation(c, op::DropCause::kInstanceEnded);
    op::drop(c, {kTermSource, __LINE__, "pGCB->NumVerbsWaiting > 0"});
    // The handle the walk found it under: should the block disagree, that
    // is still the entry pointing at it.
    vtm_release_entry(g->CccbTable, handle);
    if (!owned_elsewhere) op::free_dropped(c);
}

void drop_conversations_of(GCB *g, const unsigned char (&tp_id)[8]) {
    void *p = nullptr;
    uint32_t handle = vtm_get_next_used(g->CccbTable, 0, &p);
    while (handle != 0) {
        // The next entry is fetched before this one may be released.
        void *next_p = nullptr;
        const uint32_t next = vtm_get_next_used(g->CccbTable, handle, &next_p);
        CCCB *c = static_cast<CCCB *>(p);
        if (c->CCCBhandle != handle) v0_assert(kTermSource, __LINE__, "cccb_ptr->CCCBhandle == tm_handle");
        if (memcmp(c->TpId, tp_id, sizeof tp_id) == 0) drop_conversation(g, c, handle);
        handle = next;
        p = next_p;
    }
}

} // namespace

CM_ENTRY cmterm(CM_END_TYPE *end_type, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMTERM, return_code, words(end_type));
    if (end_type == nullptr || static_cast<uint32_t>(*end_type) > CM_SOFT) {
        f.set_rc(CM_PARAMETER_ERROR);
        return;
    }
    GCB *g = pGCB;
    // Without the library's tables (never initialised, or torn down by a
    // path failure) there is no instance of this program to end.
    if (fInitCPIC == 0 || SCC_is_zero8(g->CtxTpId)) return;

    uint16_t primary = 0;
    uint32_t secondary = 0;
    const uint8_t type = *end_type == CM_HARD ? AP_TP_END_HARD : AP_TP_END_SOFT;
    SCC_context_ended(g->CtxTpId, type, &primary, &secondary);
    if (primary != kPrimaryOk) {
        // The instance lives on at the node, and so do its conversations.
        uint32_t rc = 0;
        SCC_map_return_codes(&rc, primary, secondary, AP_TP_ENDED);
        f.set_rc(static_cast<CM_INT32>(rc));
        return;
    }
    drop_conversations_of(g, g->CtxTpId);
    memset(g->CtxTpId, 0, sizeof g->CtxTpId);
    memset(g->CtxLocLUAlias, 0, sizeof g->CtxLocLUAlias);
}
CPIC_ENTRY_ALIAS(CMTERM, cmterm);
