#include "ingest.h"

#include <opus.h>

#include <algorithm>
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

namespace {

// The buffer is fed at least this long before the render would otherwise find it dry. A packet
// that overtook a missing one is most often just ahead of it (sent in the other order), and the
// missing one is waited for to that last moment. Once two or more are held, the missing one is
// at least two packets late and most likely lost: it is waited for only until the buffer is
// down to a share of its target. What is left is the reserve against this host's own hiccups
// (the receiving thread held up just when it must conceal and play what it holds), and a deeper
// target buys a deeper reserve; without it every loss drained even a safe buffer to its last
// 2 ms. Should the missing packet still come, it is played after its concealment where it can.
constexpr double kHeldMarginShareOfTarget = 0.25;
constexpr int64_t kLeastFeedMarginNs = 2'000'000;
// Until the render thread has pulled, a callback of this many frames is assumed.
constexpr uint32_t kAssumedPullFrames = 512;

// Moves the stream position to `sequence`, remembering whether it was played from a packet.
void advance(Session& session, uint32_t sequence, bool fromPacket) {
    const uint32_t step = session.haveLastSeq ? sequence - session.lastSeq : 64;
    session.playedMask = (step >= 64 ? 0 : session.playedMask << step) | (fromPacket ? 1 : 0);
    session.lastSeq = sequence;
    session.haveLastSeq = true;
}

// Plays one packet that came, `missing` packets after the last one played (concealed first for
// Opus), and takes its measurements. False when it cannot be decoded; any concealment stays.
bool play(Session& session, const protocol::AudioHeader& header, std::span<const uint8_t> payload,
          int64_t arrival, uint32_t missing, const Clock& clock) {
    const bool opus = header.codec == static_cast<uint8_t>(protocol::Codec::Opus);
    float block[kIngestBlockFloats];
    size_t floats = 0;
    if (opus) {
        OpusDecoder* decoder = decoderFor(session, header.channels);
        if (decoder == nullptr) {
            return false;
        }
        if (missing >= 1 && missing < kMaxConcealedGap) {
            conceal(session, decoder, missing, header.frames, block);
        }
        const int n = opus_decode_float(
            decoder, payload.data(), static_cast<opus_int32>(payload.size()), block, kMaxFrames, 0);
        if (n < 1) {
            return false;
        }
        floats = stereoFloats(block, n, header.channels);
    } else {
        ingest_detail::convertPcm(payload.data(), header.frames, header.channels, block);
        floats = 2 * size_t{header.frames};
    }

    advance(session, header.sequence, true);
    session.lastFrames = static_cast<uint16_t>(floats / 2);
    session.concealedInRow = 0;
    session.isOpus.store(opus, std::memory_order_relaxed);
    session.ring.write(block, floats);
    session.ring.trimBacklog();
    session.jitter->setPacketFrames(static_cast<uint32_t>(floats / 2));

    session.clock.onPacket(header.sequence, header.frames, arrival);
    updateNetworkDelay(session, header.senderTimeNs, arrival);

    const ClockChoice choice = chooseClock(session.ptp, session.clock, clock.nowNs());
    session.jitter->setSenderRatio(choice.senderRatio, choice.senderRatioValid);

    session.packets.fetch_add(1, std::memory_order_relaxed);
    session.lastAudioNs.store(arrival, std::memory_order_relaxed);
    return true;
}

// Plays the held packet that comes next, concealing what is still missing before it.
void playNextHeld(Session& session, const Clock& clock) {
    const PacketStash::Held* held = session.stash.next(session.lastSeq);
    const uint32_t missing = held->header.sequence - session.lastSeq - 1;
    if (!play(session, held->header, held->bytes(), held->arrivalNs, missing, clock)) {
        advance(session, held->header.sequence, false);
    }
    session.stash.release(held);
}

// Plays the held packets that follow on from the stream position without a gap.
void playFollowing(Session& session, const Clock& clock) {
    while (!session.stash.empty() &&
           session.stash.next(session.lastSeq)->header.sequence == session.lastSeq + 1) {
        playNextHeld(session, clock);
    }
}

IngestResult arrive(Session& session, const protocol::AudioHeader& header,
                    std::span<const uint8_t> payload, int64_t arrival, const Clock& clock,
                    bool mayHold) {
    if (!session.haveLastSeq) {
        return play(session, header, payload, arrival, 0, clock) ? IngestResult::Written
                                                                 : IngestResult::Rejected;
    }
    // Sequence steps since the stream position; wrap-around counts forward.
    const uint32_t gap = header.sequence - session.lastSeq;
    // It came after its place was concealed, and only concealment has been written since the
    // last packet played: the stream can still go on from it. Played now, after the
    // concealment, its audio is kept and the buffer is deeper by what was concealed from its
    // place on, as a longer wait would have made it (a delay spike costs one concealment, not
    // the packets caught in it). The buffer was still short: the target grows as for a late
    // packet.
    const uint32_t behind = session.lastSeq - header.sequence;
    if (behind < session.concealedInRow &&
        (behind + 1) * session.lastFrames <= kMaxLateMergeFrames) {
        const uint32_t lastSeq = session.lastSeq;
        const uint64_t playedMask = session.playedMask;
        session.playedMask >>= behind + 1;
        session.lastSeq = header.sequence - 1;
        if (!play(session, header, payload, arrival, 0, clock)) {
            session.lastSeq = lastSeq;
            session.playedMask = playedMask;
            return IngestResult::Rejected;
        }
        session.jitter->reportLatePacket();
        playFollowing(session, clock);
        return IngestResult::Written;
    }
    if (gap == 0 || session.stash.holds(header.sequence)) {
        return IngestResult::Duplicate;
    }
    if (gap >= ~uint32_t{0} - kLateWindow + 1) {
        const uint32_t back = session.lastSeq - header.sequence;
        if (back < 64 && ((session.playedMask >> back) & 1) != 0) {
            return IngestResult::Duplicate;
        }
        // Its place was concealed before it came: the buffer was too short to wait for it.
        session.jitter->reportLatePacket();
        return IngestResult::Late;
    }
    if (gap == 1) {
        if (!play(session, header, payload, arrival, 0, clock)) {
            return IngestResult::Rejected;
        }
        playFollowing(session, clock);
        return IngestResult::Written;
    }
    if (gap <= kMaxConcealedGap) {
        // It overtook gap - 1 packets: wait for them while the buffer can (feedOnTime).
        if (mayHold && session.jitter->playing() && session.stash.hold(header, payload, arrival)) {
            return IngestResult::Held;
        }
        if (!session.stash.empty()) {
            while (!session.stash.empty()) {
                playNextHeld(session, clock);
            }
            return arrive(session, header, payload, arrival, clock, false);
        }
        return play(session, header, payload, arrival, gap - 1, clock) ? IngestResult::Written
                                                                       : IngestResult::Rejected;
    }
    // Far ahead: a long loss or a phone that restarted its numbering. Nothing is concealed.
    while (!session.stash.empty()) {
        playNextHeld(session, clock);
    }
    return play(session, header, payload, arrival, 0, clock) ? IngestResult::Written
                                                             : IngestResult::Rejected;
}

}  // namespace

IngestResult ingestAudio(Session& session, const protocol::AudioHeader& header,
                         std::span<const uint8_t> payload, const Clock& clock) {
    if (!headerValid(header, payload.size())) {
        return IngestResult::Rejected;
    }
    return arrive(session, header, payload, clock.nowNs(), clock, true);
}

int64_t feedDeadline(const Session& session, int64_t now, int64_t lastRenderNs) {
    const JitterConsumer& jitter = *session.jitter;
    if (!session.haveLastSeq || !jitter.playing() ||
        (session.stash.empty() && session.concealedInRow >= kMaxConcealedGap)) {
        return 0;
    }
    const uint64_t pull = jitter.pullFrames() != 0 ? jitter.pullFrames() : kAssumedPullFrames;
    const uint64_t depthFrames = session.ring.depth() / 2;
    const double periodNs = static_cast<double>(pull) * 1e9 / jitter.sampleRate();
    int64_t deadline = 0;
    if (lastRenderNs != 0 && lastRenderNs <= now &&
        static_cast<double>(now - lastRenderNs) < 2.0 * periodNs) {
        // The render takes `pull` frames at each callback: the buffer serves the next
        // depth / pull callbacks whole, and the one after that must find more.
        const auto served = static_cast<double>(depthFrames / pull);
        deadline = lastRenderNs + static_cast<int64_t>((served + 1.0) * periodNs);
    } else {
        // No callback to go by: assume one may come at any moment.
        const double spare = static_cast<double>(depthFrames) - 2.0 * static_cast<double>(pull);
        deadline = now + static_cast<int64_t>(spare * 1e9 / jitter.sampleRate());
    }
    int64_t margin = kLeastFeedMarginNs;
    if (session.stash.size() >= 2) {
        const double targetMs = jitter.depthMs(static_cast<double>(jitter.effectiveTarget()));
        margin = std::max(margin, static_cast<int64_t>(kHeldMarginShareOfTarget * targetMs * 1e6));
    }
    return std::max(deadline - margin, now);
}

void feedOnTime(Session& session, const Clock& clock, int64_t lastRenderNs) {
    const int64_t deadline = feedDeadline(session, clock.nowNs(), lastRenderNs);
    if (deadline == 0 || clock.nowNs() < deadline) {
        return;
    }
    if (!session.stash.empty()) {
        playNextHeld(session, clock);
        playFollowing(session, clock);
        return;
    }
    // The next packet has not come: conceal it now rather than let the buffer run dry.
    float block[kIngestBlockFloats];
    const int frames = std::max<int>(session.lastFrames, 1);
    size_t floats = 2 * static_cast<size_t>(frames);
    if (session.isOpus.load(std::memory_order_relaxed) && session.decoder != nullptr) {
        const int n = opus_decode_float(session.decoder, nullptr, 0, block, frames, 0);
        floats = n < 1 ? 0 : stereoFloats(block, n, session.decoderChannels);
    } else {
        std::fill(block, block + floats, 0.0f);
    }
    session.ring.write(block, floats);
    advance(session, session.lastSeq + 1, false);
    ++session.concealedInRow;
}

}  // namespace vocari
