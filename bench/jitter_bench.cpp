// Cost of the jitter consumer's pull per output frame, against a memcpy of the same floats,
// and the signal quality of its linear interpolation. Results: bench/README.md.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "bench_support.h"
#include "jitter.h"

namespace vocari {
namespace {

constexpr double kRate = 48000.0;

using bench::noiseLikeAudio;
using bench::reportShareOfPeriod;

// pull() of one callback with a running stream: fractional step (phone 200 ppm fast), ring
// well filled. The ring is topped up with the clock stopped every few hundred kilobytes, so
// the figure is the reader's work alone.
void BM_Pull(benchmark::State& state) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    constexpr uint64_t kHeld = 120000;  // floats; room for many callbacks between top-ups
    SampleRing ring;
    JitterConsumer consumer(ring, kRate, 45.0);
    consumer.setAlignFloor(kHeld);
    consumer.setSenderRatio(1.0002, true);
    const std::vector<float> audio = noiseLikeAudio(kHeld);
    std::vector<float> out(2 * frames);
    const auto topUp = [&] {
        const uint64_t depth = ring.depth();
        if (depth < kHeld) {
            ring.write(audio.data(), static_cast<std::size_t>(kHeld - depth));
        }
    };
    topUp();
    consumer.pull(out.data(), frames);
    const uint64_t lowWater = 2 * frames + 2 * frames / 100 + 8;
    for (auto _ : state) {
        if (ring.depth() < lowWater) {
            state.PauseTiming();
            topUp();
            state.ResumeTiming();
        }
        consumer.pull(out.data(), frames);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (consumer.underruns() != 0) {
        state.SkipWithError("underrun during the benchmark");
    }
    reportShareOfPeriod(state, frames);
}
BENCHMARK(BM_Pull)->Arg(256)->Arg(4096);

// Baseline: copying the same number of floats (2 per frame) from one buffer to another.
void BM_MemcpyBaseline(benchmark::State& state) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    const std::vector<float> in = noiseLikeAudio(2 * frames);
    std::vector<float> out(2 * frames);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), 2 * frames * sizeof(float));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportShareOfPeriod(state, frames);
}
BENCHMARK(BM_MemcpyBaseline)->Arg(256)->Arg(4096);

// The writer's side for one 20 ms packet (960 frames): ring write and backlog check, with the
// reader draining so the ring never fills.
void BM_RingWritePacket(benchmark::State& state) {
    constexpr std::size_t kFrames = 960;
    SampleRing ring;
    const std::vector<float> packet = noiseLikeAudio(2 * kFrames);
    for (auto _ : state) {
        ring.write(packet.data(), packet.size());
        ring.trimBacklog();
        if (ring.depth() > 60000) {
            state.PauseTiming();
            ring.discardAll();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kFrames));
}
BENCHMARK(BM_RingWritePacket);

// Signal quality of the interpolation: a sine played through pull at a step of 1 + 200e-6,
// compared with the ideal resampled sine evaluated at the exact input position of every output
// frame (the positions follow from the step of each callback). SNR over 10 s of output.
void BM_InterpolationSnr(benchmark::State& state) {
    const double hz = static_cast<double>(state.range(0));
    const double radiansPerFrame = 2.0 * std::numbers::pi * hz / kRate;
    constexpr std::size_t kBlock = 480;
    constexpr std::size_t kBlocks = 1000;
    double snrDb = 0.0;
    double meanStep = 0.0;
    for (auto _ : state) {
        SampleRing ring;
        JitterConsumer consumer(ring, kRate, 45.0);
        consumer.setSenderRatio(1.0 + 200e-6, true);
        // A fixed 45 ms buffer, so the target never steps down during the run.
        consumer.requestPreset(static_cast<uint32_t>(BufferPreset::Fixed), 45);
        uint64_t written = 0;
        std::vector<float> packet;
        const auto fillTo = [&](uint64_t floats) {
            packet.clear();
            for (uint64_t depth = ring.depth(); depth < floats; depth += 2) {
                const auto sample = static_cast<float>(
                    0.5 * std::sin(radiansPerFrame * static_cast<double>(written)));
                packet.push_back(sample);
                packet.push_back(sample);
                ++written;
            }
            ring.write(packet.data(), packet.size());
        };
        std::vector<float> out(2 * kBlock);
        consumer.pull(out.data(), 0);
        // Held at the target, the trim stays at zero and the step is the sender ratio.
        fillTo(consumer.target() + 4);
        double position = 0.0;  // input frame of the next output frame
        double signal = 0.0;
        double noise = 0.0;
        double steps = 0.0;
        for (std::size_t block = 0; block < kBlocks; ++block) {
            fillTo(consumer.target());
            consumer.pull(out.data(), kBlock);
            const double step = consumer.step();
            steps += step;
            for (std::size_t i = 0; i < kBlock; ++i) {
                const double ideal = 0.5 * std::sin(radiansPerFrame * position);
                const double error = static_cast<double>(out[2 * i]) - ideal;
                signal += ideal * ideal;
                noise += error * error;
                position += step;
            }
        }
        if (consumer.underruns() != 0) {
            state.SkipWithError("underrun during the measurement");
        }
        snrDb = 10.0 * std::log10(signal / noise);
        meanStep = steps / kBlocks;
    }
    state.counters["snr_db"] = snrDb;
    state.counters["step_ppm"] = (meanStep - 1.0) * 1e6;
}
BENCHMARK(BM_InterpolationSnr)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vocari

BENCHMARK_MAIN();
