// The cost of a CPI-C call over the bare process lock it is built around,
// measured in the same run: a blocking Flush against the scripted node (the
// whole frame plus one verb) against a vpm_lock/vpm_unlock pair.
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

void BM_BlockingFlush(benchmark::State &state) {
    zt_reset();
    unsigned char id[8];
    {
        cpic::ProcessLock lock;
        SCC_init();
        CCCB *c = nullptr;
        SCC_cccb_init(id, &c);
        c->ulConvId = 0x51;
        memcpy(c->TpId, "BENCHTP1", 8);
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

}  // namespace

BENCHMARK_MAIN();
