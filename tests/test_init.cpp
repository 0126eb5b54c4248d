// SPDX-License-Identifier: Apache-2.0
// Library initialisation: environment variables, the three tables, the path
// registration and the wait object, every failure path and its undo, and the
// teardown on node path failure.
#include <string>
#include <tuple>

#include "support.h"

namespace {

using namespace cpic_test;

class Init : public LibraryTest {
  protected:
    static uint16_t init_locked() {
        cpic::ProcessLock lock;
        return SCC_init();
    }
};

// An empty value counts as unset; no case change, blank padded.
TEST_F(Init, LuAliasFromEnvironment) {
    const struct {
        const char *env, *alias, *kept;
    } rows[] = {{nullptr, "", nullptr},
                {"", "", nullptr},
                {"lu1", "lu1     ", "lu1"},
                {"ABCDEFGHIJ", "ABCDEFGH", "ABCDEFGHIJ"}};
    for (const auto &row : rows) {
        if (row.env != nullptr) setenv("APPCLLU", row.env, 1);
        unsigned char alias[8];
        memset(alias, 0x55, sizeof alias);
        SCC_get_lu_alias(alias);
        EXPECT_EQ(bytes(alias, 8), std::string(row.alias).append(8 - strlen(row.alias), '\0')) << row.alias;
        EXPECT_EQ(pEnv == nullptr ? std::string("(null)") : std::string(pEnv),
                  row.kept ? row.kept : "(null)");
    }
}

// A service name is hexadecimal: an odd last digit is a high half, '0' and
// anything below it count 0, anything above '9' counts (c - 0x37) & 0xDF,
// digits past the 128th are ignored. Any other name goes to EBCDIC.
TEST_F(Init, TpNameFromEnvironment) {
    const std::string b(64, '\x40'), many = "SNA_SERVICE_TP_0x" + std::string(140, '1'), longname(70, 'A');
    const struct {
        const char *env;
        std::string name;
        int length, given;
    } rows[] = {
        {nullptr,
         "\xC3\xD7\xC9\xC3\x6D\xC4\xC5\xC6\xC1\xE4\xD3\xE3\x6D\xE3\xD7\xD5\xC1\xD4\xC5" + b.substr(19), 19,
         0},
        {"SNA_SERVICE_TP_0x06F1", "\x06\xF1\x40", 2, 0},
        {"SNA_SERVICE_TP_0x6f1", std::string("\x6F\x10\x40", 3), 2, 0},
        {"SNA_SERVICE_TP_0x-g", "\x10", 1, 0},
        {many.c_str(), std::string(64, '\x11'), 64, 0},
        {"sna_service_tp_0x06F1",
         "\xA2\x95\x81\x6D\xA2\x85\x99\xA5\x89\x83\x85\x6D\xA3\x97\x6D\xF0\xA7\xF0\xF6\xC6\xF1\x40", 21, 1},
        {longname.c_str(), std::string(64, '\xC1'), 64, 1},
    };
    for (const auto &row : rows) {
        if (row.env != nullptr) setenv("APPCTPN", row.env, 1);
        unsigned char name[64];
        SCC_set_tp_name(name);
        EXPECT_EQ(bytes(name, row.name.size()), row.name) << (row.env ? row.env : "unset");
        EXPECT_EQ(std::make_pair(int{pGCB->usLocTPNameLen}, int{pGCB->fEnvTPNameGiven}),
                  std::make_pair(row.length, row.given));
    }
}

TEST_F(Init, FarLenStopsAtTheLimitAndAtNul) {
    const char exact[3] = {'a', 'b', 'c'}; // no terminator: must not be read past
    EXPECT_EQ(SCC_far_len(exact, 3), 3);
    EXPECT_EQ(SCC_far_len("abc", 64), 3);
    EXPECT_EQ(SCC_far_len("abcdef", 4), 4);
    EXPECT_EQ(SCC_far_len("", 8), 0);
    EXPECT_EQ(SCC_far_len("x", 0), 0);
}

TEST_F(Init, SucceedsAndRereadsTheEnvironment) {
    setenv("APPCLLU", "LOCAL1", 1);
    EXPECT_EQ(init_locked(), 1);
    const GCB *g = pGCB;
    EXPECT_EQ(std::make_tuple(fInitCPIC, g->CccbTable != 0, g->SideInfoTable != 0, g->LocTPNameTable != 0,
                              g->PathUser != 0, g->WaitObject != 0),
              std::make_tuple(1, true, true, true, true, true));
    EXPECT_EQ(std::make_tuple(zt_live_tables(), zt_live_wait_objects(), zt_problem_count()),
              std::make_tuple(3u, 1u, 0u));
    EXPECT_EQ(bytes(pGCB->EnvLocLUAlias, 8), "LOCAL1  ");

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
    EXPECT_EQ(problem_list(), (Problems{{c.code, c.sequence}}));
    EXPECT_EQ(zt_live_tables() + zt_live_wait_objects(), 0u) << "every table created was terminated";
    EXPECT_EQ(pGCB->CccbTable + pGCB->SideInfoTable + pGCB->LocTPNameTable + pGCB->PathUser, 0u);

    zt_fault_clear();
    EXPECT_EQ(init_locked(), 1) << "the next creating call initialises again";
    EXPECT_EQ(zt_live_tables(), 3u);
}

INSTANTIATE_TEST_SUITE_P(EachStep, InitFailure,
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
    EXPECT_EQ(zt_live_blocks() + zt_live_tables() + zt_live_wait_objects() + pGCB->PathUser, 0u);
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
    EXPECT_STREQ(ocpic_verstring, "@(#)]V6.2.3.0 Orvanet CPI-C Library Routines (32 bit)\n"
                                  "@(#)]            (: 07/11/15 20:37:14)\n"
                                  "@(#)]");
}

} // namespace
