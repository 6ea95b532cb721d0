// Cost of the clock estimators' recomputations against the cadence they run at, with a sort of
// the same number of doubles as a same-run baseline.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "clocks.h"

namespace {

using vocari::ClockTracker;
using vocari::PtpClock;

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kStart = 1'000 * kSecond;
constexpr uint32_t kFrames = 480;
constexpr int kPacketsPerSecond = 100;

// Runs `iteration` for every benchmark iteration and reports how much of `cadenceSeconds` one
// iteration takes, in parts per million of wall time.
template <typename Iteration>
void runAgainstCadence(benchmark::State& state, const char* name, double cadenceSeconds,
                       Iteration iteration) {
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        iteration();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin;
    state.counters[name] =
        elapsed.count() / static_cast<double>(state.iterations()) / cadenceSeconds * 1e6;
}

// A 50 ppm fast phone with exponential network jitter, one 10 ms packet at a time.
class JitteryPhone {
  public:
    int64_t arrival(int64_t k) {
        const double local = static_cast<double>(k) * 10e6 / (1.0 + 50e-6);
        return kStart + static_cast<int64_t>(local) + static_cast<int64_t>(jitter_(rng_));
    }

  private:
    std::mt19937_64 rng_{1};
    std::exponential_distribution<double> jitter_{1.0 / 1.5e6};
};

// A tracker whose history is full: 120 points, so every closed second recomputes over 7140
// slopes. Each iteration delivers the packet that closes the next second.
void BM_TrackerRecompute120Points(benchmark::State& state) {
    ClockTracker tracker;
    JitteryPhone phone;
    int64_t k = 0;
    for (; k < 125 * kPacketsPerSecond; ++k) {
        tracker.onPacket(static_cast<uint32_t>(k), kFrames, phone.arrival(k));
    }
    runAgainstCadence(state, "ppm_of_1s", 1.0, [&] {
        k += kPacketsPerSecond;
        tracker.onPacket(static_cast<uint32_t>(k), kFrames, phone.arrival(k));
    });
    benchmark::DoNotOptimize(tracker.ratio());
}
BENCHMARK(BM_TrackerRecompute120Points);

// The other 99 packets of every second: only the bucket minimum is updated.
void BM_TrackerPacketWithinSecond(benchmark::State& state) {
    ClockTracker tracker;
    const int64_t now = kStart;
    tracker.onPacket(0, kFrames, now);
    uint32_t seq = 0;
    for (auto _ : state) {
        tracker.onPacket(++seq, kFrames, now + 1);
    }
    benchmark::DoNotOptimize(tracker.ratio());
}
BENCHMARK(BM_TrackerPacketWithinSecond);

// A time-sync clock with 480 samples at four a second; each iteration adds one and refits.
// Argument 0: realistic delays (2 ms plus exponential queueing, 10 % congested); the delay
// filter then keeps 72 to 168 samples. Argument 1: identical delays, so all 480 are kept.
void BM_PtpRecompute480Samples(benchmark::State& state) {
    const bool allKept = state.range(0) == 1;
    PtpClock clock;
    std::mt19937_64 rng(2);
    std::exponential_distribution<double> queueing(1.0 / 400e3);
    std::bernoulli_distribution congested(0.1);
    constexpr double kRate = 1.0 + 20e-6;
    int64_t i = 0;
    auto exchange = [&] {
        const int64_t t1 = kStart + i * kSecond / 4;
        int64_t out = 2'000'000;
        int64_t back = 2'000'000;
        if (!allKept) {
            out += static_cast<int64_t>(queueing(rng)) + (congested(rng) ? 40'000'000 : 0);
            back += static_cast<int64_t>(queueing(rng));
        }
        const auto t2 = static_cast<int64_t>(static_cast<double>(t1 + out) * kRate);
        clock.addSample(t1, t2, t2, t1 + out + back);
        ++i;
    };
    for (int n = 0; n < PtpClock::kSamples + 5; ++n) {
        exchange();
    }
    runAgainstCadence(state, "ppm_of_250ms", 0.25, exchange);
    benchmark::DoNotOptimize(clock.ratio());
}
BENCHMARK(BM_PtpRecompute480Samples)->Arg(0)->Arg(1);

// Baseline: copy and fully sort this many random doubles.
void BM_SortDoubles(benchmark::State& state) {
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<double> source(n);
    std::mt19937_64 rng(3);
    std::normal_distribution<double> values(0.0, 1e5);
    std::generate(source.begin(), source.end(), [&] { return values(rng); });
    std::vector<double> work(n);
    for (auto _ : state) {
        std::copy(source.begin(), source.end(), work.begin());
        std::sort(work.begin(), work.end());
        benchmark::DoNotOptimize(work.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SortDoubles)->Arg(480)->Arg(7140);

}  // namespace

BENCHMARK_MAIN();
