// SPDX-License-Identifier: Apache-2.0
// SCC_convert_string over the largest buffer a program may convert, against
// memcpy of the same bytes measured in the same run (the ratio is the
// number to watch, not the absolute time).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "vcpic/cpic_charsets.h"

namespace {

constexpr int kLength = 32767;

std::vector<unsigned char> text() {
    std::vector<unsigned char> v(kLength);
    for (int i = 0; i < kLength; ++i) v[i] = static_cast<unsigned char>(0x20 + i % 95);
    return v;
}

void BM_MemcpyBaseline(benchmark::State &state) {
    auto src = text();
    std::vector<unsigned char> dst(kLength);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), kLength);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kLength);
}
BENCHMARK(BM_MemcpyBaseline);

void BM_ConvertString(benchmark::State &state) {
    auto src = text();
    std::vector<unsigned char> dst(kLength);
    for (auto _ : state) {
        SCC_convert_string(CONVERT_ASCII_TO_EBCDIC, CHARSET_00640_EXTENDED, kLength, dst.data(), src.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kLength);
}
BENCHMARK(BM_ConvertString);

} // namespace

BENCHMARK_MAIN();
