// Cost of one render callback with eight phones on a 16-channel device, against a baseline of
// the bare data movement (clearing the device buffer and one copy per phone) and against the
// eight pulls alone. Results: bench/README.md.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "audio_out.h"
#include "bench_support.h"
#include "session_table.h"

namespace vocari {
namespace {

constexpr double kRate = 48000.0;
constexpr uint32_t kChannels = 16;
constexpr int kPhones = SessionTable::kSlots;
constexpr uint64_t kMaxFrames = 4096;
// Floats each ring is held at: room for many callbacks between top-ups.
constexpr uint64_t kHeld = 120000;

using bench::noiseLikeAudio;
using bench::reportShareOfPeriod;

// Eight Active phones on pairs 0 to 7, each playing a running stream (phone clock 200 ppm
// fast, so every output frame is a real interpolation) from a well-filled ring.
class EightPhones {
  public:
    EightPhones() : audio_(noiseLikeAudio(kHeld)) {
        for (int i = 0; i < kPhones; ++i) {
            Session* session = table.claim(i, kPhones, 0, 1);
            session->jitter->setAlignFloor(kHeld);
            session->jitter->setSenderRatio(1.0002, true);
        }
        topUp();
    }

    bool low(std::size_t frames) const {
        const uint64_t lowWater = 2 * frames + 2 * frames / 100 + 8;
        for (int i = 0; i < kPhones; ++i) {
            if (table.session(i).ring.depth() < lowWater) {
                return true;
            }
        }
        return false;
    }

    void topUp() {
        for (int i = 0; i < kPhones; ++i) {
            SampleRing& ring = table.session(i).ring;
            const uint64_t depth = ring.depth();
            if (depth < kHeld) {
                ring.write(audio_.data(), static_cast<std::size_t>(kHeld - depth));
            }
        }
    }

    uint32_t underruns() const {
        uint32_t total = 0;
        for (int i = 0; i < kPhones; ++i) {
            total += table.session(i).jitter->underruns();
        }
        return total;
    }

    SessionTable table{kRate, 45.0};

  private:
    std::vector<float> audio_;
};

// One whole callback: clock measurement (full timestamps, as the device gives them), slot
// release, eight pulls and their placement into the interleaved device buffer.
void BM_Render(benchmark::State& state) {
    const auto frames = static_cast<UInt32>(state.range(0));
    EightPhones phones;
    OutputRenderer renderer(&phones.table, kRate, kChannels, kMaxFrames);
    std::vector<float> device(static_cast<std::size_t>(kChannels) * frames);
    AudioBufferList list{
        1, {AudioBuffer{kChannels, static_cast<UInt32>(device.size() * 4), device.data()}}};
    AudioTimeStamp stamp{};
    stamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    stamp.mHostTime = 1'000'000'000;
    const auto periodNs = static_cast<uint64_t>(static_cast<double>(frames) / kRate * 1e9);
    renderer.render(&stamp, frames, &list);
    for (auto _ : state) {
        if (phones.low(frames)) {
            state.PauseTiming();
            phones.topUp();
            state.ResumeTiming();
        }
        stamp.mSampleTime += frames;
        stamp.mHostTime += periodNs;
        renderer.render(&stamp, frames, &list);
        benchmark::DoNotOptimize(device.data());
        benchmark::ClobberMemory();
    }
    if (phones.underruns() != 0) {
        state.SkipWithError("underrun during the benchmark");
    }
    reportShareOfPeriod(state, frames);
}
BENCHMARK(BM_Render)->Arg(256)->Arg(4096);

// The eight pulls alone, into one scratch buffer: what the callback adds on top is the
// difference.
void BM_EightPullsOnly(benchmark::State& state) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    EightPhones phones;
    std::vector<float> scratch(2 * frames);
    for (auto _ : state) {
        if (phones.low(frames)) {
            state.PauseTiming();
            phones.topUp();
            state.ResumeTiming();
        }
        for (int i = 0; i < kPhones; ++i) {
            phones.table.session(i).jitter->pull(scratch.data(), frames);
            benchmark::DoNotOptimize(scratch.data());
        }
        benchmark::ClobberMemory();
    }
    if (phones.underruns() != 0) {
        state.SkipWithError("underrun during the benchmark");
    }
    reportShareOfPeriod(state, frames);
}
BENCHMARK(BM_EightPullsOnly)->Arg(256)->Arg(4096);

// Baseline: the bare data movement of a callback, clearing the 16-channel device buffer and
// copying each phone's stereo frames once.
void BM_MemsetMemcpyBaseline(benchmark::State& state) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    std::vector<float> device(kChannels * frames);
    const std::vector<float> source = noiseLikeAudio(2 * frames * kPhones);
    std::vector<float> scratch(2 * frames);
    for (auto _ : state) {
        std::memset(device.data(), 0, device.size() * sizeof(float));
        for (int i = 0; i < kPhones; ++i) {
            std::memcpy(scratch.data(), source.data() + 2 * frames * static_cast<std::size_t>(i),
                        2 * frames * sizeof(float));
            benchmark::DoNotOptimize(scratch.data());
        }
        benchmark::DoNotOptimize(device.data());
        benchmark::ClobberMemory();
    }
    reportShareOfPeriod(state, frames);
}
BENCHMARK(BM_MemsetMemcpyBaseline)->Arg(256)->Arg(4096);

}  // namespace
}  // namespace vocari

BENCHMARK_MAIN();
