// STATE_MAP scans over the sector bitmap of a 1 GiB partition (2 M bits):
// counting set bits and walking the runs of set and clear bits, each next to
// a plain loop over the same words (std::popcount, std::countr_zero) as the
// peer measured in the same run.
#include "engine/core/statemap.h"

#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <map>
#include <random>

namespace {

constexpr std::uint32_t kBits = 2u * 1024 * 1024; // 1 GiB of 512-byte sectors

// A map of runs with random lengths averaging meanRun bits.
const STATE_MAP& runMap(std::uint32_t meanRun) {
    static std::map<std::uint32_t, STATE_MAP> maps;
    STATE_MAP& m = maps[meanRun];
    if (m.GetWords() == nullptr) {
        m.Create(kBits, false);
        std::mt19937 rng(meanRun);
        std::uniform_int_distribution<std::uint32_t> len(1, 2 * meanRun - 1);
        bool set = false;
        for (std::uint32_t i = 0; i < kBits;) {
            const std::uint32_t n = meanRun > 1 ? len(rng) : 1 + (rng() & 1);
            if (set)
                m.SetRange(i, n);
            set = !set;
            i += n;
        }
    }
    return m;
}

void BM_CountSet(benchmark::State& state) {
    const STATE_MAP& m = runMap(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(m.CountSet(0, kBits - 1, 0xFFFFFFFFu));
    state.SetBytesProcessed(state.iterations() * (kBits / 8));
}

void BM_CountSetPeerPopcount(benchmark::State& state) {
    const STATE_MAP& m = runMap(static_cast<std::uint32_t>(state.range(0)));
    const std::uint32_t* w = m.GetWords();
    for (auto _ : state) {
        std::uint64_t total = 0;
        for (std::uint32_t i = 0; i < kBits / 32; ++i)
            total += static_cast<std::uint32_t>(std::popcount(w[i]));
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * (kBits / 8));
}

void BM_FindRuns(benchmark::State& state) {
    const STATE_MAP& m = runMap(static_cast<std::uint32_t>(state.range(0)));
    for (auto _ : state) {
        std::uint32_t runs = 0;
        for (std::uint32_t i = m.FindNextSet(0); i != STATE_MAP_NONE;) {
            const std::uint32_t end = m.FindNextClear(i);
            ++runs;
            i = end == STATE_MAP_NONE ? end : m.FindNextSet(end);
        }
        benchmark::DoNotOptimize(runs);
    }
    state.SetBytesProcessed(state.iterations() * (kBits / 8));
}

// The peer: the same walk as a plain loop over the words, visiting every run
// boundary with std::countr_zero.
void BM_FindRunsPeerCtz(benchmark::State& state) {
    const STATE_MAP& m = runMap(static_cast<std::uint32_t>(state.range(0)));
    const std::uint32_t* w = m.GetWords();
    constexpr std::uint32_t words = kBits / 32;
    for (auto _ : state) {
        std::uint32_t boundaries = 0, last = 0;
        std::uint32_t carry = 0;
        for (std::uint32_t i = 0; i < words; ++i) {
            std::uint32_t edges = w[i] ^ ((w[i] << 1) | carry);
            carry = w[i] >> 31;
            while (edges != 0) {
                last = i * 32 + static_cast<std::uint32_t>(std::countr_zero(edges));
                ++boundaries;
                edges &= edges - 1;
            }
        }
        benchmark::DoNotOptimize(boundaries);
        benchmark::DoNotOptimize(last);
    }
    state.SetBytesProcessed(state.iterations() * (kBits / 8));
}

} // namespace

// Argument: the mean run length in bits (1: runs of one or two bits).
BENCHMARK(BM_CountSet)->Arg(1)->Arg(16)->Arg(256);
BENCHMARK(BM_CountSetPeerPopcount)->Arg(1)->Arg(16)->Arg(256);
BENCHMARK(BM_FindRuns)->Arg(1)->Arg(16)->Arg(256);
BENCHMARK(BM_FindRunsPeerCtz)->Arg(1)->Arg(16)->Arg(256);

BENCHMARK_MAIN();
