// SPDX-License-Identifier: Apache-2.0
// Conversations between two threads of one process over the loopback
// engine, each against its baseline in the same run (compare the ratios):
// - a 100-byte round trip (Send_Data with SEND_AND_PREP_TO_RECEIVE, then
//   Receive, on each side) against a bare condition-variable ping-pong of
//   two threads copying the same 100 bytes each way;
// - 32767-byte records (the most one Send_Data takes) streamed one way
//   against memcpy of the same bytes. The sender confirms every 16 records
//   (512 KB), which bounds what the node holds, and once more at the end so
//   that the time covers the receiver's last byte.
// Wall-clock time, medians of repetitions: the two sides run on two threads.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "include/cpic.h"

namespace {

constexpr CM_INT32 kSmall = 100;
constexpr CM_INT32 kLarge = 32767;
constexpr int kConfirmEvery = 16;

void configure_node() {
    static bool done = false;
    if (done) return;
    done = true;
    char cwd[4096];
    std::string path =
        std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".") + "/bench_conversation_node.toml";
    std::ofstream(path) << "[[side_info]]\nsym_dest_name = \"BENCH\"\npartner_lu_name = \"LOCAL\"\n"
                           "tp_name = \"BENCHTP\"\nsecurity_type = \"none\"\n\n[[tp]]\nname = \"BENCHTP\"\n";
    setenv("ZORVEL_CONFIG", path.c_str(), 1);
    setenv("ZORVEL_ENGINE", "loopback", 0);
}

// One conversation: the benchmark thread allocates, a partner thread
// accepts and runs `serve` on its end until the conversation ends.
struct Conversation {
    unsigned char a[8] = {}, b[8] = {};
    std::thread partner;
    CM_RETURN_CODE accepted = -1;
    bool ok = false;

    template <class Serve>
    Conversation(CM_INT32 sync, CM_INT32 send_type, Serve serve) {
        configure_node();
        unsigned char tp[] = "BENCHTP", sdn[] = "BENCH   ";
        CM_INT32 len = 7;
        CM_RETURN_CODE rc = 0;
        cmsltp(tp, &len, &rc);
        if (rc != CM_OK) return;
        partner = std::thread([this, serve] {
            cmaccp(b, &accepted);
            if (accepted == CM_OK) serve(b);
        });
        cminit(a, sdn, &rc);
        if (rc == CM_OK) cmssl(a, &sync, &rc);
        if (rc == CM_OK) cmsst(a, &send_type, &rc);
        if (rc == CM_OK) cmallc(a, &rc);
        if (rc == CM_OK) cmflus(a, &rc);
        ok = rc == CM_OK;
    }
    // Ends the conversation from the allocating side and joins the partner
    // (left behind when there never was a conversation to end its wait).
    void end() {
        if (!ok) {
            if (partner.joinable()) partner.detach();
            return;
        }
        CM_RETURN_CODE rc = 0;
        CM_DEALLOCATE_TYPE flush = CM_DEALLOCATE_FLUSH;
        cmsdt(a, &flush, &rc);
        cmdeal(a, &rc);
        if (partner.joinable()) partner.join();
    }
};

void BM_ConversationRoundTrip100(benchmark::State &state) {
    Conversation c(CM_NONE, CM_SEND_AND_PREP_TO_RECEIVE, [](unsigned char *id) {
        unsigned char buf[kSmall];
        CM_INT32 want = kSmall, len = 0, dr = 0, st = 0, rts = 0, rc = 0, type = CM_SEND_AND_PREP_TO_RECEIVE;
        cmsst(id, &type, &rc);
        for (;;) {
            cmrcv(id, buf, &want, &dr, &len, &st, &rts, &rc);
            if (rc != CM_OK) return;
            CM_INT32 n = kSmall;
            cmsend(id, buf, &n, &rts, &rc);
            if (rc != CM_OK) return;
        }
    });
    if (!c.ok) {
        state.SkipWithError("no conversation (is the loopback engine there?)");
        c.end();
        return;
    }
    std::vector<unsigned char> out(kSmall, 'x'), in(kSmall);
    CM_INT32 want = kSmall, len = 0, dr = 0, st = 0, rts = 0, rc = 0;
    for (auto _ : state) {
        CM_INT32 n = kSmall;
        cmsend(c.a, out.data(), &n, &rts, &rc);
        cmrcv(c.a, in.data(), &want, &dr, &len, &st, &rts, &rc);
        if (rc != CM_OK || len != kSmall || st != CM_SEND_RECEIVED) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    c.end();
    state.SetBytesProcessed(state.iterations() * 2 * kSmall);
}

// The same two threads and bytes with nothing but a mutex, a condition
// variable and a turn flag between them.
void BM_CondVarPingPong100(benchmark::State &state) {
    std::mutex m;
    std::condition_variable cv;
    int turn = 0; // 0: main thread's, 1: partner's, 2: stop
    unsigned char wire[kSmall];
    std::thread partner([&] {
        unsigned char buf[kSmall];
        std::unique_lock<std::mutex> lk(m);
        for (;;) {
            cv.wait(lk, [&] { return turn != 0; });
            if (turn == 2) return;
            memcpy(buf, wire, kSmall);
            memcpy(wire, buf, kSmall);
            turn = 0;
            cv.notify_all();
        }
    });
    std::vector<unsigned char> out(kSmall, 'x'), in(kSmall);
    for (auto _ : state) {
        std::unique_lock<std::mutex> lk(m);
        memcpy(wire, out.data(), kSmall);
        turn = 1;
        cv.notify_all();
        cv.wait(lk, [&] { return turn == 0; });
        memcpy(in.data(), wire, kSmall);
    }
    {
        std::lock_guard<std::mutex> lk(m);
        turn = 2;
    }
    cv.notify_all();
    partner.join();
    state.SetBytesProcessed(state.iterations() * 2 * kSmall);
}

void BM_ConversationStream32K(benchmark::State &state) {
    Conversation c(CM_CONFIRM, CM_SEND_AND_FLUSH, [](unsigned char *id) {
        std::vector<unsigned char> buf(kLarge);
        CM_INT32 want = kLarge, len = 0, dr = 0, st = 0, rts = 0, rc = 0;
        for (;;) {
            cmrcv(id, buf.data(), &want, &dr, &len, &st, &rts, &rc);
            if (rc != CM_OK) return;
            if (st == CM_CONFIRM_RECEIVED) cmcfmd(id, &rc);
        }
    });
    if (!c.ok) {
        state.SkipWithError("no conversation (is the loopback engine there?)");
        c.end();
        return;
    }
    std::vector<unsigned char> out(kLarge, 'y');
    CM_INT32 rc = 0, rts = 0;
    int64_t sent = 0;
    for (auto _ : state) {
        CM_INT32 n = kLarge;
        cmsend(c.a, out.data(), &n, &rts, &rc);
        if (rc == CM_OK &&
            (++sent % kConfirmEvery == 0 || sent == static_cast<int64_t>(state.max_iterations)))
            cmcfm(c.a, &rts, &rc);
        if (rc != CM_OK) {
            state.SkipWithError("send failed");
            break;
        }
    }
    c.end();
    state.SetBytesProcessed(state.iterations() * kLarge);
}

void BM_Memcpy32K(benchmark::State &state) {
    std::vector<unsigned char> src(kLarge, 'y'), dst(kLarge);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), kLarge);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kLarge);
}

constexpr int kRepetitions = 9;
BENCHMARK(BM_CondVarPingPong100)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_ConversationRoundTrip100)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_Memcpy32K)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_ConversationStream32K)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
