#pragma once

// Helpers shared by the benchmark programs.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vocari::bench {

inline constexpr double kStreamRate = 48000.0;

// Share of the callback period used, in percent: seconds of CPU per second of audio x 100.
inline void reportShareOfPeriod(benchmark::State& state, std::size_t frames) {
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(frames));
    state.counters["period_pct"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(frames) / kStreamRate / 100.0,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Samples in [-0.5, 0.5) from a fixed pseudo-random sequence: audio that no shortcut helps.
inline std::vector<float> noiseLikeAudio(std::size_t floats) {
    std::vector<float> audio(floats);
    uint32_t seed = 1;
    for (float& v : audio) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
    return audio;
}

}  // namespace vocari::bench
