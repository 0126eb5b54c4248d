// SPDX-License-Identifier: Apache-2.0
// Accept_Conversation, Initialize_For_Incoming and Accept_Incoming against
// the scripted node: which local TP names are offered, the receive-allocate
// record, how the partner's allocation fills the conversation, the current
// context, and every way an accept is refused or fails.
#include <tuple>
#include <utility>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;
using Names = std::vector<std::string>;

std::string ebcdic(std::initializer_list<unsigned char> text, size_t width) {
    std::string s(text.begin(), text.end());
    s.resize(width, '\x40');
    return s;
}
const std::string kSrv1 = ebcdic({0xE2, 0xD9, 0xE5, 0xF1}, 64); // "SRV1"
const std::string kSrv2 = ebcdic({0xE2, 0xD9, 0xE5, 0xF2}, 64); // "SRV2"
const std::string kMyTp = ebcdic({0xD4, 0xE8, 0xE3, 0xD7}, 64); // "MYTP"
const std::string kDefault = ebcdic({0xC3, 0xD7, 0xC9, 0xC3, 0x6D, 0xC4, 0xC5, 0xC6, 0xC1, 0xE4, 0xD3, 0xE3,
                                     0x6D, 0xE3, 0xD7, 0xD5, 0xC1, 0xD4, 0xC5},
                                    64);
const std::string kNoUser(10, '\x40');
const std::string kUser = ebcdic({0xE4, 0xE2, 0xC5, 0xD9}, 10); // "USER"
const std::string kNoTpId(8, '\0');

// What the node reports about the partner's allocation.
struct Allocation {
    std::string tp_name = kSrv1;
    std::string tp_id = "ACCTP001";
    uint32_t conv_id = 0x00C0FFEE;
    uint8_t sync_level = CM_CONFIRM;
    uint8_t conv_type = CM_BASIC_CONVERSATION;
    std::string user_id = kNoUser;
    std::string lu_alias = "LU1     ";
    std::string mode = ebcdic({0x7B, 0xC9, 0xD5, 0xE3, 0xC5, 0xD9}, 8);                 // "#INTER"
    std::string partner = ebcdic({0xD5, 0xC5, 0xE3, 0xC1, 0x4B, 0xD3, 0xE4, 0xF1}, 17); // "NETA.LU1"
};

class Accept : public LibraryTest {
  protected:
    unsigned char in[8];
    static ZT_ANSWER allocation(const Allocation &al, bool in_progress = false) {
        const std::string ids = al.tp_id + bytes(&al.conv_id, 4) + char(al.sync_level) + char(al.conv_type);
        return patched(
            patched(patched(answer(0, 0, in_progress), 12, al.tp_name), 76, ids + al.user_id + al.lu_alias),
            116, al.mode + std::string(8, '\0') + al.partner);
    }
    CM_RETURN_CODE accept() { return rc_of(cmaccp, id); }
    static CM_RETURN_CODE accept_incoming(unsigned char (&conv)[8]) { return rc_of(CMACCI, conv); }
    // A conversation made by Initialize_For_Incoming, in the given mode.
    static void incoming(unsigned char (&conv)[8], CM_PROCESSING_MODE mode = CM_BLOCKING) {
        ASSERT_EQ(rc_of(cminic, conv), CM_OK);
        ASSERT_EQ(rc_set(cmspm, conv, mode), CM_OK);
    }
    static CM_RETURN_CODE specify(const char *name) {
        unsigned char buffer[64];
        memset(buffer, ' ', sizeof buffer);
        memcpy(buffer, name, strlen(name));
        CM_INT32 length = static_cast<CM_INT32>(strlen(name));
        return rc_of(cmsltp, buffer, &length);
    }
    // Bytes `at`.. of every verb of `opcode`, in issue order.
    static Names fields(uint16_t opcode, size_t at, size_t length) {
        Names out;
        for (uint32_t i = 0; i < zt_verb_count(); ++i)
            if (zt_verb(i)->opcode == opcode) out.push_back(bytes(zt_verb(i)->image + at, length));
        return out;
    }
    static std::string u32(uint32_t v) { return bytes(&v, 4); }
};

TEST_F(Accept, FirstAcceptRegistersTheDefaultNameAndOffersItAlone) {
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}));
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(fields(AP_REGISTER_TP_NAME, 12, 64), Names{kDefault});
    EXPECT_EQ(std::make_tuple(fInitCPIC, pGCB->NumLocTPNames, pGCB->fEnvTPNameListed),
              std::make_tuple(1, 1, 1));
    const ZT_VERB *v = zt_last_verb();
    ASSERT_EQ(std::make_tuple(zt_verbs_of(AP_RECEIVE_ALLOCATE_CPIC), v->opcode),
              std::make_tuple(1u, uint16_t{AP_RECEIVE_ALLOCATE_CPIC}));
    EXPECT_EQ(std::make_tuple(v->kind, v->callback, v->user),
              std::make_tuple(uint32_t{ZT_VERB_APPC_ASYNC}, nullptr, 1u))
        << "Accept_Conversation always blocks";
    // Format 1; the node's fields go out zero; the conversation's handle;
    // one name offered.
    std::string want(194, '\0');
    want[1] = 1;
    want.replace(82, 4, bytes(id, 4));
    want.replace(190, 4, u32(1));
    EXPECT_EQ(bytes(v->image + 2, 194), want);
    void *list = nullptr;
    memcpy(&list, v->image + offsetof(VCB_RECEIVE_ALLOCATE, tp_name_list), sizeof list);
    EXPECT_NE(list, nullptr);
    CCCB *c = find(id);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(
        std::make_tuple(c->ulConvId, c->usInitialized, c->vcb.rcvallcp.tp_name_list, c->usVerbsOutstanding),
        std::make_tuple(0x00C0FFEEu, 0, nullptr, 0))
        << "inbound for good; the list went with the completion";
    EXPECT_EQ(rc_of(cmallc, id), CM_PROGRAM_STATE_CHECK) << "an accepted conversation is never allocated";
    // Audited, unless audit records are suppressed.
    EXPECT_EQ(std::make_tuple(zt_audit_count(), last_audit()),
              std::make_tuple(1u, Rec(kAuditConversationAccepted, 1, "ba", hex(id, 8))));
    ptrc[PTRC_AUDIT_BYTE] |= PTRC_NO_AUDIT_BIT;
    ASSERT_EQ(accept(), CM_OK);
    ptrc[PTRC_AUDIT_BYTE] &= static_cast<unsigned char>(~PTRC_NO_AUDIT_BIT);
    EXPECT_EQ(zt_audit_count(), 1u);
}

TEST_F(Accept, TheProgramsOwnNamesAloneWhenTheEnvironmentNamesNone) {
    ASSERT_EQ(specify("SRV1"), CM_OK);
    ASSERT_EQ(specify("SRV2"), CM_OK);
    incoming(in, CM_NON_BLOCKING);
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}, true));
    ASSERT_EQ(accept_incoming(in), CM_OPERATION_INCOMPLETE);
    const ZT_VERB *v = zt_last_verb();
    ASSERT_EQ(std::make_tuple(zt_verbs_of(AP_RECEIVE_ALLOCATE_CPIC), v->opcode, v->callback),
              std::make_tuple(1u, uint16_t{AP_RECEIVE_ALLOCATE_CPIC}, &cmacci_cb));
    // The names offered while the accept is in flight, in the list's order.
    const auto *record = static_cast<const VCB *>(v->record);
    EXPECT_EQ(bytes(record->rcvallcp.tp_name_list, record->rcvallcp.tp_name_count * 64u), kSrv1 + kSrv2);
    EXPECT_EQ(zt_verbs_of(AP_REGISTER_TP_NAME), 2u) << "the default is never registered";
    EXPECT_EQ(pGCB->fEnvTPNameListed, 0) << "the next accept decides again";
    EXPECT_EQ(accept_incoming(in), CM_OPERATION_NOT_ACCEPTED);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(in, 8), CM_OK}));
    EXPECT_EQ(find(in)->ulConvId, 0x00C0FFEEu);
}

// An environment name joins the list once, and is not registered again if
// the program already listed it.
TEST_F(Accept, AnEnvironmentNameJoinsTheListOnce) {
    for (const char *env : {"MYTP", "SRV1"}) {
        zt_fail_path();
        zt_reset();
        setenv("APPCTPN", env, 1);
        ASSERT_EQ(specify("SRV1"), CM_OK);
        ASSERT_EQ(accept(), CM_OK);
        ASSERT_EQ(accept(), CM_OK);
        const bool ordinary = env[0] == 'M';
        EXPECT_EQ(fields(AP_REGISTER_TP_NAME, 12, 64), ordinary ? (Names{kSrv1, kMyTp}) : Names{kSrv1})
            << env;
        EXPECT_EQ(fields(AP_RECEIVE_ALLOCATE_CPIC, 192, 4), Names(2, u32(ordinary ? 2 : 1))) << env;
        EXPECT_EQ(std::make_tuple(pGCB->fEnvTPNameListed, pGCB->NumLocTPNames),
                  std::make_tuple(1, ordinary ? 2 : 1));
    }
}

// The partner's allocation fills the conversation: the names as they came
// with their lengths, a partner name qualified even without a period, the
// alias up to its first blank, and no entry for a TP name the list does
// not hold.
TEST_F(Accept, ThePartnersAllocationFillsTheConversation) {
    const Allocation d;
    const std::string seventeen = ebcdic({0xC1, 0x4B, 0xC2, 0x4B, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3,
                                          0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3},
                                         17); // "A.B.CCCCCCCCCCCCC"
    const std::string lu1 = ebcdic({0xD3, 0xE4, 0xF1}, 17), blanks(17, '\x40'), a(8, '\x40'), b(8, '\xC2'),
                      c1 = ebcdic({0xC1}, 8);
    // Partner, alias as sent and as kept, mode, user, TP name; the lengths
    // (qualified, partner, network ID, mode, user) and the listed name's
    // entry (0 for none).
    using S = std::string;
    const std::tuple<S, S, S, S, S, S, std::vector<int>, int> cases[] = {
        {d.partner, d.lu_alias, d.lu_alias, d.mode, kUser, kSrv2, {1, 8, 4, 6, 4}, 2},
        {lu1, "ABC     ", "ABC     ", a, kUser, kSrv1, {1, 3, 0, 0, 4}, 1},
        {blanks, "ABCDEFGH", "ABCDEFGH", c1, std::string(10, '\xC1'), kMyTp, {1, 0, 0, 1, 10}, 0},
        {seventeen, "AB CD   ", "AB      ", b, kNoUser, kSrv1, {1, 17, 3, 8, 0}, 1},
    };
    ASSERT_EQ(specify("SRV1"), CM_OK);
    ASSERT_EQ(specify("SRV2"), CM_OK);
    void *entry = nullptr;
    const uint32_t first = vtm_get_next_used(pGCB->LocTPNameTable, 0, &entry);
    const uint32_t handles[] = {0, first, vtm_get_next_used(pGCB->LocTPNameTable, first, &entry)};
    for (const auto &[partner, alias, want_alias, mode, user, tp_name, lengths, entry] : cases) {
        queue(AP_RECEIVE_ALLOCATE_CPIC, allocation({tp_name, d.tp_id, d.conv_id, d.sync_level, d.conv_type,
                                                    user, alias, mode, partner}));
        ASSERT_EQ(accept(), CM_OK);
        const CCCB *c = find(id);
        ASSERT_NE(c, nullptr);
        const SideInfoEntry &si = c->SideInfo;
        EXPECT_EQ((std::vector<int>{si.usPLUNameQualified, si.usPLUNameLen, si.usPLUNetIdLen,
                                    si.usModeNameLen, si.usUserIDLen}),
                  lengths);
        EXPECT_EQ(bytes(si.TPName, 64) + bytes(si.ModeName, 8) + bytes(si.SecurityUserID, 10) +
                      bytes(si.PartnerLUName, 17),
                  tp_name + mode + user + partner);
        EXPECT_EQ(bytes(c->TpId, 8) + bytes(c->LocLUAlias, 8), "ACCTP001" + want_alias);
        EXPECT_EQ(std::make_tuple(c->ulLocTPNameHandle, c->ulSyncLevel, c->ulConversationType, c->ulTraceRc),
                  std::make_tuple(handles[entry], uint32_t{CM_CONFIRM}, uint32_t{CM_BASIC_CONVERSATION}, 0u));
    }
}

TEST_F(Accept, OnlyABlockingAcceptWithAUserChangesTheContext) {
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}));
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8), kNoTpId) << "no user ID, no context";
    Allocation al;
    al.user_id = kUser;
    al.tp_id = "ACCTP002";
    al.lu_alias = "LU2     ";
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(al));
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8) + bytes(pGCB->CtxLocLUAlias, 8), "ACCTP002LU2     ");
    incoming(in, CM_NON_BLOCKING);
    al.tp_id = "ACCTP003";
    al.lu_alias = "LU3     ";
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(al, true));
    ASSERT_EQ(accept_incoming(in), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(std::make_tuple(bytes(pGCB->CtxTpId, 8), zt_verbs_of(AP_TP_ENDED), bytes(find(in)->TpId, 8)),
              std::make_tuple("ACCTP002", 0u, "ACCTP003"))
        << "a non-blocking completion leaves the context alone";
}

TEST_F(Accept, AcceptEndsACurrentContextNoConversationUses) {
    unsigned char keep[8];
    new_conversation(keep, 0x51, "USEDCTX1");
    memcpy(pGCB->CtxTpId, "USEDCTX1", 8);
    // Partners without a user ID: no accept below adopts a context.
    for (int i = 0; i < 3; ++i) queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}));
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(std::make_tuple(zt_verbs_of(AP_TP_ENDED), bytes(pGCB->CtxTpId, 8)),
              std::make_tuple(0u, "USEDCTX1"))
        << "still used";
    memcpy(pGCB->CtxTpId, "OLDCTX01", 8);
    memcpy(pGCB->CtxLocLUAlias, "OLDLU   ", 8);
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(fields(AP_TP_ENDED, 12, 8), Names{"OLDCTX01"});
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8) + bytes(pGCB->CtxLocLUAlias, 8), kNoTpId + "OLDLU   ")
        << "cleared before the accept; the alias is left";
    // A blocking Accept_Incoming ends it at completion, but keeps it current.
    memcpy(pGCB->CtxTpId, "OLDCTX02", 8);
    incoming(in);
    ASSERT_EQ(accept_incoming(in), CM_OK);
    EXPECT_EQ(std::make_tuple(fields(AP_TP_ENDED, 12, 8), bytes(pGCB->CtxTpId, 8)),
              std::make_tuple(Names{"OLDCTX01", "OLDCTX02"}, "OLDCTX02"));
}

TEST_F(Accept, InitializeForIncomingMakesAnIncomingConversationOnly) {
    memset(in, 9, sizeof in);
    EXPECT_EQ(rc_of(CMINIC, in), CM_OK);
    EXPECT_EQ(fInitCPIC, 1);
    const CCCB *c = find(in);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ulConvId + c->usInitialized + zt_verb_count(), 0u);
    EXPECT_EQ((Outcome{rc_of(cminic, nullptr), rc_of(cmaccp, nullptr)}),
              Outcome(2, CM_PROGRAM_PARAMETER_CHECK));
    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    EXPECT_EQ(rc_of(cminic, in), CM_PRODUCT_SPECIFIC_ERROR);
}

TEST_F(Accept, AcceptIncomingRefusals) {
    unsigned char outbound[8];
    ASSERT_EQ(rc_of(cminit, outbound, kBlankName), CM_OK);
    EXPECT_EQ(accept_incoming(outbound), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(last_problem(), Rec(kProblemAcceptFailed, 2, "l", "0"));
    ASSERT_NE(find(outbound), nullptr) << "left as it was";
    EXPECT_EQ(find(outbound)->usInitialized, 1);
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(accept_incoming(id), CM_PROGRAM_STATE_CHECK) << "already accepted";
    incoming(in);
    find(in)->usVerbsOutstanding = 1;
    EXPECT_EQ(accept_incoming(in), CM_OPERATION_NOT_ACCEPTED);
    EXPECT_EQ(problem_list().back(), Problems::value_type(kProblemAcceptFailed, 1));
    find(in)->usVerbsOutstanding = 0;
    EXPECT_EQ(std::make_tuple(zt_problem_count(), zt_verbs_of(AP_RECEIVE_ALLOCATE_CPIC)),
              std::make_tuple(3u, 1u))
        << "only the one accept reached the node";
}

TEST_F(Accept, NoNameAtAllIsAStateCheckEvenWhenRegisteringFailed) {
    queue(AP_REGISTER_TP_NAME, answer(0x0100));
    EXPECT_EQ(accept(), CM_PROGRAM_STATE_CHECK);
    EXPECT_EQ(problem_list(), (Problems{{kProblemTpNameRegisterFailed, 1}}));
    EXPECT_EQ(std::make_tuple(find(id), pGCB->fEnvTPNameListed, zt_verbs_of(AP_RECEIVE_ALLOCATE_CPIC)),
              std::make_tuple(nullptr, 0, 0u))
        << "Accept_Conversation releases its conversation";
    ASSERT_EQ(accept(), CM_OK) << "the next accept tries the default again";
    EXPECT_EQ(zt_verbs_of(AP_REGISTER_TP_NAME), 2u);
}

TEST_F(Accept, RegisteringTheEnvironmentNameFailsBesideTheProgramsNames) {
    setenv("APPCTPN", "MYTP", 1);
    ASSERT_EQ(specify("SRV1"), CM_OK);
    queue(AP_REGISTER_TP_NAME, answer(0x0100));
    EXPECT_EQ(accept(), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(std::make_tuple(zt_verbs_of(AP_RECEIVE_ALLOCATE_CPIC), find(id)), std::make_tuple(0u, nullptr))
        << "offered nothing";
    incoming(in);
    zt_fault(ZT_FAULT_TABLE_FULL, 1, 0);
    EXPECT_EQ(accept_incoming(in), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(std::get<1>(last_problem()), 15u);
    EXPECT_NE(find(in), nullptr) << "Accept_Incoming keeps its conversation";
}

TEST_F(Accept, TheNodeFailingTheAccept) {
    queue(AP_RECEIVE_ALLOCATE_CPIC, answer(0x0300, 0x21600810));
    EXPECT_EQ(accept(), CM_TPN_NOT_RECOGNIZED);
    EXPECT_EQ(last_problem(), Rec(kProblemAcceptFailed, 3, "l", "9"));
    EXPECT_EQ(std::make_tuple(find(id), zt_audit_count()), std::make_tuple(nullptr, 0u));
    // Accept_Incoming keeps its conversation in Initialize_Incoming state,
    // ready to accept again; an ending code does not end it.
    incoming(in);
    queue(AP_RECEIVE_ALLOCATE_CPIC, answer(0x0F00));
    EXPECT_EQ(accept_incoming(in), CM_RESOURCE_FAILURE_RETRY);
    CCCB *c = find(in);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::make_tuple(c->ulConvId + c->usConvEnded, c->vcb.rcvallcp.tp_name_list),
              std::make_tuple(0u, nullptr));
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}));
    EXPECT_EQ(accept_incoming(in), CM_OK);
    EXPECT_EQ(c->ulConvId, 0x00C0FFEEu);
}

TEST_F(Accept, PathFailureWithAnAcceptInFlightLeavesNoNameList) {
    ASSERT_EQ(specify("SERVERTP"), CM_OK);
    incoming(in, CM_NON_BLOCKING);
    queue(AP_RECEIVE_ALLOCATE_CPIC, answer(0, 0, true));
    ASSERT_EQ(accept_incoming(in), CM_OPERATION_INCOMPLETE);
    zt_fail_path();
    EXPECT_EQ(zt_complete_pending(0), 0u) << "the completion that would free the list never comes";
    EXPECT_EQ(zt_live_blocks(), 0u) << "the name list too is gone";
}

// Every allocation and table entry of a first accept failing in turn: the
// call ends in an accepted code and nothing is left behind.
TEST_F(Accept, FaultSweepOverAFirstAccept) {
    for (uint32_t site : {ZT_FAULT_MEM_ALLOC, ZT_FAULT_TABLE_FULL})
        sweep(site, [this] { return Outcome{accept()}; },
              {CM_OK, CM_PRODUCT_SPECIFIC_ERROR, CM_PROGRAM_STATE_CHECK});
}

} // namespace
