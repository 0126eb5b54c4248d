// Accept_Conversation, Initialize_For_Incoming and Accept_Incoming against
// the scripted node: which local TP names are offered, the receive-allocate
// record, how the partner's allocation fills the conversation, the current
// context, and every way an accept is refused or fails.
#include <functional>
#include <set>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

std::string ebcdic(std::initializer_list<unsigned char> text, size_t width) {
    std::string s(text.begin(), text.end());
    s.resize(width, '\x40');
    return s;
}
const std::string kSrv1 = ebcdic({0xE2, 0xD9, 0xE5, 0xF1}, 64);  // "SRV1"
const std::string kSrv2 = ebcdic({0xE2, 0xD9, 0xE5, 0xF2}, 64);  // "SRV2"
const std::string kMyTp = ebcdic({0xD4, 0xE8, 0xE3, 0xD7}, 64);  // "MYTP"
const std::string kDefault = ebcdic({0xC3, 0xD7, 0xC9, 0xC3, 0x6D, 0xC4, 0xC5, 0xC6, 0xC1, 0xE4, 0xD3, 0xE3, 0x6D,
                                     0xE3, 0xD7, 0xD5, 0xC1, 0xD4, 0xC5},
                                    64);
const std::string kNoUser(10, '\x40');
const std::string kUser = ebcdic({0xE4, 0xE2, 0xC5, 0xD9}, 10);  // "USER"

// What the node reports about the partner's allocation.
struct Allocation {
    std::string tp_name = kSrv1;
    std::string tp_id = "ACCTP001";
    uint32_t conv_id = 0x00C0FFEE;
    uint8_t sync_level = CM_CONFIRM;
    uint8_t conv_type = CM_BASIC_CONVERSATION;
    std::string user_id = kNoUser;
    std::string lu_alias = "LU1     ";
    std::string mode = ebcdic({0x7B, 0xC9, 0xD5, 0xE3, 0xC5, 0xD9}, 8);  // "#INTER"
    std::string partner = ebcdic({0xD5, 0xC5, 0xE3, 0xC1, 0x4B, 0xD3, 0xE4, 0xF1}, 17);  // "NETA.LU1"
};

void add_patch(ZT_ANSWER &a, uint32_t offset, const std::string &data) {
    ZT_PATCH &p = a.patches[a.patch_count++];
    p.offset = offset;
    p.length = static_cast<uint32_t>(data.size());
    memcpy(p.bytes, data.data(), data.size());
}

class Accept : public LibraryTest {
  protected:
    static ZT_ANSWER allocation(const Allocation &al, bool in_progress = false) {
        ZT_ANSWER a = answer(0, 0, in_progress);
        add_patch(a, 12, al.tp_name);
        std::string ids = al.tp_id;
        ids.append(reinterpret_cast<const char *>(&al.conv_id), 4);
        ids += static_cast<char>(al.sync_level);
        ids += static_cast<char>(al.conv_type);
        ids += al.user_id + al.lu_alias;
        add_patch(a, 76, ids);
        add_patch(a, 116, al.mode + std::string(8, '\0') + al.partner);
        return a;
    }

    static CM_RETURN_CODE accept(unsigned char (&id)[8]) {
        CM_RETURN_CODE rc = -1;
        cmaccp(id, &rc);
        return rc;
    }
    static CM_RETURN_CODE accept_incoming(unsigned char (&id)[8]) {
        CM_RETURN_CODE rc = -1;
        CMACCI(id, &rc);
        return rc;
    }
    // A conversation made by Initialize_For_Incoming, in the given mode.
    static void incoming(unsigned char (&id)[8], CM_PROCESSING_MODE mode = CM_BLOCKING) {
        CM_RETURN_CODE rc = -1;
        cminic(id, &rc);
        ASSERT_EQ(rc, CM_OK);
        cmspm(id, &mode, &rc);
        ASSERT_EQ(rc, CM_OK);
    }
    static CM_RETURN_CODE specify(const char *name) {
        unsigned char buffer[64];
        memset(buffer, ' ', sizeof buffer);
        memcpy(buffer, name, strlen(name));
        CM_INT32 length = static_cast<CM_INT32>(strlen(name));
        CM_RETURN_CODE rc = -1;
        cmsltp(buffer, &length, &rc);
        return rc;
    }

    static std::vector<const ZT_VERB *> verbs(uint16_t opcode) {
        std::vector<const ZT_VERB *> out;
        for (uint32_t i = 0; i < zt_verb_count(); ++i)
            if (zt_verb(i)->opcode == opcode) out.push_back(zt_verb(i));
        return out;
    }
    static uint32_t u32_at(const unsigned char *p) {
        uint32_t v;
        memcpy(&v, p, 4);
        return v;
    }
    // The names a receive-allocate still in flight offers (its list is
    // freed when it completes).
    static std::string offered(const ZT_VERB *v) {
        const auto *record = static_cast<const VCB *>(v->record);
        return bytes(record->rcvallcp.tp_name_list, record->rcvallcp.tp_name_count * 64u);
    }
    static CM_RETURN_CODE wait(unsigned char (&id)[8], CM_RETURN_CODE &conversation_rc) {
        CM_RETURN_CODE rc = -1;
        cmwait(id, &conversation_rc, &rc);
        return rc;
    }
};

TEST_F(Accept, FirstAcceptRegistersTheDefaultNameAndOffersItAlone) {
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}));
    unsigned char id[8];
    ASSERT_EQ(accept(id), CM_OK);
    EXPECT_EQ(fInitCPIC, 1);
    ASSERT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 1u);
    EXPECT_EQ(bytes(verbs(AP_REGISTER_TP_NAME)[0]->image + 12, 64), kDefault);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    EXPECT_EQ(pGCB->fEnvTPNameListed, 1);

    ASSERT_EQ(verbs(AP_RECEIVE_ALLOCATE_CPIC).size(), 1u);
    const ZT_VERB *v = verbs(AP_RECEIVE_ALLOCATE_CPIC)[0];
    const unsigned char *r = v->image;
    EXPECT_EQ(v->kind, static_cast<uint32_t>(ZT_VERB_APPC_ASYNC));
    EXPECT_EQ(v->callback, nullptr) << "Accept_Conversation always blocks";
    EXPECT_EQ(v->user, 1u);
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(r[3], 1) << "format";
    EXPECT_EQ(bytes(r + 4, 80), std::string(80, '\0')) << "the node's fields go out zero";
    EXPECT_EQ(bytes(r + 84, 4), bytes(id, 4)) << "the conversation's handle";
    EXPECT_EQ(bytes(r + 88, 104), std::string(104, '\0'));
    EXPECT_EQ(u32_at(r + 192), 1u) << "one name offered";
    void *list = nullptr;
    memcpy(&list, r + offsetof(VCB_RECEIVE_ALLOCATE, tp_name_list), sizeof list);
    EXPECT_NE(list, nullptr);

    CCCB *c = find(id);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ulConvId, 0x00C0FFEEu);
    EXPECT_EQ(c->usInitialized, 0) << "inbound for good";
    EXPECT_EQ(c->vcb.rcvallcp.tp_name_list, nullptr) << "the list went with the completion";
    EXPECT_EQ(c->usVerbsOutstanding, 0);
    CM_RETURN_CODE rc = -1;
    cmallc(id, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_STATE_CHECK) << "an accepted conversation is never allocated";
}

TEST_F(Accept, TheProgramsOwnNamesAloneWhenTheEnvironmentNamesNone) {
    ASSERT_EQ(specify("SRV1"), CM_OK);
    ASSERT_EQ(specify("SRV2"), CM_OK);
    unsigned char id[8];
    incoming(id, CM_NON_BLOCKING);
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}, true));
    ASSERT_EQ(accept_incoming(id), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(verbs(AP_RECEIVE_ALLOCATE_CPIC).size(), 1u);
    const ZT_VERB *v = verbs(AP_RECEIVE_ALLOCATE_CPIC)[0];
    EXPECT_EQ(v->callback, &cmacci_cb);
    EXPECT_EQ(offered(v), kSrv1 + kSrv2) << "in the list's order";
    EXPECT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 2u) << "the default is never registered";
    EXPECT_EQ(pGCB->fEnvTPNameListed, 0) << "the next accept decides again";

    EXPECT_EQ(accept_incoming(id), CM_OPERATION_NOT_ACCEPTED);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    CM_RETURN_CODE conversation_rc = -1;
    unsigned char got[8];
    ASSERT_EQ(wait(got, conversation_rc), CM_OK);
    EXPECT_EQ(bytes(got, 8), bytes(id, 8));
    EXPECT_EQ(conversation_rc, CM_OK);
    EXPECT_EQ(find(id)->ulConvId, 0x00C0FFEEu);
}

TEST_F(Accept, AnOrdinaryEnvironmentNameJoinsTheListOnce) {
    setenv("APPCTPN", "MYTP", 1);
    ASSERT_EQ(specify("SRV1"), CM_OK);
    unsigned char first[8], second[8];
    ASSERT_EQ(accept(first), CM_OK);
    ASSERT_EQ(accept(second), CM_OK);
    const auto registered = verbs(AP_REGISTER_TP_NAME);
    ASSERT_EQ(registered.size(), 2u);
    EXPECT_EQ(bytes(registered[1]->image + 12, 64), kMyTp);
    const auto accepts = verbs(AP_RECEIVE_ALLOCATE_CPIC);
    ASSERT_EQ(accepts.size(), 2u);
    EXPECT_EQ(u32_at(accepts[0]->image + 192), 2u);
    EXPECT_EQ(u32_at(accepts[1]->image + 192), 2u);
}

TEST_F(Accept, AnEnvironmentNameTheProgramAlreadyListedIsNotRegisteredTwice) {
    setenv("APPCTPN", "SRV1", 1);
    ASSERT_EQ(specify("SRV1"), CM_OK);
    unsigned char id[8];
    ASSERT_EQ(accept(id), CM_OK);
    EXPECT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 1u);
    EXPECT_EQ(pGCB->fEnvTPNameListed, 1);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
}

TEST_F(Accept, ThePartnersAllocationFillsTheConversation) {
    ASSERT_EQ(specify("SRV1"), CM_OK);
    ASSERT_EQ(specify("SRV2"), CM_OK);
    Allocation al;
    al.tp_name = kSrv2;
    al.user_id = kUser;
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(al));
    unsigned char id[8];
    ASSERT_EQ(accept(id), CM_OK);
    const CCCB *c = find(id);
    ASSERT_NE(c, nullptr);
    const SideInfoEntry &si = c->SideInfo;
    EXPECT_EQ(bytes(c->TpId, 8), "ACCTP001");
    EXPECT_EQ(bytes(si.TPName, 64), kSrv2);
    void *entry = nullptr;
    uint32_t first = vtm_get_next_used(pGCB->LocTPNameTable, 0, &entry);
    EXPECT_EQ(c->ulLocTPNameHandle, vtm_get_next_used(pGCB->LocTPNameTable, first, &entry)) << "SRV2's entry";
    EXPECT_EQ(c->ulSyncLevel, static_cast<uint32_t>(CM_CONFIRM));
    EXPECT_EQ(c->ulConversationType, static_cast<uint32_t>(CM_BASIC_CONVERSATION));
    EXPECT_EQ(si.usModeNameLen, 6);
    EXPECT_EQ(bytes(si.ModeName, 8), al.mode);
    EXPECT_EQ(si.usUserIDLen, 4);
    EXPECT_EQ(bytes(si.SecurityUserID, 10), kUser);
    EXPECT_EQ(si.usPLUNameQualified, 1);
    EXPECT_EQ(si.usPLUNameLen, 8);
    EXPECT_EQ(si.usPLUNetIdLen, 4);
    EXPECT_EQ(bytes(si.PartnerLUName, 17), al.partner);
    EXPECT_EQ(bytes(c->LocLUAlias, 8), "LU1     ");
    EXPECT_EQ(c->ulTraceRc, 0u);
}

TEST_F(Accept, NamesAndAliasesOfEveryShape) {
    struct Case {
        std::string partner;
        uint16_t length, net_id;
        std::string alias, want_alias;
        std::string mode, user;
        uint16_t mode_length, user_length;
        std::string tp_name;
        bool listed;
    };
    const std::string seventeen = ebcdic({0xC1, 0x4B, 0xC2, 0x4B, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3, 0xC3,
                                          0xC3, 0xC3, 0xC3, 0xC3, 0xC3},
                                         17);  // "A.B.CCCCCCCCCCCCC"
    const std::vector<Case> cases = {
        {ebcdic({0xD3, 0xE4, 0xF1}, 17), 3, 0, "ABC     ", "ABC     ", std::string(8, '\x40'), kUser, 0, 4, kSrv1,
         true},
        {std::string(17, '\x40'), 0, 0, "ABCDEFGH", "ABCDEFGH", ebcdic({0xC1}, 8), std::string(10, '\xC1'), 1, 10,
         kSrv2, false},
        {seventeen, 17, 3, "AB CD   ", "AB      ", std::string(8, '\xC2'), kNoUser, 8, 0, kSrv1, true},
    };
    ASSERT_EQ(specify("SRV1"), CM_OK);
    for (const Case &k : cases) {
        Allocation al;
        al.partner = k.partner;
        al.lu_alias = k.alias;
        al.mode = k.mode;
        al.user_id = k.user;
        al.tp_name = k.tp_name;
        queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(al));
        unsigned char id[8];
        ASSERT_EQ(accept(id), CM_OK);
        const CCCB *c = find(id);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->SideInfo.usPLUNameQualified, 1) << "qualified even without a period";
        EXPECT_EQ(c->SideInfo.usPLUNameLen, k.length);
        EXPECT_EQ(c->SideInfo.usPLUNetIdLen, k.net_id);
        EXPECT_EQ(bytes(c->LocLUAlias, 8), k.want_alias);
        EXPECT_EQ(c->SideInfo.usModeNameLen, k.mode_length);
        EXPECT_EQ(c->SideInfo.usUserIDLen, k.user_length);
        EXPECT_EQ(c->ulLocTPNameHandle != 0, k.listed) << "a name the list does not hold has no entry";
    }
}

TEST_F(Accept, OnlyABlockingAcceptWithAUserChangesTheContext) {
    unsigned char id[8];
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}));
    ASSERT_EQ(accept(id), CM_OK);
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8), std::string(8, '\0')) << "no user ID, no context";

    Allocation al;
    al.user_id = kUser;
    al.tp_id = "ACCTP002";
    al.lu_alias = "LU2     ";
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(al));
    ASSERT_EQ(accept(id), CM_OK);
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8), "ACCTP002");
    EXPECT_EQ(bytes(pGCB->CtxLocLUAlias, 8), "LU2     ");

    unsigned char nb[8];
    incoming(nb, CM_NON_BLOCKING);
    al.tp_id = "ACCTP003";
    al.lu_alias = "LU3     ";
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(al, true));
    ASSERT_EQ(accept_incoming(nb), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(zt_complete_pending(0), 1u);
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8), "ACCTP002") << "a non-blocking completion leaves the context alone";
    EXPECT_EQ(zt_verbs_of(AP_TP_ENDED), 0u);
    EXPECT_EQ(bytes(find(nb)->TpId, 8), "ACCTP003");
}

TEST_F(Accept, AcceptEndsACurrentContextNoConversationUses) {
    unsigned char keep[8];
    new_conversation(keep, 0x51, "USEDCTX1");
    memcpy(pGCB->CtxTpId, "USEDCTX1", 8);
    unsigned char id[8];
    // Partners without a user ID: no accept below adopts a context.
    for (int i = 0; i < 3; ++i) queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}));
    ASSERT_EQ(accept(id), CM_OK);
    EXPECT_EQ(zt_verbs_of(AP_TP_ENDED), 0u) << "still used";
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8), "USEDCTX1");

    memcpy(pGCB->CtxTpId, "OLDCTX01", 8);
    memcpy(pGCB->CtxLocLUAlias, "OLDLU   ", 8);
    ASSERT_EQ(accept(id), CM_OK);
    ASSERT_EQ(zt_verbs_of(AP_TP_ENDED), 1u);
    const auto ended = verbs(AP_TP_ENDED);
    EXPECT_EQ(bytes(ended[0]->image + 12, 8), "OLDCTX01");
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8), std::string(8, '\0')) << "cleared before the accept";
    EXPECT_EQ(bytes(pGCB->CtxLocLUAlias, 8), "OLDLU   ") << "the alias is left";

    // A blocking Accept_Incoming ends it at completion, but keeps it current.
    memcpy(pGCB->CtxTpId, "OLDCTX02", 8);
    unsigned char in[8];
    incoming(in);
    ASSERT_EQ(accept_incoming(in), CM_OK);
    ASSERT_EQ(zt_verbs_of(AP_TP_ENDED), 2u);
    EXPECT_EQ(bytes(verbs(AP_TP_ENDED)[1]->image + 12, 8), "OLDCTX02");
    EXPECT_EQ(bytes(pGCB->CtxTpId, 8), "OLDCTX02");
}

TEST_F(Accept, InitializeForIncomingMakesAnIncomingConversationOnly) {
    unsigned char id[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    CM_RETURN_CODE rc = -1;
    CMINIC(id, &rc);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(fInitCPIC, 1);
    EXPECT_EQ(bytes(id + 4, 4), std::string(4, '\0'));
    const CCCB *c = find(id);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ulConvId, 0u);
    EXPECT_EQ(c->usInitialized, 0);
    EXPECT_EQ(zt_verb_count(), 0u);

    cminic(nullptr, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
    cmaccp(nullptr, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);
    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    cminic(id, &rc);
    EXPECT_EQ(rc, CM_PRODUCT_SPECIFIC_ERROR);
}

TEST_F(Accept, AcceptIncomingRefusals) {
    unsigned char outbound[8];
    const unsigned char blanks[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    CM_RETURN_CODE rc = -1;
    cminit(outbound, const_cast<unsigned char *>(blanks), &rc);
    ASSERT_EQ(rc, CM_OK);
    EXPECT_EQ(accept_incoming(outbound), CM_PROGRAM_STATE_CHECK);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemAcceptFailed));
    EXPECT_EQ(zt_problem(0)->sequence, 2u);
    EXPECT_STREQ(zt_problem(0)->format, "l");
    EXPECT_STREQ(zt_problem(0)->inserts, "0");
    ASSERT_NE(find(outbound), nullptr) << "left as it was";
    EXPECT_EQ(find(outbound)->usInitialized, 1);

    unsigned char accepted[8];
    ASSERT_EQ(accept(accepted), CM_OK);
    EXPECT_EQ(accept_incoming(accepted), CM_PROGRAM_STATE_CHECK) << "already accepted";

    unsigned char busy[8];
    incoming(busy);
    find(busy)->usVerbsOutstanding = 1;
    const uint32_t problems = zt_problem_count();
    EXPECT_EQ(accept_incoming(busy), CM_OPERATION_NOT_ACCEPTED);
    ASSERT_EQ(zt_problem_count(), problems + 1);
    EXPECT_EQ(zt_problem(problems)->sequence, 1u);
    find(busy)->usVerbsOutstanding = 0;

    unsigned char unknown[8] = {0x7F, 0x7F, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(accept_incoming(unknown), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(zt_problem(zt_problem_count() - 1)->code, static_cast<uint32_t>(kProblemUnknownConversation));
    EXPECT_EQ(zt_problem(zt_problem_count() - 1)->sequence, 0u);
    EXPECT_EQ(verbs(AP_RECEIVE_ALLOCATE_CPIC).size(), 1u) << "only the one accept reached the node";
}

TEST_F(Accept, NoNameAtAllIsAStateCheckEvenWhenRegisteringFailed) {
    queue(AP_REGISTER_TP_NAME, answer(0x0100));
    unsigned char id[8];
    EXPECT_EQ(accept(id), CM_PROGRAM_STATE_CHECK);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemTpNameRegisterFailed));
    EXPECT_EQ(zt_problem(0)->sequence, 1u);
    EXPECT_EQ(find(id), nullptr) << "Accept_Conversation releases its conversation";
    EXPECT_EQ(pGCB->fEnvTPNameListed, 0);
    EXPECT_EQ(verbs(AP_RECEIVE_ALLOCATE_CPIC).size(), 0u);

    // The next accept tries the default again.
    ASSERT_EQ(accept(id), CM_OK);
    EXPECT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 2u);
}

TEST_F(Accept, RegisteringTheEnvironmentNameFailsBesideTheProgramsNames) {
    setenv("APPCTPN", "MYTP", 1);
    ASSERT_EQ(specify("SRV1"), CM_OK);
    queue(AP_REGISTER_TP_NAME, answer(0x0100));
    unsigned char id[8];
    EXPECT_EQ(accept(id), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(verbs(AP_RECEIVE_ALLOCATE_CPIC).size(), 0u) << "offered nothing";
    EXPECT_EQ(find(id), nullptr);

    unsigned char in[8];
    incoming(in);
    zt_fault(ZT_FAULT_TABLE_FULL, 1, 0);
    EXPECT_EQ(accept_incoming(in), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(zt_problem(zt_problem_count() - 1)->sequence, 15u);
    EXPECT_NE(find(in), nullptr) << "Accept_Incoming keeps its conversation";
}

TEST_F(Accept, NoMemoryForTheNameList) {
    ASSERT_EQ(specify("SRV1"), CM_OK);
    unsigned char id[8];
    zt_fault(ZT_FAULT_MEM_ALLOC, 2, 0);  // the conversation, then the list
    EXPECT_EQ(accept(id), CM_PRODUCT_SPECIFIC_ERROR);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemNoMemory));
    EXPECT_EQ(zt_problem(0)->sequence, 10u);
    EXPECT_EQ(find(id), nullptr);
}

TEST_F(Accept, TheNodeFailingTheAccept) {
    queue(AP_RECEIVE_ALLOCATE_CPIC, answer(0x0300, 0x21600810));
    unsigned char id[8];
    EXPECT_EQ(accept(id), CM_TPN_NOT_RECOGNIZED);
    ASSERT_GE(zt_problem_count(), 1u);
    const ZT_RECORD *p = zt_problem(zt_problem_count() - 1);
    EXPECT_EQ(p->code, static_cast<uint32_t>(kProblemAcceptFailed));
    EXPECT_EQ(p->sequence, 3u);
    EXPECT_STREQ(p->inserts, "9");
    EXPECT_EQ(find(id), nullptr);
    EXPECT_EQ(zt_audit_count(), 0u);

    // Accept_Incoming keeps its conversation in Initialize_Incoming state,
    // ready to accept again; an ending code does not end it.
    unsigned char in[8];
    incoming(in);
    queue(AP_RECEIVE_ALLOCATE_CPIC, answer(0x0F00));
    EXPECT_EQ(accept_incoming(in), CM_RESOURCE_FAILURE_RETRY);
    CCCB *c = find(in);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ulConvId, 0u);
    EXPECT_EQ(c->usConvEnded, 0);
    EXPECT_EQ(c->vcb.rcvallcp.tp_name_list, nullptr);
    queue(AP_RECEIVE_ALLOCATE_CPIC, allocation(Allocation{}));
    EXPECT_EQ(accept_incoming(in), CM_OK);
    EXPECT_EQ(c->ulConvId, 0x00C0FFEEu);
}

TEST_F(Accept, PathFailureWithAnAcceptInFlightLeavesNoNameList) {
    ASSERT_EQ(specify("SERVERTP"), CM_OK);
    unsigned char id[8];
    incoming(id, CM_NON_BLOCKING);
    queue(AP_RECEIVE_ALLOCATE_CPIC, answer(0, 0, true));
    ASSERT_EQ(accept_incoming(id), CM_OPERATION_INCOMPLETE);
    const uint32_t with_list = zt_live_blocks();
    zt_fail_path();
    EXPECT_EQ(zt_complete_pending(0), 0u) << "the completion that would free the list never comes";
    EXPECT_EQ(zt_live_blocks(), 0u) << "of " << with_list << " blocks, the name list too is gone";
}

TEST_F(Accept, AuditOfEachAcceptedConversation) {
    unsigned char id[8];
    ASSERT_EQ(accept(id), CM_OK);
    ASSERT_EQ(zt_audit_count(), 1u);
    EXPECT_EQ(zt_audit(0)->code, static_cast<uint32_t>(kAuditConversationAccepted));
    EXPECT_EQ(zt_audit(0)->sequence, 1u);
    EXPECT_STREQ(zt_audit(0)->format, "ba");
    char want[17];
    snprintf(want, sizeof want, "%02X%02X%02X%02X00000000", id[0], id[1], id[2], id[3]);
    EXPECT_STREQ(zt_audit(0)->inserts, want);

    ptrc[PTRC_AUDIT_BYTE] |= PTRC_NO_AUDIT_BIT;
    ASSERT_EQ(accept(id), CM_OK);
    ptrc[PTRC_AUDIT_BYTE] &= static_cast<unsigned char>(~PTRC_NO_AUDIT_BIT);
    EXPECT_EQ(zt_audit_count(), 1u);
}

TEST_F(Accept, TraceOfBothAccepts) {
    set_trace(true);
    unsigned char id[8];
    ASSERT_EQ(accept(id), CM_OK);
    unsigned char in[8];
    incoming(in, CM_NON_BLOCKING);
    queue(AP_RECEIVE_ALLOCATE_CPIC, answer(0, 0, true));
    zt_trace_clear();
    ASSERT_EQ(accept_incoming(in), CM_OPERATION_INCOMPLETE);
    zt_complete_pending(0);  // the completion writes the call's response
    set_trace(false);
    std::vector<std::string> lines;
    for (uint32_t i = 0; i < zt_trace_line_count(); ++i) lines.push_back(zt_trace_line(i));
    std::vector<std::string> headings;
    for (const auto &l : lines)
        if (l.find(" request") != std::string::npos || l.find(" response") != std::string::npos)
            headings.push_back(l);
    ASSERT_EQ(headings.size(), 3u);
    EXPECT_EQ(headings[0], "CPIC CMACCI request");
    EXPECT_EQ(headings[1], "CPIC CMACCI response, result = CM_OPERATION_INCOMPLETE");
    EXPECT_EQ(headings[2], "CPIC CMACCI response, result = CM_OK");
}

// Every allocation and table entry of a first accept failing in turn: the
// call ends in an accepted code and nothing is left behind.
TEST_F(Accept, FaultSweepOverAFirstAccept) {
    for (uint32_t site : {static_cast<uint32_t>(ZT_FAULT_MEM_ALLOC), static_cast<uint32_t>(ZT_FAULT_TABLE_FULL)}) {
        zt_reset();
        unsigned char id[8];
        ASSERT_EQ(accept(id), CM_OK);
        const uint32_t uses = zt_fault_calls(site);
        ASSERT_GT(uses, 0u);
        for (uint32_t n = 1; n <= uses; ++n) {
            zt_reset();
            zt_fault(site, n, 0);
            const CM_RETURN_CODE rc = accept(id);
            EXPECT_TRUE(rc == CM_PRODUCT_SPECIFIC_ERROR || rc == CM_PROGRAM_STATE_CHECK)
                << "site " << site << " use " << n << " gave " << rc;
            EXPECT_EQ(zt_fault_hits(site), 1u);
            zt_fault_clear();
            zt_fail_path();
            EXPECT_EQ(zt_live_blocks(), 0u) << "site " << site << " use " << n;
            EXPECT_EQ(zt_live_table_entries(), 0u);
        }
    }
}

}  // namespace
