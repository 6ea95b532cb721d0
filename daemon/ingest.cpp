#include "ingest.h"

#include <opus.h>

#include <cmath>

#include "session_table.h"

namespace vocari {

namespace {

constexpr int kStreamRate = 48000;
constexpr int kMaxFrames = 1024;
// A one-way delay outside [0, 500] ms is not believed.
constexpr double kMaxNetDelayMs = 500.0;
constexpr double kNetDelaySmoothing = 0.01;

bool headerValid(const protocol::AudioHeader& header, size_t payloadLength) {
    const bool pcm = header.codec == static_cast<uint8_t>(protocol::Codec::Pcm);
    const bool opus = header.codec == static_cast<uint8_t>(protocol::Codec::Opus);
    if ((!pcm && !opus) || header.frames < 1 || header.frames > kMaxFrames ||
        (header.channels != 1 && header.channels != 2)) {
        return false;
    }
    if (pcm) {
        return payloadLength == size_t{header.frames} * header.channels * 2;
    }
    return payloadLength >= 1 && payloadLength <= kMaxOpusPacket;
}

// Spreads n mono samples at the start of `block` over both channels, in place (from the end, so
// nothing is overwritten before it is read).
void monoToStereo(float* block, size_t n) {
    for (size_t i = n; i-- > 0;) {
        block[2 * i + 1] = block[i];
        block[2 * i] = block[i];
    }
}

// The session's decoder for `channels`, made (or remade for another channel count) on demand.
OpusDecoder* decoderFor(Session& session, int channels) {
    if (session.decoder != nullptr && session.decoderChannels != channels) {
        opus_decoder_destroy(session.decoder);
        session.decoder = nullptr;
        session.decoderChannels = 0;
    }
    if (session.decoder == nullptr) {
        int error = OPUS_OK;
        OpusDecoder* made = opus_decoder_create(kStreamRate, channels, &error);
        if (error != OPUS_OK || made == nullptr) {
            if (made != nullptr) {
                opus_decoder_destroy(made);
            }
            return nullptr;
        }
        session.decoder = made;
        session.decoderChannels = channels;
    }
    return session.decoder;
}

// Decoder output (n frames of the decoder's channels at the start of `block`) as stereo floats.
size_t stereoFloats(float* block, int decoded, int channels) {
    const auto n = static_cast<size_t>(decoded);
    if (channels == 1) {
        monoToStereo(block, n);
    }
    return 2 * n;
}

// Opus packet-loss concealment for the `missing` packets before this one, each as long as this
// one; written straight into the ring.
void conceal(Session& session, OpusDecoder* decoder, uint32_t missing, int frames, float* block) {
    for (uint32_t i = 0; i < missing; ++i) {
        const int n = opus_decode_float(decoder, nullptr, 0, block, frames, 0);
        if (n < 1) {
            return;
        }
        session.ring.write(block, stereoFloats(block, n, session.decoderChannels));
    }
}

void updateNetworkDelay(Session& session, int64_t senderTimeNs, int64_t arrivalNs) {
    if (!session.ptp.isFresh(arrivalNs)) {
        session.netDelayValid.store(false, std::memory_order_relaxed);
        return;
    }
    const int64_t offset = session.ptp.offsetAt(arrivalNs);
    // Wrapping arithmetic: the sender time is whatever the phone put there.
    const auto deltaNs =
        static_cast<int64_t>(static_cast<uint64_t>(arrivalNs) -
                             static_cast<uint64_t>(senderTimeNs) + static_cast<uint64_t>(offset));
    const double delayMs = static_cast<double>(deltaNs) / 1e6;
    if (!(delayMs >= 0.0 && delayMs <= kMaxNetDelayMs)) {
        session.netDelayValid.store(false, std::memory_order_relaxed);
        return;
    }
    const double smoothed =
        session.netDelayValid.load(std::memory_order_relaxed)
            ? (1.0 - kNetDelaySmoothing) * session.netDelayMs.load(std::memory_order_relaxed) +
                  kNetDelaySmoothing * delayMs
            : delayMs;
    session.netDelayMs.store(smoothed, std::memory_order_relaxed);
    session.netDelayValid.store(true, std::memory_order_relaxed);
}

}  // namespace

namespace ingest_detail {

void convertPcm(const uint8_t* samples, size_t frames, int channels, float* out) {
    constexpr float kScale = 1.0f / 32768.0f;
    const size_t count = frames * static_cast<size_t>(channels);
    for (size_t i = 0; i < count; ++i) {
        const auto sample = static_cast<int16_t>(samples[2 * i] | (samples[2 * i + 1] << 8));
        out[i] = static_cast<float>(sample) * kScale;
    }
    if (channels == 1) {
        monoToStereo(out, frames);
    }
}

}  // namespace ingest_detail

IngestResult ingestAudio(Session& session, const protocol::AudioHeader& header,
                         std::span<const uint8_t> payload, const Clock& clock) {
    if (!headerValid(header, payload.size())) {
        return IngestResult::Rejected;
    }
    // Sequence steps since the last packet ingested; wrap-around counts forward.
    const uint32_t gap = header.sequence - session.lastSeq;
    if (session.haveLastSeq && gap == 0) {
        return IngestResult::Duplicate;
    }
    if (session.haveLastSeq && gap >= ~uint32_t{0} - kLateWindow + 1) {
        return IngestResult::Late;
    }
    const bool opus = header.codec == static_cast<uint8_t>(protocol::Codec::Opus);

    float block[kIngestBlockFloats];
    size_t floats = 0;
    if (opus) {
        OpusDecoder* decoder = decoderFor(session, header.channels);
        if (decoder == nullptr) {
            return IngestResult::Rejected;
        }
        if (session.haveLastSeq && gap >= 2 && gap <= kMaxConcealedGap) {
            conceal(session, decoder, gap - 1, header.frames, block);
        }
        const int n = opus_decode_float(
            decoder, payload.data(), static_cast<opus_int32>(payload.size()), block, kMaxFrames, 0);
        if (n < 1) {
            return IngestResult::Rejected;
        }
        floats = stereoFloats(block, n, header.channels);
    } else {
        ingest_detail::convertPcm(payload.data(), header.frames, header.channels, block);
        floats = 2 * size_t{header.frames};
    }

    session.lastSeq = header.sequence;
    session.haveLastSeq = true;
    session.isOpus.store(opus, std::memory_order_relaxed);
    session.ring.write(block, floats);
    session.ring.trimBacklog();
    session.jitter->setPacketFrames(static_cast<uint32_t>(floats / 2));

    const int64_t arrival = clock.nowNs();
    session.clock.onPacket(header.sequence, header.frames, arrival);
    updateNetworkDelay(session, header.senderTimeNs, arrival);

    const ClockChoice choice = chooseClock(session.ptp, session.clock, clock.nowNs());
    session.jitter->setSenderRatio(choice.senderRatio, choice.senderRatioValid);

    session.packets.fetch_add(1, std::memory_order_relaxed);
    session.lastAudioNs.store(arrival, std::memory_order_relaxed);
    return IngestResult::Written;
}

}  // namespace vocari
