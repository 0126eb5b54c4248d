// SPDX-License-Identifier: Apache-2.0
// The cost of CPI-C calls over the bare process lock they are built around,
// measured in the same run (the ratios are the numbers to watch):
// - a vpm_lock/vpm_unlock pair, the baseline;
// - Set_Send_Type on an existing conversation: the frame, the lookup, the
//   checks and the store, no verb, trace off;
// - a blocking Flush against the scripted node: the frame plus one verb.
#include <benchmark/benchmark.h>

#include <cstring>

#include "vcpic/cpic_frame.h"
#include "zorvel/zorvel_control.h"

namespace {

void BM_LockUnlockBaseline(benchmark::State &state) {
    for (auto _ : state) {
        uint16_t token = vpm_lock();
        benchmark::DoNotOptimize(token);
        vpm_unlock(token);
    }
}
BENCHMARK(BM_LockUnlockBaseline);

// A conversation as Initialize and Allocate leave it, made through the
// internals so that only the call under test is measured.
bool make_conversation(unsigned char (&id)[8]) {
    zt_reset();
    cpic::ProcessLock lock;
    SCC_init();
    CCCB *c = nullptr;
    if (SCC_cccb_init(id, &c) == 0) return false;
    c->usInitialized = 1;
    c->ulConvId = 0x51;
    memcpy(c->TpId, "BENCHTP1", 8);
    return true;
}

void BM_SetSendType(benchmark::State &state) {
    unsigned char id[8];
    if (!make_conversation(id)) {
        state.SkipWithError("no conversation");
        return;
    }
    CM_SEND_TYPE send_type = CM_SEND_AND_FLUSH;
    CM_RETURN_CODE rc = 0;
    for (auto _ : state) {
        cmsst(id, &send_type, &rc);
        benchmark::DoNotOptimize(rc);
    }
    if (rc != CM_OK) state.SkipWithError("set send type failed");
    zt_reset();
}
BENCHMARK(BM_SetSendType);

void BM_BlockingFlush(benchmark::State &state) {
    unsigned char id[8];
    if (!make_conversation(id)) {
        state.SkipWithError("no conversation");
        return;
    }
    CM_RETURN_CODE rc = 0;
    for (auto _ : state) {
        cmflus(id, &rc);
        benchmark::DoNotOptimize(rc);
    }
    if (rc != CM_OK) state.SkipWithError("flush failed");
    zt_reset();
}
BENCHMARK(BM_BlockingFlush);

} // namespace

BENCHMARK_MAIN();
