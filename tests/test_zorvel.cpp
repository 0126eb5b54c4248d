// SPDX-License-Identifier: Apache-2.0
// The node stand-in's own machinery the library tests stand on: the fault
// layer, memory accounting, the process lock and sleeping on wait objects.
// Everything else of the stand-in is exercised through the library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <poll.h>

#include "node/services.h"
#include "node/verb_entry.h"
#include "node/verb_records.h"
#include "zorvel/zorvel_control.h"

namespace {

using namespace std::chrono_literals;

class Zorvel : public ::testing::Test {
  protected:
    void SetUp() override { zt_reset(); }
    void TearDown() override {
        EXPECT_EQ(zt_live_blocks() + zt_live_bytes() + zt_live_tables() + zt_live_table_entries() +
                      zt_live_wait_objects() + zt_live_path_users(),
                  0u)
            << "every test gives back what it took";
        zt_reset();
    }
    static std::string last_assert() {
        const uint32_t n = zt_assert_count();
        return n ? zt_assert(n - 1)->expression : "";
    }
};

// ---- Fault layer -------------------------------------------------------------

// '+' for each use of a site that succeeded, '-' for each that failed.
std::string uses(uint32_t site, int n) {
    std::string got;
    for (int i = 0; i < n; ++i) {
        uint32_t table = 0;
        if (site == ZT_FAULT_TABLE_INIT) vtm_table_init(&table, 0);
        const bool ok = site == ZT_FAULT_MEM_ALLOC
                            ? nba_mm_alloc(8, NBA_MM_CONTROL_BLOCK, nba_blank_name, 0, 0) != nullptr
                        : site == ZT_FAULT_WAIT_OBJECT ? vpm_allocate_wait_object() != 0
                                                       : table != 0;
        got += ok ? '+' : '-';
    }
    return got;
}

TEST_F(Zorvel, FaultCountdownTransientAndPersistentOnEverySite) {
    for (uint32_t site : {ZT_FAULT_MEM_ALLOC, ZT_FAULT_WAIT_OBJECT, ZT_FAULT_TABLE_INIT}) {
        zt_reset();
        zt_fault(site, 3, 0);
        EXPECT_EQ(uses(site, 5), "++-++") << site;
        EXPECT_EQ(zt_fault_calls(site), 5u) << site;
        EXPECT_EQ(zt_fault_hits(site), 1u) << site;
        zt_fault(site, 2, 1);
        EXPECT_EQ(uses(site, 3), "+--") << site;
        EXPECT_EQ(zt_fault_hits(site), 2u) << site;
        zt_fault_clear();
        EXPECT_EQ(zt_fault_calls(site), 0u) << site;
        EXPECT_EQ(uses(site, 1), "+") << site;
    }
    // Reset frees whatever is left, so a sweep needs no cleanup of its own.
    zt_reset();
}

TEST_F(Zorvel, TableCapacityAndEntryFaults) {
    uint32_t t = 0;
    vtm_table_init(&t, 0);
    ASSERT_NE(t, 0u);
    zt_set_table_capacity(2);
    int x;
    const uint32_t a = vtm_get_free_entry(t, &x), b = vtm_get_free_entry(t, &x);
    EXPECT_EQ(vtm_get_free_entry(t, &x), 0u) << "full";
    vtm_release_entry(t, a);
    EXPECT_EQ(vtm_get_pointer(t, a), nullptr);
    zt_fault(ZT_FAULT_TABLE_FULL, 1, 1);
    EXPECT_EQ(vtm_get_free_entry(t, &x) + vtm_get_free_entry(t, &x), 0u) << "persistent";
    EXPECT_EQ(zt_fault_hits(ZT_FAULT_TABLE_FULL), 2u);
    zt_fault_clear();
    const uint32_t c = vtm_get_free_entry(t, &x);
    EXPECT_NE(c, 0u);
    EXPECT_NE(c, a) << "a stale handle must not find the new entry";
    vtm_release_entry(t, b);
    vtm_release_entry(t, c);
    vtm_table_terminate(&t);
    EXPECT_EQ(zt_assert_count(), 0u);
}

// ---- Memory accounting -------------------------------------------------------

TEST_F(Zorvel, MemoryAccountingAndBadFrees) {
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

// ---- Process lock --------------------------------------------------------------

TEST_F(Zorvel, LockTokensAndMisuseAreReported) {
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
    std::thread([] { vpm_unlock(vpm_lock()); }).join(); // the wrong token still released it
}

TEST_F(Zorvel, NestedLockIsReportedAndKeepsTheOuterLock) {
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

// ---- Wait objects and sleep -------------------------------------------------------

TEST_F(Zorvel, WakeupBeforeSleepIsKeptAndBoundedSleepsEnd) {
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
    const uint32_t again = vpm_allocate_wait_object();
    EXPECT_NE(again, w) << "a released handle is not handed out again at once";
    vpm_release_wait_object(again);
}

TEST_F(Zorvel, AnotherThreadWakesOrReleasesWhileTheSleeperHasLetTheLockGo) {
    const uint32_t w = vpm_allocate_wait_object();
    int shared = 0;
    std::atomic<bool> woken{false};
    const uint16_t t = vpm_lock();
    std::thread other([&] {
        std::this_thread::sleep_for(30ms);
        const uint16_t u = vpm_lock(); // only possible while the owner sleeps
        shared = 42;
        vpm_wakeup(w);
        vpm_unlock(u);
        // Once the owner is back from that sleep, the lock comes free only
        // when it sleeps again: the release lands in the second sleep.
        while (!woken) std::this_thread::sleep_for(1ms);
        const uint16_t v = vpm_lock();
        vpm_release_wait_object(w);
        vpm_unlock(v);
    });
    EXPECT_EQ(vpm_sleep(w, VPM_WAIT_FOREVER), 0);
    woken = true;
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

// ---- Completion delivery -------------------------------------------------------

uint32_t g_delivered = 0;
void on_complete(void *, uint32_t, uint32_t, uint32_t) {
    ++g_delivered;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// Scripts an in-progress answer deliverable at `delivery` and issues it.
uint16_t in_progress(VCB &record, uint32_t delivery) {
    ZT_ANSWER a{};
    a.flags = ZT_ANSWER_IN_PROGRESS;
    a.delivery = delivery;
    EXPECT_EQ(zt_queue_answer(AP_FLUSH, &a), 0);
    record = VCB{};
    record.hdr.opcode = AP_FLUSH;
    return appc_c_async_version(APPC_VERSION, &record, on_complete, 1);
}

TEST_F(Zorvel, EventDescriptorIsReadableExactlyWhileAPollCompletionWaits) {
    g_delivered = 0;
    VCB sleep_only, poll_too;
    const int fd = vpm_asm_event_fd();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(in_progress(sleep_only, ZT_DELIVER_ON_SLEEP), APPC_IN_PROGRESS);
    EXPECT_FALSE(readable(fd)) << "a completion only a sleep delivers is not polled for";
    ASSERT_EQ(in_progress(poll_too, ZT_DELIVER_ON_POLL), APPC_IN_PROGRESS);
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(vpm_asm_event_fd(), fd) << "delivers, and hands out the same descriptor";
    EXPECT_EQ(g_delivered, 1u);
    EXPECT_FALSE(readable(fd)) << "drained once delivered";
    EXPECT_EQ(zt_complete_pending(0), 1u);
}

} // namespace
