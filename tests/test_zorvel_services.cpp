// Node stand-in services: process lock and wait objects, path users, handle
// tables, memory with fault injection, problem/audit/assertion records and
// the trace file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "node/services.h"
#include "zorvel/zorvel_control.h"

namespace {

using namespace std::chrono_literals;

class ZorvelTest : public ::testing::Test {
protected:
    void SetUp() override { zt_reset(); }
    void TearDown() override
    {
        // Every test gives back what it took.
        EXPECT_EQ(zt_live_blocks(), 0u);
        EXPECT_EQ(zt_live_bytes(), 0u);
        EXPECT_EQ(zt_live_tables(), 0u);
        EXPECT_EQ(zt_live_table_entries(), 0u);
        EXPECT_EQ(zt_live_wait_objects(), 0u);
        EXPECT_EQ(zt_live_path_users(), 0u);
        zt_reset();
    }
    static std::string last_assert()
    {
        const uint32_t n = zt_assert_count();
        return n ? zt_assert(n - 1)->expression : "";
    }
};

// Sets an environment variable for one scope; the stand-in reads it at reset.
struct ScopedEnv {
    ScopedEnv(const char *name, const char *value) : name(name), old(getenv(name) ? getenv(name) : "\x01")
    {
        setenv(name, value, 1);
    }
    ~ScopedEnv() { old == "\x01" ? unsetenv(name) : setenv(name, old.c_str(), 1); }
    const char *name;
    std::string old; // "\x01" when it was not set
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- Process lock ---------------------------------------------------------

using Lock = ZorvelTest;

TEST_F(Lock, TokensRoundTripAndMisuseIsReported)
{
    const uint16_t a = vpm_lock();
    vpm_unlock(a);
    const uint16_t b = vpm_lock();
    vpm_unlock(b);
    EXPECT_NE(a, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(zt_assert_count(), 0u);

    vpm_unlock(7);
    EXPECT_NE(last_assert().find("not held"), std::string::npos);
    const uint16_t t = vpm_lock();
    vpm_unlock(t == 1 ? 2 : 1);
    EXPECT_NE(last_assert().find("token"), std::string::npos);
    EXPECT_EQ(zt_assert_count(), 2u);
    // The wrong token still released the lock the thread held.
    std::thread([] { vpm_unlock(vpm_lock()); }).join();
}

TEST_F(Lock, NestedLockIsReportedAndKeepsTheOuterLock)
{
    const uint16_t outer = vpm_lock();
    const uint16_t inner = vpm_lock(); // must return, not deadlock
    ASSERT_EQ(zt_assert_count(), 1u);
    EXPECT_NE(last_assert().find("already held"), std::string::npos);
    vpm_unlock(inner);

    std::atomic<bool> got{false};
    std::thread other([&] {
        const uint16_t t = vpm_lock();
        got = true;
        vpm_unlock(t);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(got) << "the nested unlock released the outer lock";
    vpm_unlock(outer);
    other.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(zt_assert_count(), 1u);
}

// ---- Wait objects and sleep -----------------------------------------------

using Sleep = ZorvelTest;

TEST_F(Sleep, WakeupBeforeSleepIsKeptAndBoundedSleepsEnd)
{
    const uint32_t w = vpm_allocate_wait_object();
    ASSERT_NE(w, 0u);
    vpm_wakeup(w);
    const uint16_t t = vpm_lock();
    EXPECT_EQ(vpm_sleep(w, VPM_WAIT_FOREVER), 0);
    EXPECT_EQ(vpm_sleep(w, 20), 1) << "one wakeup ends one sleep";
    EXPECT_EQ(zt_problem_count(), 0u) << "a caller's timeout is no problem";

    zt_set_sleep_limit(40);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vpm_sleep(w, VPM_WAIT_FOREVER), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    vpm_unlock(t);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_EQ(zt_problem(0)->code, ZT_PROBLEM_SLEEP_LIMIT);
    char expected[32];
    snprintf(expected, sizeof expected, "%08X 00000028", w);
    EXPECT_STREQ(zt_problem(0)->inserts, expected);
    vpm_release_wait_object(w);
}

TEST_F(Sleep, AnotherThreadWakesOrReleasesWhileTheLockIsReleased)
{
    const uint32_t w = vpm_allocate_wait_object();
    int shared = 0;
    const uint16_t t = vpm_lock();
    std::thread other([&] {
        std::this_thread::sleep_for(30ms);
        const uint16_t u = vpm_lock(); // only possible while the owner sleeps
        shared = 42;
        vpm_wakeup(w);
        vpm_unlock(u);
        std::this_thread::sleep_for(30ms);
        vpm_release_wait_object(w);
    });
    EXPECT_EQ(vpm_sleep(w, VPM_WAIT_FOREVER), 0);
    EXPECT_EQ(shared, 42);
    EXPECT_EQ(vpm_sleep(w, VPM_WAIT_FOREVER), 3) << "released while sleeping";
    other.join();
    EXPECT_EQ(zt_assert_count(), 0u);
    EXPECT_EQ(vpm_sleep(w, VPM_WAIT_FOREVER), 3) << "unknown";
    EXPECT_EQ(zt_assert_count(), 1u);
    vpm_unlock(t); // the token survives the sleeps
    EXPECT_EQ(zt_assert_count(), 1u);
    vpm_wakeup(12345);
    vpm_release_wait_object(12345);
    EXPECT_EQ(zt_assert_count(), 3u);
}

TEST_F(Sleep, AllocationFaultAndFreshHandles)
{
    zt_fault(ZT_FAULT_WAIT_OBJECT, 2, 0);
    const uint32_t a = vpm_allocate_wait_object();
    EXPECT_EQ(vpm_allocate_wait_object(), 0u);
    const uint32_t b = vpm_allocate_wait_object();
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    vpm_release_wait_object(a);
    const uint32_t c = vpm_allocate_wait_object();
    EXPECT_NE(c, a) << "a released handle is not handed out again at once";
    EXPECT_EQ(zt_live_wait_objects(), 2u);
    EXPECT_EQ(zt_fault_hits(ZT_FAULT_WAIT_OBJECT), 1u);
    vpm_release_wait_object(b);
    vpm_release_wait_object(c);
}

// ---- Path users -------------------------------------------------------------

struct PathLog {
    std::vector<std::pair<uint32_t, uint16_t>> calls; // user, event code
    uint32_t terminate_on_call = 0;                    // handle to drop
    bool probe_lock = false;
    uint32_t asserts_seen_by_probe = 0;
};
PathLog g_path;

uint32_t on_path_event(uint32_t user, VPM_PATH_EVENT *event)
{
    g_path.calls.emplace_back(user, event->code);
    if (g_path.probe_lock) {
        // A nested lock is reported only when this thread already holds it.
        const uint32_t before = zt_assert_count();
        vpm_unlock(vpm_lock());
        g_path.asserts_seen_by_probe = zt_assert_count() - before;
    }
    if (g_path.terminate_on_call) {
        vpm_terminate_path_user(g_path.terminate_on_call);
        g_path.terminate_on_call = 0;
    }
    event->reply = 0;
    return 0;
}

class Path : public ZorvelTest {
protected:
    void SetUp() override
    {
        ZorvelTest::SetUp();
        g_path = PathLog{};
    }
};

TEST_F(Path, FailureCallsEveryUserWith8001UnderTheLock)
{
    uint32_t a = 0, b = 0;
    vpm_init_path_user(0, 0, on_path_event, 11, &a);
    vpm_init_path_user(0, 0, on_path_event, 22, &b);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    ASSERT_NE(a, b);
    g_path.probe_lock = true;
    zt_fail_path();
    ASSERT_EQ(g_path.calls.size(), 2u);
    EXPECT_EQ(g_path.calls[0], std::make_pair(11u, uint16_t{0x8001}));
    EXPECT_EQ(g_path.calls[1], std::make_pair(22u, uint16_t{0x8001}));
    EXPECT_EQ(g_path.asserts_seen_by_probe, 1u);

    // A caller that already holds the lock is not locked again.
    g_path = PathLog{};
    const uint32_t asserts = zt_assert_count();
    const uint16_t t = vpm_lock();
    zt_fail_path();
    vpm_unlock(t);
    EXPECT_EQ(g_path.calls.size(), 2u);
    EXPECT_EQ(zt_assert_count(), asserts);
    vpm_terminate_path_user(a);
    vpm_terminate_path_user(b);
}

TEST_F(Path, RegistrationFaultAndUserTerminatedDuringDeliveryIsSkipped)
{
    uint32_t a = 99, b = 0;
    zt_fault(ZT_FAULT_PATH_USER, 1, 0);
    vpm_init_path_user(0, 0, on_path_event, 1, &a);
    EXPECT_EQ(a, 0u);
    vpm_init_path_user(0, 0, on_path_event, 1, &a);
    vpm_init_path_user(0, 0, on_path_event, 2, &b);
    g_path.terminate_on_call = b;
    zt_fail_path();
    ASSERT_EQ(g_path.calls.size(), 1u);
    EXPECT_EQ(g_path.calls[0].first, 1u);
    EXPECT_EQ(zt_live_path_users(), 1u);
    vpm_terminate_path_user(a);
    vpm_terminate_path_user(a);
    EXPECT_NE(last_assert().find("unknown path user"), std::string::npos);
}

// ---- Handle tables ------------------------------------------------------------

using Tables = ZorvelTest;

TEST_F(Tables, HandlesAreFreshAndWalkedInOrder)
{
    uint32_t t = 0;
    vtm_table_init(&t, 0);
    ASSERT_NE(t, 0u);
    int objects[4];
    std::vector<uint32_t> h;
    for (int &o : objects)
        h.push_back(vtm_get_free_entry(t, &o));
    for (size_t i = 0; i < h.size(); ++i) {
        EXPECT_NE(h[i], 0u);
        if (i) {
            EXPECT_GT(h[i], h[i - 1]);
        }
        EXPECT_EQ(vtm_get_pointer(t, h[i]), &objects[i]);
    }
    vtm_release_entry(t, h[3]);
    const uint32_t again = vtm_get_free_entry(t, &objects[3]);
    EXPECT_NE(again, h[3]) << "a stale handle must not find the new entry";
    EXPECT_EQ(vtm_get_pointer(t, h[3]), nullptr);

    // Walk while releasing the entry the walk stands on.
    std::vector<void *> seen;
    void *p = nullptr;
    for (uint32_t cur = vtm_get_next_used(t, 0, &p); cur; cur = vtm_get_next_used(t, cur, &p)) {
        seen.push_back(p);
        vtm_release_entry(t, cur);
    }
    EXPECT_EQ(seen, (std::vector<void *>{&objects[0], &objects[1], &objects[2], &objects[3]}));
    EXPECT_EQ(vtm_get_next_used(t, 0, &p), 0u);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(zt_assert_count(), 0u);
    vtm_table_terminate(&t);
    EXPECT_EQ(t, 0u);
}

TEST_F(Tables, CapacityAndFaults)
{
    uint32_t t = 0;
    zt_fault(ZT_FAULT_TABLE_INIT, 1, 0);
    vtm_table_init(&t, 0);
    EXPECT_EQ(t, 0u);
    vtm_table_init(&t, 0);
    ASSERT_NE(t, 0u);

    zt_set_table_capacity(2);
    int x;
    const uint32_t a = vtm_get_free_entry(t, &x);
    const uint32_t b = vtm_get_free_entry(t, &x);
    EXPECT_EQ(vtm_get_free_entry(t, &x), 0u) << "full";
    vtm_release_entry(t, a);

    zt_fault(ZT_FAULT_TABLE_FULL, 1, 1);
    EXPECT_EQ(vtm_get_free_entry(t, &x), 0u);
    EXPECT_EQ(vtm_get_free_entry(t, &x), 0u) << "persistent";
    EXPECT_EQ(zt_fault_hits(ZT_FAULT_TABLE_FULL), 2u);
    zt_fault_clear();
    const uint32_t c = vtm_get_free_entry(t, &x);
    EXPECT_NE(c, 0u);
    vtm_release_entry(t, b);
    vtm_release_entry(t, c);
    vtm_table_terminate(&t);
}

TEST_F(Tables, MisuseIsReportedNotFatal)
{
    uint32_t t = 0;
    vtm_table_init(&t, 0);
    vtm_release_entry(t, 77);
    EXPECT_NE(last_assert().find("not in use"), std::string::npos);
    int x;
    EXPECT_EQ(vtm_get_free_entry(t + 1000, &x), 0u);
    EXPECT_NE(last_assert().find("unknown table"), std::string::npos);
    const uint32_t asserts = zt_assert_count();
    EXPECT_EQ(vtm_get_pointer(0, 1), nullptr) << "table 0 means none";
    EXPECT_EQ(zt_assert_count(), asserts);
    uint32_t stale = t;
    vtm_table_terminate(&t);
    vtm_table_terminate(&stale);
    EXPECT_EQ(zt_assert_count(), asserts + 1);
}

// ---- Memory and the fault layer ---------------------------------------------

using Memory = ZorvelTest;

TEST_F(Memory, AccountingAndBadFrees)
{
    void *a = nba_mm_alloc(100, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0);
    void *b = nba_mm_alloc(28, NBA_MM_ONE_OFF_VERB, nba_blank_name, 0, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(zt_live_blocks(), 2u);
    EXPECT_EQ(zt_live_bytes(), 128u);
    EXPECT_EQ(static_cast<unsigned char *>(a)[99], 0xCD) << "fresh blocks are not zero";
    nba_mm_free(a, 0);
    EXPECT_EQ(zt_live_bytes(), 28u);
    nba_mm_free(a, 0);
    int local;
    nba_mm_free(&local, 0);
    EXPECT_EQ(zt_assert_count(), 2u);
    EXPECT_NE(last_assert().find("nba_mm_free"), std::string::npos);
    nba_mm_free(b, 0);
}

TEST_F(Memory, CountdownTransientAndPersistent)
{
    // '+' for each allocation that succeeded, '-' for each that failed.
    auto allocations = [](int n) {
        std::string got;
        for (int i = 0; i < n; ++i)
            got += nba_mm_alloc(8, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0) ? '+' : '-';
        return got;
    };
    zt_fault(ZT_FAULT_MEM_ALLOC, 3, 0);
    EXPECT_EQ(allocations(5), "++-++");
    EXPECT_EQ(zt_fault_calls(ZT_FAULT_MEM_ALLOC), 5u);
    EXPECT_EQ(zt_fault_hits(ZT_FAULT_MEM_ALLOC), 1u);
    zt_fault(ZT_FAULT_MEM_ALLOC, 2, 1);
    EXPECT_EQ(allocations(3), "+--");
    EXPECT_EQ(zt_fault_hits(ZT_FAULT_MEM_ALLOC), 2u);
    EXPECT_EQ(zt_live_blocks(), 5u);
    zt_fault_clear();
    EXPECT_EQ(zt_fault_calls(ZT_FAULT_MEM_ALLOC), 0u);
    // Reset frees whatever is left, so the sweep needs no cleanup.
    zt_reset();
}

// ---- Problem, audit and assertion records ------------------------------------

using Records = ZorvelTest;

TEST_F(Records, EachInsertFormat)
{
    const unsigned char id[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    const unsigned char ebcdic[5] = {0xC1, 0x81, 0x40, 0xF1, 0x3F};
    nba_pd_print_problem(0x20030005, 14, "ba", 8u, id);
    nba_pd_print_problem(0x20030014, 1, "x lx", 0x0200u, 0x58100000u);
    nba_pd_print_problem(0x20030008, 1, "l", -123);
    nba_pd_print_audit(0x20030001, 2, "ca b", 4u, "A\tB ", 0x1FFu);
    nba_pd_print_audit(0x20030002, 3, "es", 5u, ebcdic);
    nba_pd_print_problem(0x2003000A, 0, "");
    nba_pd_print_problem(0x2003000B, 9, "ba ca es", 4u, nullptr, 0u, nullptr, 0u, "x");
    nba_pd_print_problem(0x2003000C, 1, "x zz lx", 5u, 6u);
    nba_pd_print_problem(0x2003000D, 2, "x x lx", 1u, 0xABCDEu, 0xDEADBEEFu);

    ASSERT_EQ(zt_problem_count(), 7u);
    ASSERT_EQ(zt_audit_count(), 2u);
    const char *problems[] = {"0100000000000000", "0200 58100000", "-123", "",
                              "(null) \"\" - \"\"", "0005 ?zz", "0001 BCDE DEADBEEF"};
    for (uint32_t i = 0; i < 7; ++i)
        EXPECT_STREQ(zt_problem(i)->inserts, problems[i]) << i;
    EXPECT_EQ(zt_problem(0)->code, 0x20030005u);
    EXPECT_EQ(zt_problem(0)->sequence, 14u);
    EXPECT_STREQ(zt_problem(1)->format, "x lx");
    EXPECT_EQ(zt_audit(0)->kind, static_cast<uint32_t>(ZT_AUDIT));
    EXPECT_STREQ(zt_audit(0)->inserts, "\"A.B \" FF");
    EXPECT_STREQ(zt_audit(1)->inserts, "C18140F13F \"Aa 1.\"");
    EXPECT_EQ(zt_problem(7), nullptr);
}

TEST_F(Records, AssertionsKeepFileLineAndExpression)
{
    v0_assert("vcpic/cpicutil.cpp", 321, "(pGCB)->NumVerbsWaiting > 0");
    ASSERT_EQ(zt_assert_count(), 1u);
    const ZT_RECORD *r = zt_assert(0);
    EXPECT_EQ(std::to_string(r->kind) + " " + std::to_string(r->line) + " " + std::to_string(r->code) + " " + r->file +
                  "|" + r->expression + "|" + r->inserts,
              std::to_string(ZT_ASSERT) +
                  " 321 321 vcpic/cpicutil.cpp|(pGCB)->NumVerbsWaiting > 0|vcpic/cpicutil.cpp: (pGCB)->NumVerbsWaiting > 0");
}

TEST_F(Records, OneReadableLineEachInTheLogFile)
{
    const std::string path = testing::TempDir() + "zorvel_records_" + std::to_string(getpid()) + ".log";
    unlink(path.c_str());
    {
        ScopedEnv env("ZORVEL_LOG_FILE", path.c_str());
        zt_reset(); // the file is opened afresh, under the new name
        const unsigned char id[8] = {2, 0, 0, 0, 0, 0, 0, 0};
        nba_pd_print_problem(0x20030005, 1, "ba", 8u, id);
        nba_pd_print_audit(0x20030003, 4, "x", 0x12u);
        v0_assert("a.cpp", 7, "x == y");
    }
    const std::string text = read_file(path);
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[)" + std::to_string(getpid()) + R"(\] )";
    const std::regex lines(stamp + R"(PROBLEM code=20030005 seq=1 fmt="ba" 0200000000000000\n)" + stamp +
                           R"(AUDIT code=20030003 seq=4 fmt="x" 0012\n)" + stamp + R"(ASSERT a.cpp:7 x == y\n)");
    EXPECT_TRUE(std::regex_match(text, lines)) << text;
    unlink(path.c_str());

    // Kept in memory when the file cannot be opened.
    ScopedEnv env("ZORVEL_LOG_FILE", "/nonexistent-dir/zorvel.log");
    zt_reset();
    nba_pd_print_problem(0x20030016, 3, "x", 1u);
    ASSERT_EQ(zt_problem_count(), 1u);
    EXPECT_STREQ(zt_problem(0)->inserts, "0001");
}

// ---- Trace control and trace file ---------------------------------------------

using Trace = ZorvelTest;

TEST_F(Trace, ControlBitsFromTheEnvironment)
{
    for (const char *on : {"1", "0"}) {
        ScopedEnv api("ZORVEL_API_TRACE", on), audit("ZORVEL_NO_AUDIT", on);
        zt_reset();
        unsigned char expected[sizeof ptrc] = {};
        if (*on == '1') {
            expected[PTRC_API_TRACE_BYTE] |= PTRC_API_TRACE_BIT;
            expected[PTRC_AUDIT_BYTE] |= PTRC_NO_AUDIT_BIT;
        }
        EXPECT_EQ(std::string(ptrc, ptrc + sizeof ptrc), std::string(expected, expected + sizeof ptrc)) << on;
    }
}

TEST_F(Trace, FileLinesAndGoldenCapture)
{
    const std::string path = testing::TempDir() + "zorvel_trace_" + std::to_string(getpid()) + ".trc";
    unlink(path.c_str());
    ScopedEnv env("ZORVEL_TRACE_FILE", path.c_str());
    zt_reset();
    EXPECT_EQ(trc_api.initialised, 0);
    EXPECT_EQ(trc_api.handle, TRC_NO_FILE);
    sepuapi_init(ptrc);
    ASSERT_NE(trc_api.handle, TRC_NO_FILE);

    const unsigned char data[20] = {'C', 'P', 'I', 'C', 0, 1, 0x7F, ' ', 'a', 'b', 'c', 'd',
                                    'e', 'f', 'g', 'h', 0xFF, 'X', 'Y', 'Z'};
    trc_lock_file(&trc_api);
    com_trc_sep(trc_api.handle, "CPIC ");
    com_trc_line(trc_api.handle, "CPIC ", "CMINIT request");
    com_trc_dump(trc_api.handle, "CPIC ", data, sizeof data);
    com_trc_dump(trc_api.handle, "CPIC ", nullptr, 8);
    com_trc_dump(trc_api.handle, "CPIC ", data, 0);
    trc_unlock_file(&trc_api);

    const std::vector<std::string> golden = {
        "CPIC ----------------",
        "CPIC CMINIT request",
        "CPIC 0000  43 50 49 43 00 01 7F 20 61 62 63 64 65 66 67 68  CPIC... abcdefgh",
        "CPIC 0010  FF 58 59 5A                                      .XYZ",
        "CPIC (null address, 8 bytes)",
    };
    ASSERT_EQ(zt_trace_line_count(), golden.size());
    for (uint32_t i = 0; i < golden.size(); ++i)
        EXPECT_EQ(zt_trace_line(i), golden[i]) << i;

    const std::string text = read_file(path);
    const std::regex file_text(R"(CPIC ---------------- \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} pid )" +
                               std::to_string(getpid()) + R"( ----------------\n)" +
                               "CPIC CMINIT request\n(CPIC .*\n){3}");
    EXPECT_TRUE(std::regex_match(text, file_text)) << text;

    zt_trace_clear();
    EXPECT_EQ(zt_trace_line_count(), 0u);
    zt_reset();
    EXPECT_EQ(trc_api.handle, TRC_NO_FILE);
    unlink(path.c_str());
}

TEST_F(Trace, NoFileMeansNoLines)
{
    zt_fault(ZT_FAULT_TRACE_OPEN, 1, 0);
    sepuapi_init(ptrc);
    EXPECT_EQ(trc_api.handle, TRC_NO_FILE);
    com_trc_line(trc_api.handle, "CPIC ", "dropped");
    EXPECT_EQ(zt_trace_line_count(), 0u);
    EXPECT_EQ(zt_assert_count(), 0u) << "TRC_NO_FILE is dropped quietly";
    com_trc_line(5, "CPIC ", "stray");
    EXPECT_EQ(zt_assert_count(), 1u) << "a handle never handed out is a bug";
}

TEST_F(Trace, FileLockExcludesOtherThreadsAndCatchesNesting)
{
    trc_lock_file(&trc_api);
    trc_lock_file(&trc_api);
    EXPECT_NE(last_assert().find("already locked"), std::string::npos);
    std::atomic<bool> got{false};
    std::thread other([&] {
        trc_lock_file(&trc_api);
        got = true;
        trc_unlock_file(&trc_api);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(got);
    trc_unlock_file(&trc_api);
    other.join();
    EXPECT_TRUE(got);
    trc_unlock_file(&trc_api);
    EXPECT_EQ(zt_assert_count(), 2u);
}

} // namespace
