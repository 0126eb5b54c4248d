// SPDX-License-Identifier: Apache-2.0
// The library under real threads: completions the node delivers from a
// thread of its own, Wait and Cancel sleeping while other threads end
// their conversations, and a stress of mixed calls. Run under
// ThreadSanitizer in CI.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace {

using namespace cpic_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Threads : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        zt_set_sleep_limit(5000);
    }

    CCCB *conversation(unsigned char (&id)[8], uint32_t node_id, const char *tp_id, bool non_blocking) {
        CCCB *c = new_conversation(id, node_id, tp_id);
        cpic::ProcessLock lock;
        c->usProcessingMode = non_blocking ? CM_NON_BLOCKING : CM_BLOCKING;
        return c;
    }
    static void make_current(const char *tp_id) {
        cpic::ProcessLock lock;
        memcpy(pGCB->CtxTpId, tp_id, 8);
    }
    static CM_RETURN_CODE flush(unsigned char *id) { return rc_of(CMFLUS, id); }
    static CM_RETURN_CODE terminate() {
        CM_END_TYPE type = CM_HARD;
        return rc_of(CMTERM, &type);
    }
    // Returns once `line` has been traced `times` times. The call that wrote
    // a request record holds the process lock until it sleeps, so whoever
    // takes the lock next finds it asleep. Tracing must be on.
    static void await_traced(const std::string &line, uint32_t times = 1) {
        const auto give_up = Clock::now() + 20s;
        for (;;) {
            uint32_t n = 0;
            for (uint32_t i = 0; i < zt_trace_line_count(); ++i) {
                const char *traced = zt_trace_line(i);
                n += traced != nullptr && line == traced;
            }
            if (n >= times) return;
            ASSERT_LT(Clock::now(), give_up) << "never traced: " << line;
            std::this_thread::sleep_for(1ms);
        }
    }
    static std::pair<uint32_t, uint32_t> counters() {
        cpic::ProcessLock lock;
        return {pGCB->NumVerbsOutstanding, pGCB->NumVerbsWaiting};
    }
};

// Two completions delivered together wake two sleeping Waits: each
// collects one result, neither stays asleep until the node's limit.
TEST_F(Threads, TwoWaitsTwoCompletionsBothReturn) {
    unsigned char a[8], b[8];
    conversation(a, 0x61, "TPIDWAIT", true);
    conversation(b, 0x62, "TPIDWAIT", true);
    queue(AP_FLUSH, later(0));
    queue(AP_FLUSH, later(kPrimaryConvFailureRetry));
    ASSERT_EQ(flush(a), CM_OPERATION_INCOMPLETE);
    ASSERT_EQ(flush(b), CM_OPERATION_INCOMPLETE);
    Waited w[2];
    set_trace(true); // before any thread reads it
    const auto start = Clock::now();
    std::thread first([&] { w[0] = wait(); }), second([&] { w[1] = wait(); });
    await_traced("CPIC CMWAIT request", 2);
    std::thread node([] { zt_complete_pending(0); });
    node.join();
    first.join();
    second.join();
    set_trace(false);
    EXPECT_LT(Clock::now() - start, 4s) << "woken, not ended by the node's limit";
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u);
    if (w[0].id == bytes(b, 8)) std::swap(w[0], w[1]); // either may collect either result
    EXPECT_EQ(w[0], (Waited{CM_OK, bytes(a, 8), CM_OK}));
    EXPECT_EQ(w[1], (Waited{CM_OK, bytes(b, 8), CM_RESOURCE_FAILURE_RETRY}));
    EXPECT_EQ(counters(), std::make_pair(0u, 0u));
}

// Terminate drops a conversation while other threads sleep on it: a Wait
// for its operation, a Cancel of it, or both. Each returns with the
// conversation-ending code, nothing is freed under it (ASan and TSan
// watch), and no count is left raised.
TEST_F(Threads, TerminateWakesEveryCallSleepingOnItsConversations) {
    for (const auto &[waiting, cancelling] :
         {std::pair{true, false}, std::pair{false, true}, std::pair{true, true}}) {
        SCOPED_TRACE(std::to_string(waiting) + std::to_string(cancelling));
        unsigned char id[8], other[8];
        conversation(id, 0x71, "TPIDTERM", true);
        conversation(other, 0x72, "TPIDKEEP", false);
        make_current("TPIDTERM");
        Waited waited;
        CM_RETURN_CODE cancelled = -1;
        std::vector<std::thread> sleepers;
        set_trace(true);
        if (waiting) {
            queue(AP_FLUSH, later(0));
            ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE);
            sleepers.emplace_back([&] { waited = wait(); });
            await_traced("CPIC CMWAIT request");
        }
        if (cancelling) {
            queue(AP_CANCEL, later(0)); // never answered: the instance takes it
            sleepers.emplace_back([&] { cancelled = cancel(id); });
            await_traced("CPIC CMCANC request");
        }
        const auto start = Clock::now();
        EXPECT_EQ(terminate(), CM_OK);
        for (std::thread &t : sleepers) t.join();
        set_trace(false);
        EXPECT_LT(Clock::now() - start, 4s) << "woken, not ended by the node's limit";
        EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u);
        // A call that was not made leaves its result untouched.
        EXPECT_EQ(waited, (waiting ? Waited{CM_OK, bytes(id, 8), CM_DEALLOCATED_ABEND} : Waited{}));
        EXPECT_EQ(cancelled, cancelling ? CM_DEALLOCATED_ABEND : -1);
        EXPECT_EQ(find(id), nullptr);
        EXPECT_NE(find(other), nullptr) << "another instance's conversation stays";
        EXPECT_EQ(counters(), std::make_pair(0u, 0u));
        EXPECT_EQ(check().first, CM_PROGRAM_STATE_CHECK) << "nothing outstanding: not 28";
        EXPECT_EQ(wait().rc, CM_PROGRAM_STATE_CHECK);
        EXPECT_EQ(zt_assert_count(), 0u);
        TearDown();
        SetUp();
    }
}

// Test_Request_To_Send answers within its call and must leave the result
// waiting for Wait as the node's thread delivered it.
TEST_F(Threads, TestRequestToSendLeavesAWaitingResultAlone) {
    unsigned char id[8];
    conversation(id, 0x81, "TPIDTRTS", true);
    queue(AP_FLUSH, later(kPrimaryConvFailureRetry));
    ASSERT_EQ(flush(id), CM_OPERATION_INCOMPLETE);
    std::thread([] { zt_complete_pending(0); }).join();
    CM_REQUEST_TO_SEND_RECEIVED rts = 9;
    EXPECT_EQ(rc_of(CMTRTS, id, &rts), CM_OK);
    EXPECT_EQ(rts, CM_REQ_TO_SEND_RECEIVED);
    EXPECT_EQ(wait(), (Waited{CM_OK, bytes(id, 8), CM_RESOURCE_FAILURE_RETRY}))
        << "the flush's result, not the test's";
}

// A path failure delivered by another thread frees every block the
// conversations own, held log data copies included.
TEST_F(Threads, PathFailureFreesTheLogDataOfDroppedConversations) {
    unsigned char id[8];
    CCCB *c = conversation(id, 0x91, "TPIDLOGS", true);
    c->ulConversationType = CM_BASIC_CONVERSATION;
    unsigned char log[6] = {'F', 'A', 'I', 'L', 'E', 'D'};
    CM_INT32 length = sizeof log;
    ASSERT_EQ(rc_of(CMSLD, id, log, &length), CM_OK);
    ASSERT_EQ(rc_set(CMSST, id, CM_SEND_AND_DEALLOCATE), CM_OK);
    ASSERT_EQ(rc_set(CMSDT, id, CM_DEALLOCATE_ABEND), CM_OK);
    queue(AP_SEND_DATA, later(0));
    CM_REQUEST_TO_SEND_RECEIVED rts = 0;
    ASSERT_EQ(rc_of(CMSEND, id, log, &length, &rts), CM_OPERATION_INCOMPLETE);
    ASSERT_NE(c->DeallcLogData, nullptr) << "the copy the chained deallocate would carry";
    std::thread([] { zt_fail_path(); }).join();
    EXPECT_EQ(zt_live_blocks(), 0u) << "log data and its held copy went with the conversation";
}

// A Cancel whose sleep fails leaves its record and wait object to the
// node, which lets go of them by calling back late or by dropping the verb
// (path failure, Terminate, the instance ending with the conversation's
// release): either way both are freed once, and nothing of the returned
// call is touched.
TEST_F(Threads, CancelRecordOutlivesAFailedSleep) {
    enum Then { kCallsBack, kPathFails, kTerminates, kInstanceEndsWithIt };
    for (Then then : {kCallsBack, kPathFails, kTerminates, kInstanceEndsWithIt}) {
        SCOPED_TRACE(then);
        zt_reset();
        zt_set_sleep_limit(100);
        unsigned char id[8];
        conversation(id, 0xA1, "TPIDCANC", false);
        if (then != kInstanceEndsWithIt) make_current("TPIDCANC"); // else its release ends it
        queue(AP_CANCEL, later(0x0200));
        EXPECT_EQ(cancel(id), CM_PRODUCT_SPECIFIC_ERROR) << "the node never answered";
        EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 1u);
        EXPECT_EQ(find(id), nullptr) << "over all the same";
        EXPECT_EQ(zt_live_wait_objects(), then == kInstanceEndsWithIt ? 1u : 2u) << "the node's to let go";
        std::thread([then] {
            switch (then) {
            case kCallsBack: EXPECT_EQ(zt_complete_pending(0), 1u); break;
            case kPathFails: zt_fail_path(); break;
            case kTerminates: EXPECT_EQ(terminate(), CM_OK); break;
            case kInstanceEndsWithIt: break; // the release has ended it already
            }
        }).join();
        EXPECT_EQ(zt_pending_count(), 0u);
        EXPECT_EQ(zt_live_wait_objects(), then == kPathFails ? 0u : 1u) << "the process's alone";
        zt_fail_path();
        EXPECT_EQ(zt_live_blocks(), 0u);
        EXPECT_EQ(zt_assert_count(), 0u);
    }
}

// Eight threads, a thousand calls each, on conversations of their own and
// two shared ones, blocking and non-blocking, while the node completes
// verbs from a thread of its own. Every operation is counted in and out.
TEST_F(Threads, StressOfMixedCallsKeepsEveryCountStraight) {
    constexpr int kThreads = 8, kCalls = 1000;
    ZT_ANSWER sticky = later(0, ZT_DELIVER_MANUAL, ZT_ANSWER_STICKY);
    queue(AP_FLUSH, sticky);
    unsigned char own[kThreads][8], shared[2][8];
    for (int t = 0; t < kThreads; ++t) conversation(own[t], 0x100 + t, "TPIDSTRS", t % 2 == 0);
    for (int s = 0; s < 2; ++s) conversation(shared[s], 0x200 + s, "TPIDSTRS", true);

    std::atomic<bool> done{false};
    std::atomic<int> incomplete{0}, collected{0}, unexpected{0};
    std::thread node([&] {
        while (!done) {
            zt_complete_pending(0);
            std::this_thread::yield();
        }
    });
    auto expect_in = [&](CM_RETURN_CODE rc, std::initializer_list<CM_RETURN_CODE> allowed) {
        unexpected += std::find(allowed.begin(), allowed.end(), rc) == allowed.end();
    };
    auto worker = [&](int t) {
        for (int i = 0; i < kCalls; ++i) {
            unsigned char *mine = own[t], *common = shared[i % 2];
            CM_RETURN_CODE rc = -1;
            switch ((i + t) % 5) {
            case 0:
            case 1:
                rc = flush(i % 3 == 0 ? common : mine);
                incomplete += rc == CM_OPERATION_INCOMPLETE;
                expect_in(rc, {CM_OK, CM_OPERATION_INCOMPLETE, CM_OPERATION_NOT_ACCEPTED});
                break;
            case 2: {
                const Waited w = wait();
                collected += w.rc == CM_OK;
                expect_in(w.rc, {CM_OK, CM_PROGRAM_STATE_CHECK});
                if (w.rc == CM_OK) expect_in(w.conversation_rc, {CM_OK});
                break;
            }
            case 3: expect_in(check().first, {CM_OK, CM_PROGRAM_STATE_CHECK, CM_UNSUCCESSFUL}); break;
            case 4: {
                CM_PROCESSING_MODE mode = (i / 5) % 2 == 0 ? CM_NON_BLOCKING : CM_BLOCKING;
                CMSPM(mine, &mode, &rc);
                expect_in(rc, {CM_OK, CM_OPERATION_NOT_ACCEPTED});
                break;
            }
            }
        }
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) workers.emplace_back(worker, t);
    for (std::thread &w : workers) w.join();
    done = true;
    node.join();
    zt_complete_pending(0);
    for (Waited w = wait(); w.rc == CM_OK; w = wait()) ++collected;

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(collected.load(), 0);
    EXPECT_LE(collected.load(), incomplete.load()) << "a result is collected once at most";
    EXPECT_EQ(counters(), std::make_pair(0u, 0u));
    for (auto *id : {own[0], own[1], own[2], own[3], own[4], own[5], own[6], own[7], shared[0], shared[1]}) {
        const CCCB *c = find(id);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->usVerbsOutstanding + c->usCompletionWaiting, 0);
    }
    EXPECT_EQ(zt_assert_count(), 0u);
    EXPECT_EQ(problems_of(ZT_PROBLEM_SLEEP_LIMIT), 0u);
}

} // namespace
