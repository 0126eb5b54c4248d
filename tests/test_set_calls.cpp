// SPDX-License-Identifier: Apache-2.0
// The fourteen set calls: what each accepts and stores, the order of their
// checks, that a refusal changes nothing, the log data record and its
// allocation failure, and their trace records.
#include <climits>
#include <cstdio>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

std::string snapshot(const CCCB *c) {
    return bytes(c, sizeof *c);
}

// Each call with an argument that every conversation accepts (a basic one
// for fill and log data), through the upper-case entries.
struct SetCall {
    const char *name;
    bool initialize_only;
    void (*call)(unsigned char *id, CM_RETURN_CODE *rc);
};

// Room past the length: the request trace dumps whole name fields.
unsigned char lu1[64] = {'L', 'U', '1'};
CM_INT32 lu1_length = 3;
CM_INT32 zero = 0;

const SetCall kCalls[] = {
    {"CMSPLN", true, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSPLN(id, lu1, &lu1_length, rc); }},
    {"CMSMN", true, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSMN(id, lu1, &lu1_length, rc); }},
    {"CMSLLN", true, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSLLN(id, lu1, &lu1_length, rc); }},
    {"CMSTPN", true, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSTPN(id, lu1, &lu1_length, rc); }},
    {"CMSCT", true, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSCT(id, &zero, rc); }},
    {"CMSSL", true, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSSL(id, &zero, rc); }},
    {"CMSRC", true, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSRC(id, &zero, rc); }},
    {"CMSF", false, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSF(id, &zero, rc); }},
    {"CMSED", false, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSED(id, &zero, rc); }},
    {"CMSDT", false, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSDT(id, &zero, rc); }},
    {"CMSST", false, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSST(id, &zero, rc); }},
    {"CMSRT", false, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSRT(id, &zero, rc); }},
    {"CMSPTR", false, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSPTR(id, &zero, rc); }},
    {"CMSLD", false, [](unsigned char *id, CM_RETURN_CODE *rc) { CMSLD(id, lu1, &zero, rc); }},
};

class SetCalls : public LibraryTest {
  protected:
    static constexpr CM_INT32 kTextLength = -2; // the length of the text given

    // A conversation as Initialize leaves it (node id 0) or allocated.
    CCCB *conversation(unsigned char (&id)[8], uint32_t node_id = 0, bool basic = true) {
        CCCB *c = new_conversation(id, node_id, nullptr);
        if (c != nullptr && basic) c->ulConversationType = CM_BASIC_CONVERSATION;
        return c;
    }
    static CM_INT32 set(void (*call)(unsigned char *, CM_INT32 *, CM_RETURN_CODE *), unsigned char *id,
                        CM_INT32 value) {
        return rc_set(call, id, value);
    }
    static CM_INT32 set(void (*call)(unsigned char *, unsigned char *, CM_INT32 *, CM_RETURN_CODE *),
                        unsigned char *id, const char *text, CM_INT32 length = kTextLength) {
        std::string s(text);
        if (length == kTextLength) length = static_cast<CM_INT32>(s.size());
        s.resize(1024); // the request trace may dump up to the length given
        return rc_of(call, id, reinterpret_cast<unsigned char *>(&s[0]), &length);
    }
};

TEST_F(SetCalls, StateDecidesOnlyForTheInitializeOnlyCalls) {
    const std::tuple<const char *, uint32_t, uint16_t> states[] = {
        {"Initialize", 0, 1}, {"allocated", 0x51, 1}, {"accepted", 0x51, 0}, {"Initialize_Incoming", 0, 0}};
    for (const auto &[state, node_id, initialized] : states) {
        for (const SetCall &call : kCalls) {
            CCCB *c = conversation(id, node_id);
            c->usInitialized = initialized;
            const std::string before = snapshot(c);
            const bool refused = call.initialize_only && !(node_id == 0 && initialized != 0);
            EXPECT_EQ(rc_of(call.call, id), refused ? CM_PROGRAM_STATE_CHECK : CM_OK)
                << call.name << " in " << state;
            EXPECT_TRUE(!refused || snapshot(c) == before) << call.name << " stored on refusal";
        }
    }
    EXPECT_EQ(zt_verb_count(), 0u) << "set calls never reach the node";
}

TEST_F(SetCalls, EveryValueCallStoresItsRangeAndRefusesTheRest) {
    using ValueCall = void (*)(unsigned char *, CM_INT32 *, CM_RETURN_CODE *);
    const std::tuple<ValueCall, uint32_t CCCB::*, CM_INT32> rows[] = {
        {cmsct, &CCCB::ulConversationType, 1},   {cmsdt, &CCCB::ulDeallocateType, 3},
        {cmsed, &CCCB::ulErrorDirection, 1},     {cmsf, &CCCB::ulFill, 1},
        {cmsptr, &CCCB::ulPrepToReceiveType, 2}, {cmsrt, &CCCB::ulReceiveType, 1},
        {cmsrc, &CCCB::ulReturnControl, 1},      {cmsst, &CCCB::ulSendType, 4},
        {cmssl, &CCCB::ulSyncLevel, 1},
    };
    for (const auto &[call, field, largest] : rows) {
        CCCB *c = conversation(id);
        c->ulSyncLevel = CM_CONFIRM; // so that the confirm values are allowed
        for (CM_INT32 v = largest; v >= 0; --v) {
            EXPECT_EQ(set(call, id, v), CM_OK) << v;
            EXPECT_EQ(c->*field, static_cast<uint32_t>(v));
        }
        c->*field = 1;
        const std::string before = snapshot(c);
        for (CM_INT32 bad : {largest + 1, -1, INT_MIN, 0x10000})
            EXPECT_EQ(set(call, id, bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
        EXPECT_EQ(rc_of(call, id, nullptr), CM_PROGRAM_PARAMETER_CHECK)
            << "nothing to read: an invalid value";
        EXPECT_EQ(snapshot(c), before);
    }
    conversation(id);
    EXPECT_EQ((Outcome{set(cmssl, id, CM_SYNC_POINT), set(cmssl, id, CM_SYNC_POINT_NO_CONFIRM)}),
              Outcome(2, CM_PROGRAM_PARAMETER_CHECK));
}

TEST_F(SetCalls, StateIsTestedBeforeTheValue) {
    conversation(id, 0x51);
    EXPECT_EQ(
        (Outcome{set(cmsct, id, 7), set(cmssl, id, 2), set(cmspln, id, "", 0), set(cmstpn, id, "", 65)}),
        Outcome(4, CM_PROGRAM_STATE_CHECK));
}

TEST_F(SetCalls, MappedConversationTakesNoFillBufferNorLogData) {
    CCCB *c = conversation(id, 0, false);
    const std::string before = snapshot(c);
    for (CM_INT32 v : {0, 1, 2}) EXPECT_EQ(set(cmsf, id, v), CM_PROGRAM_PARAMETER_CHECK) << v;
    for (CM_INT32 n : {0, 5, 513}) EXPECT_EQ(set(cmsld, id, "12345", n), CM_PROGRAM_PARAMETER_CHECK) << n;
    EXPECT_EQ(snapshot(c), before);

    // Mapped again only once neither the fill nor the log data is held.
    EXPECT_EQ((Outcome{set(cmsct, id, CM_BASIC_CONVERSATION), set(cmsf, id, CM_FILL_BUFFER),
                       set(cmsld, id, "LOG"), set(cmsct, id, CM_MAPPED_CONVERSATION),
                       set(cmsf, id, CM_FILL_LL), set(cmsct, id, CM_MAPPED_CONVERSATION),
                       set(cmsld, id, "", 0), set(cmsct, id, CM_MAPPED_CONVERSATION)}),
              (Outcome{CM_OK, CM_OK, CM_OK, CM_PROGRAM_PARAMETER_CHECK, CM_OK, CM_PROGRAM_PARAMETER_CHECK,
                       CM_OK, CM_OK}));
    EXPECT_EQ(std::make_tuple(c->LogData, c->ulConversationType),
              std::make_tuple(nullptr, uint32_t{CM_MAPPED_CONVERSATION}));
}

TEST_F(SetCalls, ConfirmTypesNeedSyncLevelConfirm) {
    CCCB *c = conversation(id);
    const std::string before = snapshot(c);
    EXPECT_EQ((Outcome{set(cmsst, id, CM_SEND_AND_CONFIRM), set(cmsptr, id, CM_PREP_TO_RECEIVE_CONFIRM),
                       set(cmsdt, id, CM_DEALLOCATE_CONFIRM)}),
              Outcome(3, CM_PROGRAM_PARAMETER_CHECK));
    EXPECT_EQ(snapshot(c), before);

    // CONFIRM is always accepted; NONE only once no type needs confirmation.
    EXPECT_EQ(
        (Outcome{set(cmssl, id, CM_CONFIRM), set(cmsst, id, CM_SEND_AND_CONFIRM),
                 set(cmsptr, id, CM_PREP_TO_RECEIVE_CONFIRM), set(cmsdt, id, CM_DEALLOCATE_CONFIRM),
                 set(cmssl, id, CM_CONFIRM), set(cmssl, id, CM_NONE), set(cmsst, id, CM_SEND_AND_FLUSH),
                 set(cmssl, id, CM_NONE), set(cmsptr, id, CM_PREP_TO_RECEIVE_FLUSH), set(cmssl, id, CM_NONE),
                 set(cmsdt, id, CM_DEALLOCATE_ABEND), set(cmssl, id, CM_NONE)}),
        (Outcome{CM_OK, CM_OK, CM_OK, CM_OK, CM_OK, CM_PROGRAM_PARAMETER_CHECK, CM_OK,
                 CM_PROGRAM_PARAMETER_CHECK, CM_OK, CM_PROGRAM_PARAMETER_CHECK, CM_OK, CM_OK}));
    EXPECT_EQ(c->ulSyncLevel, static_cast<uint32_t>(CM_NONE));
}

TEST_F(SetCalls, PartnerLuNameAliasOrNetworkQualified) {
    CCCB *c = conversation(id);
    const SideInfoEntry &s = c->SideInfo;
    EXPECT_EQ(set(cmspln, id, "NETA.LUB"), CM_OK);
    EXPECT_EQ(bytes(s.PartnerLUName, 17), "\xD5\xC5\xE3\xC1\x4B\xD3\xE4\xC2" + std::string(9, '\x40'));
    EXPECT_EQ(std::make_tuple(s.usPLUNameQualified, s.usPLUNetIdLen, s.usPLUNameLen),
              std::make_tuple(1, 4, 8));
    EXPECT_EQ(set(cmspln, id, "A.B.C"), CM_OK);
    EXPECT_EQ(bytes(s.PartnerLUName, 6), std::string("\xC1\x4B\xC2\x00\xC3\x40", 6))
        << "a second '.' is lost";
    EXPECT_EQ(set(cmspln, id, ".LU"), CM_OK);
    EXPECT_EQ(bytes(s.PartnerLUName, 4), "\x4B\xD3\xE4\x40");
    EXPECT_EQ(s.usPLUNetIdLen, 0);
    EXPECT_EQ(set(cmspln, id, "NETWORK01.LUNAME1"), CM_OK); // 17 is the longest
    EXPECT_EQ(s.PartnerLUName[9], 0x4B);
    EXPECT_EQ(s.PartnerLUName[16], 0xF1);

    EXPECT_EQ(set(cmspln, id, "lub1"), CM_OK);
    EXPECT_EQ(std::make_tuple(bytes(s.PartnerLUName, 8), s.usPLUNameQualified, s.usPLUNameLen),
              std::make_tuple("lub1    ", 0, 4));

    const std::string before = snapshot(c);
    CM_INT32 four = 4;
    EXPECT_EQ(
        (Outcome{set(cmspln, id, "", 0), set(cmspln, id, "NETWORK01.LUNAME01"), set(cmspln, id, "X", -1),
                 rc_of(cmspln, id, nullptr, &four), rc_of(cmspln, id, lu1, nullptr)}),
        Outcome(5, CM_PROGRAM_PARAMETER_CHECK));
    EXPECT_EQ(snapshot(c), before);
}

TEST_F(SetCalls, ModeLocalLuAndTpNames) {
    CCCB *c = conversation(id);
    EXPECT_EQ(set(cmsmn, id, "#inter"), CM_OK);
    EXPECT_EQ(std::make_tuple(bytes(c->SideInfo.ModeName, 8), c->SideInfo.usModeNameLen),
              std::make_tuple("\x7B\xC9\xD5\xE3\xC5\xD9\x40\x40", 6));
    EXPECT_EQ(rc_of(cmsmn, id, nullptr, &zero), CM_OK) << "no bytes to read";
    EXPECT_EQ(std::make_tuple(bytes(c->SideInfo.ModeName, 8), c->SideInfo.usModeNameLen),
              std::make_tuple(std::string(8, '\x40'), 0));

    EXPECT_EQ(set(cmslln, id, "lu1"), CM_OK);
    EXPECT_EQ(bytes(c->LocLUAlias, 8), "lu1     ") << "ASCII, unconverted";
    EXPECT_EQ(set(cmslln, id, "", 0), CM_OK);
    EXPECT_EQ(bytes(c->LocLUAlias, 8), std::string(8, '\0'));

    c->SideInfo.ulTPNameType = XC_SNA_SERVICE_TP;
    EXPECT_EQ(set(cmstpn, id, "MY-TP_1/x!"), CM_OK);
    EXPECT_EQ(bytes(c->SideInfo.TPName, 64),
              std::string("\xD4\xE8\x60\xE3\xD7\x6D\xF1\x61\xA7\x00", 10) + std::string(54, '\x40'));
    EXPECT_EQ(c->SideInfo.ulTPNameType, static_cast<uint32_t>(XC_APPLICATION_TP));

    const std::string before = snapshot(c);
    EXPECT_EQ((Outcome{set(cmsmn, id, "MODENAME9"), set(cmslln, id, "LOCALLU09"), set(cmstpn, id, "", 0),
                       set(cmstpn, id, std::string(65, 'T').c_str()), set(cmsmn, id, "M", -8)}),
              Outcome(5, CM_PROGRAM_PARAMETER_CHECK));
    EXPECT_EQ(snapshot(c), before);
    EXPECT_EQ(set(cmstpn, id, std::string(64, 'T').c_str()), CM_OK);
    EXPECT_EQ(bytes(c->SideInfo.TPName, 64), std::string(64, '\xE3'));
}

// The record is an Error Log GDS variable, lengths big-endian.
TEST_F(SetCalls, LogDataRecordIsBuiltReplacedAndDiscarded) {
    CCCB *c = conversation(id, 0x51);
    const uint32_t blocks = zt_live_blocks();
    EXPECT_EQ(set(cmsld, id, "ab.-Z"), CM_OK);
    ASSERT_NE(c->LogData, nullptr);
    EXPECT_EQ(bytes(c->LogData, c->usLogDataLen),
              std::string("\x00\x0D\x12\xE1\x00\x02\x00\x07\x81\x82\x4B\x00\xE9", 13));

    std::string text;
    while (text.size() < 512) text += "lub1";
    EXPECT_EQ(set(cmsld, id, text.c_str()), CM_OK);
    std::string record("\x02\x08\x12\xE1\x00\x02\x02\x02", 8);
    for (int i = 0; i < 128; ++i) record += "\x93\xA4\x82\xF1";
    EXPECT_EQ(bytes(c->LogData, c->usLogDataLen), record);
    EXPECT_EQ(zt_live_blocks(), blocks + 1) << "the old record was freed";

    const std::string before = snapshot(c);
    CM_INT32 four = 4;
    EXPECT_EQ((Outcome{set(cmsld, id, (text + "X").c_str()), set(cmsld, id, "X", -1),
                       rc_of(cmsld, id, nullptr, &four)}),
              Outcome(3, CM_PROGRAM_PARAMETER_CHECK));
    EXPECT_EQ(snapshot(c), before);
    EXPECT_EQ(bytes(c->LogData, c->usLogDataLen), record) << "the record itself is left alone";

    EXPECT_EQ(set(cmsld, id, "", 0), CM_OK);
    EXPECT_EQ(std::make_tuple(c->LogData, c->usLogDataLen, zt_live_blocks()),
              std::make_tuple(nullptr, 0, blocks));
}

TEST_F(SetCalls, LogDataWithoutMemoryKeepsThePreviousRecord) {
    CCCB *c = conversation(id);
    ASSERT_EQ(set(cmsld, id, "OLD"), CM_OK);
    const unsigned char *old = c->LogData;
    const std::string record = bytes(old, 11);
    const uint32_t problems = zt_problem_count();

    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    EXPECT_EQ(set(cmsld, id, "NEWER"), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(std::make_tuple(zt_fault_hits(ZT_FAULT_MEM_ALLOC), last_problem(), zt_problem_count()),
              std::make_tuple(1u, Rec(kProblemNoMemory, 11, "", ""), problems + 1));
    EXPECT_EQ(std::make_tuple(c->LogData, c->usLogDataLen, bytes(c->LogData, 11)),
              std::make_tuple(old, 11, record));

    EXPECT_EQ(set(cmsld, id, "NEWER"), CM_OK) << "the fault was transient";
    EXPECT_EQ(c->usLogDataLen, 13);
    // A path failure releases conversations as bare blocks, so the record
    // is given back here for the leak check to mean something.
    EXPECT_EQ(set(cmsld, id, "", 0), CM_OK);
}

TEST_F(SetCalls, AcceptedWhileAVerbIsOutstanding) {
    unsigned char initial[8], allocated[8];
    CCCB *a = conversation(initial);
    CCCB *b = conversation(allocated, 0x51);
    a->usVerbsOutstanding = b->usVerbsOutstanding = 1;
    for (const SetCall &call : kCalls)
        EXPECT_EQ(rc_of(call.call, call.initialize_only ? initial : allocated), CM_OK) << call.name;
    EXPECT_EQ(zt_verb_count(), 0u);
    a->usVerbsOutstanding = b->usVerbsOutstanding = 0;
}

} // namespace
