// The cost of taking one 20 ms Opus packet into a session, against decoding the same packet
// with libopus alone.

#include <opus.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "bench_support.h"
#include "clock.h"
#include "ingest.h"
#include "session_table.h"

namespace {

constexpr int kFrames = 960;
constexpr int kPackets = 250;  // 5 s of a phone's audio, decoded over and over

// 5 s of speech-like audio (a tone and noise), as a mono phone encodes it at 64 kbit/s.
std::vector<std::vector<uint8_t>> encodedPackets(int channels) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(48000, channels, OPUS_APPLICATION_VOIP, &error);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(64000));
    const auto noise = vocari::bench::noiseLikeAudio(static_cast<size_t>(kFrames * channels));
    std::vector<std::vector<uint8_t>> packets;
    std::vector<float> pcm(static_cast<size_t>(kFrames * channels));
    for (int p = 0; p < kPackets; ++p) {
        for (size_t i = 0; i < pcm.size(); ++i) {
            const double t = static_cast<double>(p * kFrames + static_cast<int>(i)) / 48000.0;
            pcm[i] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * 220.0 * t)) +
                     0.1f * noise[i];
        }
        std::vector<uint8_t> packet(4000);
        const int n = opus_encode_float(encoder, pcm.data(), kFrames, packet.data(), 4000);
        packet.resize(static_cast<size_t>(n));
        packets.push_back(std::move(packet));
    }
    opus_encoder_destroy(encoder);
    return packets;
}

void BM_BareOpusDecode(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const auto packets = encodedPackets(channels);
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, channels, &error);
    std::vector<float> out(2048);
    size_t next = 0;
    for (auto _ : state) {
        const auto& packet = packets[next];
        benchmark::DoNotOptimize(opus_decode_float(
            decoder, packet.data(), static_cast<opus_int32>(packet.size()), out.data(), 1024, 0));
        benchmark::ClobberMemory();
        // The same timer pause as the ingest's, so both carry its overhead.
        state.PauseTiming();
        state.ResumeTiming();
        next = (next + 1) % packets.size();
    }
    opus_decoder_destroy(decoder);
    state.SetItemsProcessed(state.iterations());
}

// The whole ingest: header checks, decode, stereo expansion, ring write and backlog check,
// clock tracker, network delay, sender ratio, counters. A render-side pull of the same length
// keeps the ring from filling, with the timer paused.
void BM_IngestOpus(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const auto packets = encodedPackets(channels);
    vocari::SessionTable table(48000.0, 45.0);
    vocari::Session& session = *table.claim(0, 8, 0, vocari::monotonicNowNs());
    std::vector<float> played(2 * kFrames);
    uint32_t sequence = 0;
    size_t next = 0;
    for (auto _ : state) {
        const auto& packet = packets[next];
        const vocari::protocol::AudioHeader header{sequence++, kFrames,
                                                   static_cast<uint8_t>(channels), 2, 0};
        benchmark::DoNotOptimize(
            vocari::ingestAudio(session, header, packet, vocari::systemClock()));
        state.PauseTiming();
        session.jitter->pull(played.data(), kFrames);
        state.ResumeTiming();
        next = (next + 1) % packets.size();
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_BareOpusDecode)->Arg(1)->Arg(2);
BENCHMARK(BM_IngestOpus)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
