// SPDX-License-Identifier: Apache-2.0
// Initialize_Conversation: the local half of an outbound conversation,
// filled from side information; nothing goes to the node yet.
#include <string.h>

#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpiclook.h"

using namespace cpic;

namespace {

// With a current context a missing alias comes from the context, and
// APPCLLU is not consulted; without one, APPCLLU wins over side information.
void choose_local_lu_alias(CCCB *c) {
    const GCB *g = pGCB;
    memcpy(c->LocLUAlias, c->SideInfo.SideInfoLocLUAlias, sizeof c->LocLUAlias);
    if (!SCC_is_zero8(g->CtxTpId) && SCC_is_zero8(c->LocLUAlias)) {
        memcpy(c->LocLUAlias, g->CtxLocLUAlias, sizeof c->LocLUAlias);
        return;
    }
    if (!SCC_is_zero8(g->EnvLocLUAlias)) memcpy(c->LocLUAlias, g->EnvLocLUAlias, sizeof c->LocLUAlias);
}

} // namespace

CM_ENTRY cminit(unsigned char *conversation_ID, unsigned char *sym_dest_name, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMINIT, return_code, words(sym_dest_name));
    f.respond(outputs(conversation_ID));
    if (!f.init_library()) return;
    if (conversation_ID == nullptr || sym_dest_name == nullptr) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    CCCB *c = nullptr;
    if (!SCC_cccb_init(conversation_ID, &c)) {
        f.set_rc(CM_PRODUCT_SPECIFIC_ERROR);
        return;
    }
    c->usInitialized = 1;
    memcpy(c->SideInfo.SymDestName, sym_dest_name, sizeof c->SideInfo.SymDestName);
    // A name starting with a blank asks for no side information at all.
    if (sym_dest_name[0] != ' ' && SCD_main(kSideInfoLookup, &c->SideInfo) != 0) {
        CPIC_AUDIT(kAuditSideInfoLookupFailed, 0, "es", 8u, sym_dest_name);
        SCC_free_cccb(c);
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    choose_local_lu_alias(c);
    f.set_cccb(c);
}
CPIC_ENTRY_ALIAS(CMINIT, cminit);
