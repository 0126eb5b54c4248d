// Specify_Local_TP_Name and Release_Local_TP_Name against the scripted
// node: what is validated, what is registered and withdrawn, how the list
// counts, and how the environment's own name gives way to the program's.
#include <string>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;

// EBCDIC of the names used below, X'40' padded to 64 bytes.
std::string ebcdic64(std::initializer_list<unsigned char> text) {
    std::string s(text.begin(), text.end());
    s.resize(64, '\x40');
    return s;
}
const std::string kSrv1 = ebcdic64({0xE2, 0xD9, 0xE5, 0xF1});        // "SRV1"
const std::string kSrv1Lower = ebcdic64({0xA2, 0x99, 0xA5, 0xF1});   // "srv1"
const std::string kSrv2 = ebcdic64({0xE2, 0xD9, 0xE5, 0xF2});        // "SRV2"
const std::string kDefault = ebcdic64({0xC3, 0xD7, 0xC9, 0xC3, 0x6D, 0xC4, 0xC5, 0xC6, 0xC1, 0xE4,
                                       0xD3, 0xE3, 0x6D, 0xE3, 0xD7, 0xD5, 0xC1, 0xD4, 0xC5});
const std::string kEnvName = ebcdic64({0xD4, 0xE8, 0xE3, 0xD7});     // "MYTP"

class TpNames : public LibraryTest {
  protected:
    // The program's buffer is 64 bytes (the trace dumps that many); only
    // `length` of them are the name.
    static CM_RETURN_CODE call(decltype(&cmsltp) routine, const char *name, CM_INT32 length) {
        unsigned char buffer[64];
        memset(buffer, ' ', sizeof buffer);
        memcpy(buffer, name, strlen(name) < 64 ? strlen(name) : 64);
        CM_RETURN_CODE rc = -1;
        routine(buffer, &length, &rc);
        return rc;
    }
    static CM_INT32 length_of(const char *name) { return static_cast<CM_INT32>(strlen(name)); }
    static CM_RETURN_CODE specify(const char *name) { return call(cmsltp, name, length_of(name)); }
    static CM_RETURN_CODE specify(const char *name, CM_INT32 length) { return call(cmsltp, name, length); }
    static CM_RETURN_CODE release(const char *name) { return call(CMRLTP, name, length_of(name)); }
    static CM_RETURN_CODE release(const char *name, CM_INT32 length) { return call(CMRLTP, name, length); }

    static std::string name_of(const ZT_VERB *v) { return bytes(v->image + 12, 64); }

    // Verbs of `opcode` in issue order.
    static std::vector<const ZT_VERB *> verbs(uint16_t opcode) {
        std::vector<const ZT_VERB *> out;
        for (uint32_t i = 0; i < zt_verb_count(); ++i)
            if (zt_verb(i)->opcode == opcode) out.push_back(zt_verb(i));
        return out;
    }

    static CM_RETURN_CODE accept() {
        unsigned char id[8];
        CM_RETURN_CODE rc = -1;
        cmaccp(id, &rc);
        return rc;
    }
};

TEST_F(TpNames, SpecifyInitialisesRegistersOnceAndCountsOnce) {
    EXPECT_EQ(fInitCPIC, 0);
    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(fInitCPIC, 1) << "Specify_Local_TP_Name may create state";
    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    ASSERT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 1u);

    const ZT_VERB *reg = verbs(AP_REGISTER_TP_NAME)[0];
    EXPECT_EQ(reg->kind, static_cast<uint32_t>(ZT_VERB_APPC_BLOCKING));
    EXPECT_EQ(name_of(reg), kSrv1);
    EXPECT_EQ(bytes(reg->image + 2, 10), std::string(10, '\0'));
    for (uint32_t i = 76; i < VCB_I386_SIZE; ++i) ASSERT_EQ(reg->image[i], 0) << "offset " << i;

    EXPECT_EQ(specify("srv1"), CM_OK) << "case is kept: another name";
    EXPECT_EQ(pGCB->NumLocTPNames, 2);
    ASSERT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 2u);
    EXPECT_EQ(name_of(verbs(AP_REGISTER_TP_NAME)[1]), kSrv1Lower);

    // The same bytes under another length are another name.
    EXPECT_EQ(specify("SRV1", 3), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 3);
}

TEST_F(TpNames, BadLengthsAndCharactersAreRefusedBeforeAnything) {
    EXPECT_EQ(specify("SRV1", 0), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(specify("SRV1", 65), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(specify("SRV1", -1 - 0x7FFF), CM_PROGRAM_PARAMETER_CHECK);
    for (const char *bad : {"MY TP", "HELLO!", "A[B", "A`B", "A{B", "A~"})
        EXPECT_EQ(specify(bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
    EXPECT_EQ(fInitCPIC, 0) << "refused before initialisation";
    EXPECT_EQ(zt_verb_count(), 0u);

    CM_RETURN_CODE rc = -1;
    CM_INT32 length = 4;
    cmsltp(nullptr, &length, &rc);
    EXPECT_EQ(rc, CM_PROGRAM_PARAMETER_CHECK);

    // Every permitted punctuation mark, 64 characters long.
    std::string all = "\"#$%&'()*+,-./:;<=>?@_azAZ09";
    all.resize(64, 'Z');
    EXPECT_EQ(specify(all.c_str(), 64), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
}

TEST_F(TpNames, ReleaseWithdrawsWhatWasListedOnly) {
    EXPECT_EQ(release("SRV1"), CM_PROGRAM_PARAMETER_CHECK) << "no list before initialisation";
    EXPECT_EQ(fInitCPIC, 0) << "Release does not initialise";

    ASSERT_EQ(specify("SRV1"), CM_OK);
    ASSERT_EQ(specify("SRV2"), CM_OK);
    EXPECT_EQ(release("SRV3"), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(release("SRV1", 65), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(release("NO NAME"), CM_PROGRAM_PARAMETER_CHECK) << "characters are not checked, only looked up";
    EXPECT_EQ(verbs(AP_WITHDRAW_TP_NAME).size(), 0u);

    const uint32_t entries = zt_live_table_entries();
    EXPECT_EQ(release("SRV1"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    EXPECT_EQ(zt_live_table_entries(), entries - 1);
    ASSERT_EQ(verbs(AP_WITHDRAW_TP_NAME).size(), 1u);
    EXPECT_EQ(name_of(verbs(AP_WITHDRAW_TP_NAME)[0]), kSrv1);
    EXPECT_EQ(release("SRV1"), CM_PROGRAM_PARAMETER_CHECK) << "gone";

    // A released name can be listed again.
    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 2);
}

TEST_F(TpNames, NodeRefusalsLeaveTheListAsItWas) {
    ASSERT_EQ(specify("SRV1"), CM_OK);
    queue(AP_REGISTER_TP_NAME, answer(0x0100, 0x31000000));
    EXPECT_EQ(specify("SRV2"), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemTpNameRegisterFailed));
    EXPECT_EQ(zt_problem(0)->sequence, 2u);
    EXPECT_STREQ(zt_problem(0)->format, "es");
    EXPECT_EQ(std::string(zt_problem(0)->inserts).rfind("E2D9E5F24040", 0), 0u) << zt_problem(0)->inserts;
    EXPECT_EQ(release("SRV2"), CM_PROGRAM_PARAMETER_CHECK) << "never listed";

    queue(AP_WITHDRAW_TP_NAME, answer(0x0200));
    EXPECT_EQ(release("SRV1"), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(pGCB->NumLocTPNames, 1) << "still listed";
    ASSERT_EQ(zt_problem_count(), 2u);
    EXPECT_EQ(zt_problem(1)->code, static_cast<uint32_t>(kProblemTpNameWithdrawFailed));
    EXPECT_EQ(zt_problem(1)->sequence, 0u);
    EXPECT_EQ(release("SRV1"), CM_OK) << "the next withdrawal may succeed";
}

TEST_F(TpNames, NoMemoryOrNoTableEntry) {
    ASSERT_EQ(specify("SRV1"), CM_OK);  // initialised, so the next fault hits the entry
    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    EXPECT_EQ(specify("SRV2"), CM_PRODUCT_SPECIFIC_ERROR);
    zt_fault(ZT_FAULT_TABLE_FULL, 1, 0);
    EXPECT_EQ(specify("SRV2"), CM_PRODUCT_SPECIFIC_ERROR);
    ASSERT_EQ(zt_problem_count(), 2u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemNoMemory));
    EXPECT_EQ(zt_problem(0)->sequence, 7u);
    EXPECT_EQ(zt_problem(1)->sequence, 8u);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    EXPECT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 1u) << "nothing registered without an entry";

    zt_fault(ZT_FAULT_PATH_USER, 1, 0);
    zt_fail_path();
    EXPECT_EQ(specify("SRV1"), CM_PRODUCT_SPECIFIC_ERROR) << "the library cannot be initialised";
}

TEST_F(TpNames, TheProgramsFirstNameReplacesTheDefaultAnAcceptListed) {
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    EXPECT_EQ(pGCB->fEnvTPNameListed, 1);
    ASSERT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 1u);
    EXPECT_EQ(name_of(verbs(AP_REGISTER_TP_NAME)[0]), kDefault);

    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 1) << "new name listed, default withdrawn";
    EXPECT_EQ(pGCB->fEnvTPNameListed, 0);
    ASSERT_EQ(verbs(AP_WITHDRAW_TP_NAME).size(), 1u);
    EXPECT_EQ(name_of(verbs(AP_WITHDRAW_TP_NAME)[0]), kDefault);

    EXPECT_EQ(specify("SRV2"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 2) << "only the default ever gives way";
    EXPECT_EQ(verbs(AP_WITHDRAW_TP_NAME).size(), 1u);
}

TEST_F(TpNames, AFailedWithdrawalOfTheDefaultStillAcceptsTheNewName) {
    ASSERT_EQ(accept(), CM_OK);
    queue(AP_WITHDRAW_TP_NAME, answer(0x0100));
    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 2);
    EXPECT_EQ(pGCB->fEnvTPNameListed, 1);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, static_cast<uint32_t>(kProblemTpNameWithdrawFailed));
    EXPECT_EQ(zt_problem(0)->sequence, 1u);
}

TEST_F(TpNames, AnOrdinaryEnvironmentNameStaysListed) {
    setenv("APPCTPN", "MYTP", 1);
    ASSERT_EQ(accept(), CM_OK);
    ASSERT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 1u);
    EXPECT_EQ(name_of(verbs(AP_REGISTER_TP_NAME)[0]), kEnvName);
    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 2);
    EXPECT_EQ(verbs(AP_WITHDRAW_TP_NAME).size(), 0u);

    // Releasing it explicitly works, and the flag stays: no later accept
    // lists it again behind the program's back.
    EXPECT_EQ(release("MYTP"), CM_OK);
    EXPECT_EQ(pGCB->fEnvTPNameListed, 1);
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    EXPECT_EQ(verbs(AP_REGISTER_TP_NAME).size(), 2u);
}

TEST_F(TpNames, TraceShowsTheNameAndLength) {
    set_trace(true);
    ASSERT_EQ(specify("SRV1"), CM_OK);
    set_trace(false);
    std::vector<std::string> lines;
    for (uint32_t i = 0; i < zt_trace_line_count(); ++i) lines.push_back(zt_trace_line(i));
    auto has = [&](const std::string &text) {
        for (const auto &l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(has("CMSLTP request"));
    EXPECT_TRUE(has(" Local TP name ="));
    EXPECT_TRUE(has(" TP name length = 4"));
    EXPECT_TRUE(has("CMSLTP response, result = CM_OK"));
}

}  // namespace
