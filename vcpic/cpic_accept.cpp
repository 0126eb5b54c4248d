// SPDX-License-Identifier: Apache-2.0
// Accept_Conversation, Initialize_For_Incoming and Accept_Incoming: a
// conversation that a partner allocates to one of the local TP names. The
// receive-allocate verb offers the node the whole list of names and comes
// back with the partner's allocation, which fills the conversation.
#include <string.h>

#include "vcpic/cpic_frame.h"
#include "vcpic/cpic_log.h"
#include "vcpic/cpic_lu_name.h"
#include "vcpic/cpic_tpnames.h"
#include "vcpic/semutrcp.h"

using namespace cpic;

namespace {

// Where the accept path writes its problem records.
constexpr uint32_t kAcceptOutstanding = 1;    // 0x2003000C: a verb is in flight
constexpr uint32_t kAcceptWrongState = 2;     // 0x2003000C: not Initialize_Incoming
constexpr uint32_t kAcceptRefusedByNode = 3;  // 0x2003000C: the verb failed
constexpr uint32_t kNoMemoryForNameList = 10; // 0x2003000B
constexpr ListingProblems kEnvironmentNameProblems{0, 15, 1};

// The file name the list-count assertion reports.
constexpr const char kSource[] = "cpiccal1";

// Bytes before the first EBCDIC blank, at most the field.
template <size_t N>
uint16_t ebcdic_length(const unsigned char (&field)[N]) {
    return length_before(field, N, kEbcdicBlank);
}

// A new conversation in Initialize_Incoming state; 0, or the return code
// when the library or the conversation cannot be had.
CM_INT32 SCC_inbound_get_cccb(CCCB **cccb, unsigned char *conversation_ID) {
    if (!SCC_ensure_init()) return CM_PRODUCT_SPECIFIC_ERROR;
    if (conversation_ID == nullptr) return CM_PROGRAM_PARAMETER_CHECK;
    if (!SCC_cccb_init(conversation_ID, cccb)) return CM_PRODUCT_SPECIFIC_ERROR;
    (*cccb)->usInitialized = 0;
    return CM_OK;
}

// The first accept of the process makes sure the environment's local TP
// name is offered, unless the program listed names of its own and the
// environment named none (then the next accept decides again). False when
// it had to be registered and could not be.
bool list_environment_name() {
    GCB *g = pGCB;
    if (g->fEnvTPNameListed != 0) return true;
    if (g->fEnvTPNameGiven == 0 && g->NumLocTPNames != 0) return true;
    if (find_local_tp_name(g->usLocTPNameLen, g->LocTPName) == 0 &&
        !list_local_tp_name(g->usLocTPNameLen, g->LocTPName, kEnvironmentNameProblems))
        return false;
    g->fEnvTPNameListed = 1;
    return true;
}

void free_name_list(CCCB *c) {
    VCB_RECEIVE_ALLOCATE &v = c->vcb.rcvallcp;
    if (v.tp_name_list != nullptr) nba_mm_free(v.tp_name_list, 0);
    v.tp_name_list = nullptr;
}

} // namespace

CPIC_EXTERN_C void SCC_drop_verb_in_flight(CCCB *c) {
    if (c->usVerbsOutstanding != 0 && c->vcb.hdr.opcode == AP_RECEIVE_ALLOCATE_CPIC) free_name_list(c);
}

namespace {

// Builds the receive-allocate verb with a fresh copy of the name list.
// False (problem record written) when the list gets no memory.
bool build_receive_allocate(CCCB *c, const unsigned char *conversation_ID) {
    const GCB *g = pGCB;
    VCB_RECEIVE_ALLOCATE &v = c->vcb.rcvallcp;
    const uint32_t count = g->NumLocTPNames;
    auto *names = static_cast<unsigned char *>(
        nba_mm_alloc(count * kTpNameSize, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0));
    if (names == nullptr) {
        CPIC_PROBLEM(kProblemNoMemory, kNoMemoryForNameList, "");
        return false;
    }
    v.rcv_alloc.hdr.opcode = AP_RECEIVE_ALLOCATE_CPIC;
    v.rcv_alloc.hdr.format = AP_FORMAT_ALLOCATE;
    v.tp_name_list = names;
    v.tp_name_count = count;
    // The node echoes the CCCB's handle, which a cancel of this accept names.
    memcpy(&v.rcv_alloc.conv_id, conversation_ID, sizeof v.rcv_alloc.conv_id);
    const uint32_t handle_count = copy_local_tp_names(names, count);
    if (handle_count != g->NumLocTPNames) v0_assert(kSource, __LINE__, "handle_count == pGCB->NumLocTPNames");
    return true;
}

// The checks, the list of names and the verb, shared by both accepts.
// Returns the call's return code; with `free_on_failure` the conversation
// is released whenever that is not 0.
CM_INT32 SCC_inbound_issue_verb(CallFrame &f, const unsigned char *conversation_ID, APPC_CALLBACK callback,
                                bool free_on_failure) {
    CCCB *c = f.cccb();
    GCB *g = pGCB;
    CM_INT32 result = CM_OK;
    if (c->usVerbsOutstanding != 0) {
        result = CM_OPERATION_NOT_ACCEPTED;
        CPIC_PROBLEM(kProblemAcceptFailed, kAcceptOutstanding, "l", f.rc());
    } else if (!SCC_in_initialize_incoming_state(*c)) {
        result = CM_PROGRAM_STATE_CHECK;
        CPIC_PROBLEM(kProblemAcceptFailed, kAcceptWrongState, "l", f.rc());
    } else {
        const bool environment_name_ok = list_environment_name();
        memset(&c->vcb, 0, sizeof c->vcb);
        if (g->NumLocTPNames == 0) {
            result = CM_PROGRAM_STATE_CHECK; // nothing to offer, whatever the failure was
        } else if (!build_receive_allocate(c, conversation_ID)) {
            result = CM_PRODUCT_SPECIFIC_ERROR;
        } else if (!environment_name_ok) {
            free_name_list(c);
            result = CM_PRODUCT_SPECIFIC_ERROR;
        } else {
            memcpy(c->TraceConvId, conversation_ID, sizeof c->TraceConvId);
            f.issue_verb(callback, {});
            result = f.rc();
        }
    }
    if (free_on_failure && result != CM_OK && f.cccb() != nullptr) {
        SCC_free_cccb(f.cccb());
        f.forget_cccb();
    }
    return result;
}

// The partner's allocation, as the node returned it, becomes the
// conversation's characteristics.
void fill_from_allocation(CCCB *c) {
    const VCB_RCV_ALLOC &r = c->vcb.rcvallcp.rcv_alloc;
    SideInfoEntry &si = c->SideInfo;
    c->ulLocTPNameHandle = local_tp_name_handle(r.tp_name);
    memcpy(c->TpId, r.tp_id, sizeof c->TpId);
    memcpy(si.TPName, r.tp_name, sizeof si.TPName);
    c->ulConvId = r.conv_id;
    c->ulSyncLevel = r.sync_level;
    c->ulConversationType = r.conv_type;
    si.usModeNameLen = ebcdic_length(r.mode_name);
    memcpy(si.ModeName, r.mode_name, sizeof si.ModeName);
    si.usUserIDLen = ebcdic_length(r.user_id);
    memcpy(si.SecurityUserID, r.user_id, sizeof si.SecurityUserID);

    take_network_lu_name(si, r.fqplu_name);

    memset(c->LocLUAlias, kAsciiBlank, sizeof c->LocLUAlias);
    for (size_t i = 0; i < sizeof r.lu_alias && r.lu_alias[i] != kAsciiBlank; ++i)
        c->LocLUAlias[i] = r.lu_alias[i];
}

// A blocking accept makes the accepted TP the current context when the
// partner named a user; the context it replaces ends if nothing uses it.
void adopt_context(const VCB_RCV_ALLOC &r) {
    GCB *g = pGCB;
    if (!SCC_is_zero8(g->CtxTpId) && SCC_cccbs_using_tpid(g->CtxTpId) == 0)
        SCC_context_ended(g->CtxTpId, 1, nullptr, nullptr);
    if (r.user_id[0] != kEbcdicBlank) {
        memcpy(g->CtxTpId, r.tp_id, sizeof g->CtxTpId);
        memcpy(g->CtxLocLUAlias, r.lu_alias, sizeof g->CtxLocLUAlias);
    }
}

// Completion of the receive-allocate verb, for both accepts. A failed
// accept leaves the conversation in Initialize_Incoming state; an accept
// never ends a conversation.
void SCC_inbound_process_verb(CCCB *c, uint32_t async, bool free_on_failure) {
    const op::SavedCall saved = op::saved(c);
    const uint16_t verb = saved.verb;

    const VCB_RCV_ALLOC &r = c->vcb.rcvallcp.rcv_alloc;
    const bool failed = r.hdr.primary_rc != kPrimaryOk;
    if (failed) {
        SCC_map_return_codes(&c->ulTraceRc, r.hdr.primary_rc, r.hdr.secondary_rc, r.hdr.opcode);
        CPIC_PROBLEM(kProblemAcceptFailed, kAcceptRefusedByNode, "l", static_cast<int32_t>(c->ulTraceRc));
        free_name_list(c);
    } else {
        CPIC_AUDIT(kAuditConversationAccepted, 1, "ba", 8u, c->TraceConvId);
        if (verb == kVerbCMACCP || async == 0) adopt_context(r);
        fill_from_allocation(c);
        c->ulTraceRc = CM_OK;
        free_name_list(c);
    }
    if (async == 0) return; // the issuing routine finishes the call

    op::post(c, saved);
    if (failed && free_on_failure) SCC_free_cccb(c);
}

} // namespace

CPIC_API void cmaccp_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    SCC_inbound_process_verb(static_cast<CCCB *>(vcb), async, true);
}

CPIC_API void cmacci_cb(void *vcb, uint32_t, uint32_t, uint32_t async) {
    SCC_inbound_process_verb(static_cast<CCCB *>(vcb), async, false);
}

CM_ENTRY cmaccp(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMACCP, return_code, words());
    f.respond(outputs(conversation_ID));
    CCCB *c = nullptr;
    f.set_rc(SCC_inbound_get_cccb(&c, conversation_ID));
    if (!f.ok()) return;
    f.set_cccb(c);
    // A context that no conversation uses any more would outlive this
    // accept for nothing.
    GCB *g = pGCB;
    if (!SCC_is_zero8(g->CtxTpId) && SCC_cccbs_using_tpid(g->CtxTpId) == 0) {
        SCC_context_ended(g->CtxTpId, 1, nullptr, nullptr);
        memset(g->CtxTpId, 0, sizeof g->CtxTpId);
    }
    // Always blocking: the conversation is new, so its processing mode is.
    f.set_rc(SCC_inbound_issue_verb(f, conversation_ID, cmaccp_cb, true));
}
CPIC_ENTRY_ALIAS(CMACCP, cmaccp);

CM_ENTRY cminic(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMINIC, return_code, words());
    f.respond(outputs(conversation_ID));
    CCCB *c = nullptr;
    f.set_rc(SCC_inbound_get_cccb(&c, conversation_ID));
    if (f.ok()) f.set_cccb(c);
}
CPIC_ENTRY_ALIAS(CMINIC, cminic);

CM_ENTRY cmacci(unsigned char *conversation_ID, CM_RETURN_CODE *return_code) {
    CallFrame f(kVerbCMACCI, return_code, Conversation{conversation_ID}, words(conversation_ID));
    if (!f.ok()) return;
    f.set_rc(SCC_inbound_issue_verb(f, conversation_ID, cmacci_cb, false));
}
CPIC_ENTRY_ALIAS(CMACCI, cmacci);
