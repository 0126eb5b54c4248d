// SPDX-License-Identifier: Apache-2.0
// Specify_Local_TP_Name and Release_Local_TP_Name against the scripted
// node: what is validated, what is registered and withdrawn, how the list
// counts, and how the environment's own name gives way to the program's.
#include <algorithm>
#include <string>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;
using Names = std::vector<std::string>;

// EBCDIC of the names used below, X'40' padded to 64 bytes.
std::string ebcdic64(std::initializer_list<unsigned char> text) {
    std::string s(text.begin(), text.end());
    s.resize(64, '\x40');
    return s;
}
const std::string kSrv1 = ebcdic64({0xE2, 0xD9, 0xE5, 0xF1});      // "SRV1"
const std::string kSrv1Lower = ebcdic64({0xA2, 0x99, 0xA5, 0xF1}); // "srv1"
const std::string kSrv2 = ebcdic64({0xE2, 0xD9, 0xE5, 0xF2});      // "SRV2"
const std::string kEnvName = ebcdic64({0xD4, 0xE8, 0xE3, 0xD7});   // "MYTP"
const std::string kDefault = ebcdic64({0xC3, 0xD7, 0xC9, 0xC3, 0x6D, 0xC4, 0xC5, 0xC6, 0xC1, 0xE4, 0xD3, 0xE3,
                                       0x6D, 0xE3, 0xD7, 0xD5, 0xC1, 0xD4, 0xC5}); // "CPIC_DEFAULT_TPNAME"
constexpr CM_INT32 kOwnLength = 0x7FFFFFFF;

class TpNames : public LibraryTest {
  protected:
    // The program's buffer is 64 bytes (the trace dumps that many); only
    // `length` of them are the name.
    static CM_RETURN_CODE call(decltype(&cmsltp) routine, const char *name, CM_INT32 length) {
        unsigned char buffer[64];
        memset(buffer, ' ', sizeof buffer);
        memcpy(buffer, name, std::min<size_t>(strlen(name), 64));
        if (length == kOwnLength) length = static_cast<CM_INT32>(strlen(name));
        return rc_of(routine, buffer, &length);
    }
    static CM_RETURN_CODE specify(const char *name, CM_INT32 length = kOwnLength) {
        return call(cmsltp, name, length);
    }
    static CM_RETURN_CODE release(const char *name, CM_INT32 length = kOwnLength) {
        return call(CMRLTP, name, length);
    }
    // The names the verbs of `opcode` carried, in issue order.
    static Names names(uint16_t opcode) {
        Names out;
        for (uint32_t i = 0; i < zt_verb_count(); ++i)
            if (zt_verb(i)->opcode == opcode) out.push_back(bytes(zt_verb(i)->image + 12, 64));
        return out;
    }
    static CM_RETURN_CODE accept() {
        unsigned char id[8];
        return rc_of(cmaccp, id);
    }
};

TEST_F(TpNames, SpecifyInitialisesRegistersOnceAndCountsOnce) {
    EXPECT_EQ(fInitCPIC, 0);
    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(fInitCPIC, 1) << "Specify_Local_TP_Name may create state";
    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(specify("srv1"), CM_OK) << "case is kept: another name";
    EXPECT_EQ(specify("SRV1", 3), CM_OK) << "the same bytes under another length are another name";
    EXPECT_EQ(pGCB->NumLocTPNames, 3);
    EXPECT_EQ(names(AP_REGISTER_TP_NAME), (Names{kSrv1, kSrv1Lower, ebcdic64({0xE2, 0xD9, 0xE5})}));
    // The whole record: blocking, nothing but the opcode and the name set.
    EXPECT_EQ(zt_verb(0)->kind, uint32_t{ZT_VERB_APPC_BLOCKING});
    EXPECT_EQ(image(zt_verb(0)).substr(2),
              std::string(10, '\0') + kSrv1 + std::string(VCB_I386_SIZE - 76, '\0'));
}

TEST_F(TpNames, BadLengthsAndCharactersAreRefusedBeforeAnything) {
    for (CM_INT32 bad : {0, 65, -1 - 0x7FFF})
        EXPECT_EQ(specify("SRV1", bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
    for (const char *bad : {"MY TP", "HELLO!", "A[B", "A`B", "A{B", "A~"})
        EXPECT_EQ(specify(bad), CM_PROGRAM_PARAMETER_CHECK) << bad;
    CM_INT32 length = 4;
    EXPECT_EQ(rc_of(cmsltp, nullptr, &length), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(fInitCPIC, 0) << "refused before initialisation";
    EXPECT_EQ(zt_verb_count(), 0u);
    // Every permitted punctuation mark, 64 characters long.
    std::string all = "\"#$%&'()*+,-./:;<=>?@_azAZ09";
    all.resize(64, 'Z');
    EXPECT_EQ(specify(all.c_str(), 64), CM_OK);
    EXPECT_EQ(specify("A"), CM_OK) << "the shortest name";
    EXPECT_EQ(pGCB->NumLocTPNames, 2);
}

TEST_F(TpNames, ReleaseWithdrawsWhatWasListedOnly) {
    EXPECT_EQ(release("SRV1"), CM_PROGRAM_PARAMETER_CHECK) << "no list before initialisation";
    EXPECT_EQ(fInitCPIC, 0) << "Release does not initialise";
    ASSERT_EQ(specify("SRV1"), CM_OK);
    ASSERT_EQ(specify("SRV2"), CM_OK);
    EXPECT_EQ(release("SRV3"), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(release("SRV1", 65), CM_PROGRAM_PARAMETER_CHECK);
    EXPECT_EQ(release("NO NAME"), CM_PROGRAM_PARAMETER_CHECK) << "characters are not checked, only looked up";
    EXPECT_EQ(names(AP_WITHDRAW_TP_NAME), Names{});
    const uint32_t entries = zt_live_table_entries();
    EXPECT_EQ(release("SRV1"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    EXPECT_EQ(zt_live_table_entries(), entries - 1);
    EXPECT_EQ(names(AP_WITHDRAW_TP_NAME), Names{kSrv1});
    EXPECT_EQ(release("SRV1"), CM_PROGRAM_PARAMETER_CHECK) << "gone";
    EXPECT_EQ(specify("SRV1"), CM_OK) << "a released name can be listed again";
    EXPECT_EQ(pGCB->NumLocTPNames, 2);
}

TEST_F(TpNames, NodeRefusalsAndMissingResourcesLeaveTheListAsItWas) {
    ASSERT_EQ(specify("SRV1"), CM_OK);
    queue(AP_REGISTER_TP_NAME, answer(0x0100, 0x31000000));
    EXPECT_EQ(specify("SRV2"), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_STREQ(zt_problem(0)->format, "es");
    EXPECT_EQ(std::string(zt_problem(0)->inserts).rfind("E2D9E5F24040", 0), 0u) << zt_problem(0)->inserts;
    EXPECT_EQ(release("SRV2"), CM_PROGRAM_PARAMETER_CHECK) << "never listed";
    queue(AP_WITHDRAW_TP_NAME, answer(0x0200));
    EXPECT_EQ(release("SRV1"), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(pGCB->NumLocTPNames, 1) << "still listed";
    zt_fault(ZT_FAULT_MEM_ALLOC, 1, 0);
    EXPECT_EQ(specify("SRV2"), CM_PRODUCT_SPECIFIC_ERROR);
    zt_fault(ZT_FAULT_TABLE_FULL, 1, 0);
    EXPECT_EQ(specify("SRV2"), CM_PRODUCT_SPECIFIC_ERROR);
    EXPECT_EQ(problem_list(), (Problems{{kProblemTpNameRegisterFailed, 2},
                                        {kProblemTpNameWithdrawFailed, 0},
                                        {kProblemNoMemory, 7},
                                        {kProblemNoMemory, 8}}));
    EXPECT_EQ(names(AP_REGISTER_TP_NAME), (Names{kSrv1, kSrv2})) << "nothing registered without an entry";
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    EXPECT_EQ(release("SRV1"), CM_OK) << "the next withdrawal may succeed";
    zt_fault(ZT_FAULT_PATH_USER, 1, 0);
    zt_fail_path();
    EXPECT_EQ(specify("SRV1"), CM_PRODUCT_SPECIFIC_ERROR) << "the library cannot be initialised";
}

// Only the default gives way to the program's first name; a withdrawal
// the node refuses leaves it listed beside the new one.
TEST_F(TpNames, TheProgramsFirstNameReplacesTheDefaultAnAcceptListed) {
    for (bool refused : {true, false}) {
        zt_fail_path();
        zt_reset();
        ASSERT_EQ(accept(), CM_OK);
        EXPECT_EQ(pGCB->fEnvTPNameListed, 1);
        if (refused) queue(AP_WITHDRAW_TP_NAME, answer(0x0100));
        EXPECT_EQ(specify("SRV1"), CM_OK) << refused;
        EXPECT_EQ(pGCB->NumLocTPNames, refused ? 2 : 1);
        EXPECT_EQ(pGCB->fEnvTPNameListed, refused ? 1 : 0);
        EXPECT_EQ(problem_list(), (refused ? Problems{{kProblemTpNameWithdrawFailed, 1}} : Problems{}));
    }
    EXPECT_EQ(specify("SRV2"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 2) << "only the default ever gives way";
    EXPECT_EQ(names(AP_REGISTER_TP_NAME), (Names{kDefault, kSrv1, kSrv2}));
    EXPECT_EQ(names(AP_WITHDRAW_TP_NAME), Names{kDefault});
}

TEST_F(TpNames, AnOrdinaryEnvironmentNameStaysListed) {
    setenv("APPCTPN", "MYTP", 1);
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(specify("SRV1"), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 2);
    EXPECT_EQ(names(AP_WITHDRAW_TP_NAME), Names{});
    // Releasing it explicitly works, and the flag stays: no later accept
    // lists it again behind the program's back.
    EXPECT_EQ(release("MYTP"), CM_OK);
    EXPECT_EQ(pGCB->fEnvTPNameListed, 1);
    ASSERT_EQ(accept(), CM_OK);
    EXPECT_EQ(pGCB->NumLocTPNames, 1);
    EXPECT_EQ(names(AP_REGISTER_TP_NAME), (Names{kEnvName, kSrv1}));
}

} // namespace
