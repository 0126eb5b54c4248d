// Library initialisation: environment variables, the three tables, the path
// registration and the wait object, every failure path and its undo, and the
// teardown on node path failure.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "vcpic/cpic_codes.h"
#include "vcpic/cpic_util.h"
#include "zorvel/zorvel_control.h"

namespace {

std::string bytes(const unsigned char *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

class Init : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("APPCLLU");
        unsetenv("APPCTPN");
        zt_reset();
    }
    void TearDown() override {
        zt_reset();
        EXPECT_EQ(fInitCPIC, 0);
        EXPECT_EQ(zt_live_blocks(), 0u);
        EXPECT_EQ(zt_live_tables(), 0u);
        EXPECT_EQ(zt_live_wait_objects(), 0u);
    }
    static uint16_t init_locked() {
        uint16_t token = vpm_lock();
        uint16_t r = SCC_init();
        vpm_unlock(token);
        return r;
    }
    static void expect_problem(uint32_t index, uint32_t code, uint32_t seq) {
        ASSERT_GT(zt_problem_count(), index);
        EXPECT_EQ(zt_problem(index)->code, code);
        EXPECT_EQ(zt_problem(index)->sequence, seq);
    }
};

TEST_F(Init, LuAliasFromEnvironment) {
    unsigned char alias[8];
    memset(alias, 0x55, sizeof alias);
    SCC_get_lu_alias(alias);
    EXPECT_EQ(bytes(alias, 8), std::string(8, '\0'));
    EXPECT_EQ(pEnv, nullptr);

    setenv("APPCLLU", "", 1);
    SCC_get_lu_alias(alias);
    EXPECT_EQ(bytes(alias, 8), std::string(8, '\0'));
    EXPECT_EQ(pEnv, nullptr) << "an empty value counts as unset";

    setenv("APPCLLU", "lu1", 1);
    SCC_get_lu_alias(alias);
    EXPECT_EQ(bytes(alias, 8), "lu1     ") << "no case change, blank padded";
    EXPECT_STREQ(pEnv, "lu1");

    setenv("APPCLLU", "ABCDEFGHIJ", 1);
    SCC_get_lu_alias(alias);
    EXPECT_EQ(bytes(alias, 8), "ABCDEFGH");
}

TEST_F(Init, DefaultTpName) {
    unsigned char name[64];
    SCC_set_tp_name(name);
    const unsigned char kDefault[] = {0xC3, 0xD7, 0xC9, 0xC3, 0x6D, 0xC4, 0xC5, 0xC6, 0xC1, 0xE4,
                                      0xD3, 0xE3, 0x6D, 0xE3, 0xD7, 0xD5, 0xC1, 0xD4, 0xC5};
    EXPECT_EQ(bytes(name, 19), bytes(kDefault, 19));
    EXPECT_EQ(bytes(name + 19, 45), std::string(45, '\x40'));
    EXPECT_EQ(pGCB->usLocTPNameLen, 19);
    EXPECT_EQ(pGCB->fEnvTPNameGiven, 0);
}

TEST_F(Init, ServiceTpNameInHexadecimal) {
    unsigned char name[64];
    setenv("APPCTPN", "SNA_SERVICE_TP_0x06F1", 1);
    SCC_set_tp_name(name);
    EXPECT_EQ(bytes(name, 3), "\x06\xF1\x40");
    EXPECT_EQ(pGCB->usLocTPNameLen, 2);
    EXPECT_EQ(pGCB->fEnvTPNameGiven, 0);

    setenv("APPCTPN", "SNA_SERVICE_TP_0x6f1", 1);
    SCC_set_tp_name(name);
    EXPECT_EQ(bytes(name, 3), std::string("\x6F\x10\x40", 3)) << "an odd last digit is a high half";
    EXPECT_EQ(pGCB->usLocTPNameLen, 2);

    // '0' and anything below it count 0; anything above '9' counts (c - 0x37) & 0xDF.
    setenv("APPCTPN", "SNA_SERVICE_TP_0x-g", 1);
    SCC_set_tp_name(name);
    EXPECT_EQ(name[0], 0x10);

    std::string many = "SNA_SERVICE_TP_0x" + std::string(140, '1');
    setenv("APPCTPN", many.c_str(), 1);
    SCC_set_tp_name(name);
    EXPECT_EQ(pGCB->usLocTPNameLen, 64) << "digits past the 128th are ignored";
    EXPECT_EQ(bytes(name, 64), std::string(64, '\x11'));
}

TEST_F(Init, OrdinaryTpNameIsConvertedToEbcdic) {
    unsigned char name[64];
    setenv("APPCTPN", "sna_service_tp_0x06F1", 1);
    SCC_set_tp_name(name);
    EXPECT_EQ(pGCB->usLocTPNameLen, 21);
    EXPECT_EQ(pGCB->fEnvTPNameGiven, 1);
    EXPECT_EQ(bytes(name, 4), "\xA2\x95\x81\x6D");
    EXPECT_EQ(name[21], 0x40);

    std::string longname(70, 'A');
    setenv("APPCTPN", longname.c_str(), 1);
    SCC_set_tp_name(name);
    EXPECT_EQ(pGCB->usLocTPNameLen, 64);
    EXPECT_EQ(bytes(name, 64), std::string(64, '\xC1'));
}

TEST_F(Init, FarLenStopsAtTheLimitAndAtNul) {
    const char exact[3] = {'a', 'b', 'c'};  // no terminator: must not be read past
    EXPECT_EQ(SCC_far_len(exact, 3), 3);
    EXPECT_EQ(SCC_far_len("abc", 64), 3);
    EXPECT_EQ(SCC_far_len("abcdef", 4), 4);
    EXPECT_EQ(SCC_far_len("", 8), 0);
    EXPECT_EQ(SCC_far_len("x", 0), 0);
}

TEST_F(Init, SucceedsAndRereadsTheEnvironment) {
    setenv("APPCLLU", "LOCAL1", 1);
    EXPECT_EQ(init_locked(), 1);
    EXPECT_EQ(fInitCPIC, 1);
    EXPECT_NE(pGCB->CccbTable, 0u);
    EXPECT_NE(pGCB->SideInfoTable, 0u);
    EXPECT_NE(pGCB->LocTPNameTable, 0u);
    EXPECT_NE(pGCB->PathUser, 0u);
    EXPECT_NE(pGCB->WaitObject, 0u);
    EXPECT_EQ(zt_live_tables(), 3u);
    EXPECT_EQ(zt_live_wait_objects(), 1u);
    EXPECT_EQ(bytes(pGCB->EnvLocLUAlias, 8), "LOCAL1  ");
    EXPECT_EQ(zt_problem_count(), 0u);

    zt_fail_path();
    EXPECT_EQ(fInitCPIC, 0);
    setenv("APPCLLU", "OTHER", 1);
    EXPECT_EQ(init_locked(), 1);
    EXPECT_EQ(bytes(pGCB->EnvLocLUAlias, 8), "OTHER   ") << "a new initialisation reads it again";
}

struct FailureCase {
    uint32_t site;
    uint32_t countdown;
    uint32_t code;
    uint32_t sequence;
};

class InitFailure : public Init, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InitFailure, UndoesEverythingAndCanBeRetried) {
    const FailureCase &c = GetParam();
    zt_fault(c.site, c.countdown, 0);
    EXPECT_EQ(init_locked(), 0);
    EXPECT_EQ(fInitCPIC, 0);
    ASSERT_EQ(zt_problem_count(), 1u);
    expect_problem(0, c.code, c.sequence);
    EXPECT_EQ(zt_live_tables(), 0u) << "every table created was terminated";
    EXPECT_EQ(zt_live_wait_objects(), 0u);
    EXPECT_EQ(pGCB->CccbTable, 0u);
    EXPECT_EQ(pGCB->SideInfoTable, 0u);
    EXPECT_EQ(pGCB->LocTPNameTable, 0u);
    EXPECT_EQ(pGCB->PathUser, 0u);

    zt_fault_clear();
    EXPECT_EQ(init_locked(), 1) << "the next creating call initialises again";
    EXPECT_EQ(zt_live_tables(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, InitFailure,
    ::testing::Values(FailureCase{ZT_FAULT_TABLE_INIT, 1, kProblemInitFailure, 1},
                      FailureCase{ZT_FAULT_TABLE_INIT, 2, kProblemInitFailure, 2},
                      FailureCase{ZT_FAULT_TABLE_INIT, 3, kProblemInitFailure, 3},
                      FailureCase{ZT_FAULT_PATH_USER, 1, kProblemInitFailure, 0},
                      FailureCase{ZT_FAULT_WAIT_OBJECT, 1, kProblemNoMemory, 12}));

TEST_F(Init, PathFailureFreesEveryTableAndItsBlocks) {
    ASSERT_EQ(init_locked(), 1);
    uint16_t token = vpm_lock();
    for (uint32_t table : {pGCB->CccbTable, pGCB->SideInfoTable, pGCB->LocTPNameTable}) {
        for (int i = 0; i < 3; ++i) {
            void *block = nba_mm_alloc(64, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0);
            ASSERT_NE(block, nullptr);
            ASSERT_NE(vtm_get_free_entry(table, block), 0u);
        }
    }
    vpm_unlock(token);
    EXPECT_EQ(zt_live_blocks(), 9u);

    zt_fail_path();
    EXPECT_EQ(fInitCPIC, 0);
    EXPECT_EQ(zt_live_blocks(), 0u);
    EXPECT_EQ(zt_live_tables(), 0u);
    EXPECT_EQ(zt_live_wait_objects(), 0u);
    EXPECT_EQ(pGCB->PathUser, 0u);
}

TEST_F(Init, OtherPathEventsOnlyGetAReply) {
    ASSERT_EQ(init_locked(), 1);
    VPM_PATH_EVENT event = {0x8002, 0x1234};
    EXPECT_EQ(SCC_path_callback(0, &event), 0u);
    EXPECT_EQ(event.reply, 0);
    EXPECT_EQ(fInitCPIC, 1);
    EXPECT_EQ(zt_live_tables(), 3u);
}

TEST(Version, StampsAndIdentificationStrings) {
    EXPECT_STREQ(ocpic_verstamp(), "V6.2.3.0 Orvanet CPI-C Library Routines (32 bit)\n");
    EXPECT_EQ(ocpic_verstamp(), ocpic_verstring1);
    EXPECT_STREQ(ocpic_verstamp_tvt(), "V6.2.3.0 Orvanet %1\n");
    EXPECT_STREQ(ocpic_verstring,
                 "@(#)]V6.2.3.0 Orvanet CPI-C Library Routines (32 bit)\n"
                 "@(#)]            (: 07/11/15 20:37:14)\n"
                 "@(#)]");
}

}  // namespace
