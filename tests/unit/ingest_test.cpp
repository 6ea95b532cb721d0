#include "ingest.h"

#include <opus.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "allocation_counter.h"
#include "manual_clock.h"
#include "session_table.h"

namespace vocari {
namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kMs = 1'000'000;
constexpr uint8_t kPcm = 0;
constexpr uint8_t kOpus = 2;

protocol::AudioHeader header(uint32_t sequence, uint16_t frames, uint8_t channels, uint8_t codec,
                             int64_t senderTimeNs = 0) {
    return {sequence, frames, channels, codec, senderTimeNs};
}

std::vector<uint8_t> pcm(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes;
    for (int16_t s : samples) {
        bytes.push_back(static_cast<uint8_t>(s & 0xFF));
        bytes.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    }
    return bytes;
}

// Opus packets of a 440 Hz tone, as a phone encodes them.
class OpusPhone {
  public:
    OpusPhone(int channels, int frames) : channels_(channels), frames_(frames) {
        int error = 0;
        encoder_ = opus_encoder_create(48000, channels, OPUS_APPLICATION_AUDIO, &error);
    }
    ~OpusPhone() { opus_encoder_destroy(encoder_); }
    OpusPhone(const OpusPhone&) = delete;
    OpusPhone& operator=(const OpusPhone&) = delete;

    std::vector<uint8_t> next() {
        std::vector<float> pcm(static_cast<size_t>(frames_ * channels_));
        for (int i = 0; i < frames_; ++i, ++sample_) {
            const auto v =
                static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * 440.0 *
                                                  static_cast<double>(sample_) / 48000.0));
            for (int c = 0; c < channels_; ++c) {
                pcm[static_cast<size_t>(i * channels_ + c)] = c == 0 ? v : -v;
            }
        }
        std::vector<uint8_t> packet(4000);
        const int n = opus_encode_float(encoder_, pcm.data(), frames_, packet.data(), 4000);
        packet.resize(static_cast<size_t>(std::max(n, 0)));
        return packet;
    }

  private:
    OpusEncoder* encoder_ = nullptr;
    int channels_;
    int frames_;
    long sample_ = 0;
};

class Ingest : public ::testing::Test {
  protected:
    test::ManualClock clock{100 * kSecond};
    SessionTable table{48000.0, 45.0};
    Session& session = *table.claim(0, 8, 0, clock.nowNs());

    IngestResult ingest(const protocol::AudioHeader& h, const std::vector<uint8_t>& payload) {
        clock.advance(10 * kMs);
        return ingestAudio(session, h, payload, clock);
    }
    // The ring's contents, oldest first.
    std::vector<float> drain() {
        std::vector<float> floats;
        double frame[2];
        while (session.ring.takeFrame(frame)) {
            floats.push_back(static_cast<float>(frame[0]));
            floats.push_back(static_cast<float>(frame[1]));
        }
        return floats;
    }
};

TEST_F(Ingest, PcmIsScaledMonoIsSpreadAndTheLengthMustBeExact) {
    std::vector<int16_t> mono(480, 1000);
    mono[0] = static_cast<int16_t>(0x8000);
    mono[1] = 0x7FFF;
    ASSERT_EQ(ingest(header(1, 480, 1, kPcm), pcm(mono)), IngestResult::Written);
    const auto floats = drain();
    ASSERT_EQ(floats.size(), 960u);
    EXPECT_EQ(floats[0], -1.0f);
    EXPECT_EQ(floats[1], -1.0f);
    EXPECT_EQ(floats[2], 32767.0f / 32768.0f);
    EXPECT_EQ(floats[3], 32767.0f / 32768.0f);
    EXPECT_EQ(floats[958], 1000.0f / 32768.0f);

    ASSERT_EQ(ingest(header(2, 2, 2, kPcm), pcm({100, -200, 300, -400})), IngestResult::Written);
    EXPECT_EQ(drain(), (std::vector<float>{100 / 32768.0f, -200 / 32768.0f, 300 / 32768.0f,
                                           -400 / 32768.0f}));
    EXPECT_EQ(session.packets.load(), 2u);
    const int64_t alive = session.lastAudioNs.load();
    EXPECT_EQ(alive, clock.nowNs());

    // Everything below leaves the session as it was.
    auto stereo = pcm(std::vector<int16_t>(960, 1));
    stereo.pop_back();  // 1919 bytes for 480 stereo frames
    EXPECT_EQ(ingest(header(3, 480, 2, kPcm), stereo), IngestResult::Rejected);
    EXPECT_EQ(ingest(header(3, 0, 1, kPcm), {}), IngestResult::Rejected);
    EXPECT_EQ(ingest(header(3, 1025, 1, kPcm), pcm(std::vector<int16_t>(1025))),
              IngestResult::Rejected);
    EXPECT_EQ(ingest(header(3, 1, 3, kPcm), pcm({1, 2, 3})), IngestResult::Rejected);
    EXPECT_EQ(ingest(header(3, 1, 1, 1), pcm({1})), IngestResult::Rejected);
    EXPECT_EQ(ingest(header(3, 480, 1, kOpus), {}), IngestResult::Rejected);
    EXPECT_EQ(ingest(header(3, 480, 1, kOpus), std::vector<uint8_t>(4001, 1)),
              IngestResult::Rejected);
    EXPECT_EQ(session.packets.load(), 2u);
    EXPECT_EQ(session.lastAudioNs.load(), alive);
    EXPECT_EQ(session.lastSeq, 2u);
    EXPECT_EQ(session.ring.depth(), 0u);
}

// Concealed packets show as extra audio in the ring: one 20 ms packet is 1920 floats.
TEST_F(Ingest, OpusConcealsShortGapsForwardAndIgnoresDuplicatesAndLatePackets) {
    OpusPhone phone(1, 960);
    struct Step {
        uint32_t sequence;
        IngestResult result;
        uint64_t packetsInRing;  // decoded plus concealed since the previous step
    };
    const Step steps[] = {
        {10, IngestResult::Written, 1},          // first packet
        {11, IngestResult::Written, 1},          // the normal gap of 1
        {14, IngestResult::Written, 3},          // two missing: concealed before 14
        {14, IngestResult::Duplicate, 0},        // written once only
        {12, IngestResult::Late, 0},             // behind 14: dropped, lastSeq stays
        {15, IngestResult::Written, 1},          // so nothing is concealed here
        {25, IngestResult::Written, 1},          // a gap of 10 is too long to conceal
        {0xFFFFFFD8, IngestResult::Written, 1},  // 65 behind: the phone restarted its numbering
        {0xFFFFFFFF, IngestResult::Written, 1},
        {1, IngestResult::Written, 2},  // across the wrap: a gap of 2
    };
    for (const Step& step : steps) {
        const uint64_t before = session.ring.writeIndex();
        const uint64_t packetsBefore = session.packets.load();
        EXPECT_EQ(ingest(header(step.sequence, 960, 1, kOpus), phone.next()), step.result)
            << step.sequence;
        EXPECT_EQ(session.ring.writeIndex() - before, step.packetsInRing * 1920) << step.sequence;
        EXPECT_EQ(session.packets.load() - packetsBefore,
                  step.result == IngestResult::Written ? 1u : 0u);
        drain();
    }
    EXPECT_EQ(session.lastSeq, 1u);
    EXPECT_TRUE(session.isOpus.load());
}

// While audio plays, a packet that overtook a missing one waits for it, so the network's
// reordering costs nothing; when the buffer can wait no longer the missing packet is concealed,
// and the same happens to a packet that never comes. Late arrivals then grow the target.
TEST_F(Ingest, PacketsAreDecodedInOrderWhileTheBufferCanWaitAndConcealedWhenItCannot) {
    OpusPhone phone(1, 960);
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < 16; ++i) {
        packets.push_back(phone.next());
    }
    int error = 0;
    OpusDecoder* reference = opus_decoder_create(48000, 1, &error);
    std::vector<float> expected;
    const auto decodeInOrder = [&](int from, int to) {
        std::vector<float> mono(960);
        for (int i = from; i <= to; ++i) {
            const auto& p = packets[static_cast<size_t>(i)];
            ASSERT_EQ(opus_decode_float(reference, p.data(), static_cast<opus_int32>(p.size()),
                                        mono.data(), 960, 0),
                      960);
            for (float v : mono) {
                expected.insert(expected.end(), {v, v});
            }
        }
    };
    for (uint32_t seq = 0; seq < 3; ++seq) {
        ASSERT_EQ(ingest(header(seq, 960, 1, kOpus), packets[seq]), IngestResult::Written);
    }
    std::vector<float> out(2 * 256);
    session.jitter->pull(out.data(), 256);
    ASSERT_TRUE(session.jitter->playing());
    drain();
    decodeInOrder(0, 2);

    EXPECT_EQ(ingest(header(4, 960, 1, kOpus), packets[4]), IngestResult::Held);
    EXPECT_EQ(ingest(header(4, 960, 1, kOpus), packets[4]), IngestResult::Duplicate);
    EXPECT_EQ(ingest(header(3, 960, 1, kOpus), packets[3]), IngestResult::Written);
    decodeInOrder(3, 4);
    const auto inOrder = drain();
    ASSERT_EQ(inOrder.size(), 2u * 1920);
    EXPECT_TRUE(std::equal(inOrder.begin(), inOrder.end(), expected.end() - 3840));
    EXPECT_EQ(ingest(header(3, 960, 1, kOpus), packets[3]), IngestResult::Duplicate);

    // 6 overtakes 5, which does not come before the buffer would run dry: 5 is concealed.
    const uint64_t target = session.jitter->target();
    const std::vector<float> buffered(4800, 0.0f);  // 50 ms still to play
    session.ring.write(buffered.data(), buffered.size());
    EXPECT_EQ(ingest(header(6, 960, 1, kOpus), packets[6]), IngestResult::Held);
    // A callback of 256 frames just ran: the 2400 frames serve nine more callbacks whole, so
    // the tenth after this one must find more, less a 2 ms margin.
    const auto deadlineMs = [&](int64_t rendered) {
        return static_cast<double>(feedDeadline(session, clock.nowNs(), rendered) - clock.nowNs()) /
               kMs;
    };
    const int64_t rendered = clock.nowNs();
    EXPECT_NEAR(deadlineMs(rendered), 10 * 256 / 48.0 - 2, 0.01);
    feedOnTime(session, clock, rendered);
    EXPECT_EQ(session.ring.depth(), 4800u);  // not yet
    session.ring.dropOldest(256);  // the render played all but 128 frames: the next one is short
    feedOnTime(session, clock, clock.nowNs() - 4 * kMs);
    EXPECT_EQ(session.ring.depth(), 256u + 2 * 1920);  // 5 concealed, 6 decoded
    EXPECT_EQ(session.lastSeq, 6u);
    EXPECT_EQ(ingest(header(5, 960, 1, kOpus), packets[5]), IngestResult::Late);
    session.jitter->pull(out.data(), 256);
    EXPECT_EQ(session.jitter->target(), target + 2400);  // one step up, as for an underrun

    // Nothing comes any more: a packet is concealed whenever the buffer is about to run dry,
    // eight at most.
    const uint64_t counted = session.packets.load();
    const uint64_t written = session.ring.writeIndex();
    for (int i = 0; i < 10; ++i) {
        session.ring.discardAll();
        feedOnTime(session, clock, clock.nowNs() - 4 * kMs);
    }
    EXPECT_EQ(session.ring.writeIndex() - written, 8u * 1920);
    EXPECT_EQ(session.lastSeq, 14u);
    EXPECT_EQ(feedDeadline(session, clock.nowNs(), clock.nowNs()), 0);
    EXPECT_EQ(session.packets.load(), counted);  // concealment is not audio from the phone

    // 13 and 14 come at last, nothing having been played since 6: the stream goes on from them,
    // after the concealment, instead of losing them (7 to 12 stay concealed). 14 is one behind
    // the stream position too, but its place is now 13's successor.
    EXPECT_EQ(ingest(header(13, 960, 1, kOpus), packets[13]), IngestResult::Written);
    EXPECT_EQ(session.lastSeq, 13u);
    EXPECT_EQ(ingest(header(13, 960, 1, kOpus), packets[13]), IngestResult::Duplicate);
    EXPECT_EQ(ingest(header(14, 960, 1, kOpus), packets[14]), IngestResult::Written);
    EXPECT_EQ(ingest(header(12, 960, 1, kOpus), packets[12]), IngestResult::Late);
    EXPECT_EQ(session.ring.writeIndex() - written, 10u * 1920);
    EXPECT_EQ(session.packets.load(), counted + 2);
    EXPECT_NE(feedDeadline(session, clock.nowNs(), clock.nowNs()), 0);

    // A late packet is played after its concealment only while that adds at most 60 ms: with 15
    // to 18 concealed, 15 would add 80 ms.
    for (int i = 0; i < 4; ++i) {
        session.ring.discardAll();
        feedOnTime(session, clock, clock.nowNs() - 4 * kMs);
    }
    EXPECT_EQ(session.lastSeq, 18u);
    EXPECT_EQ(ingest(header(15, 960, 1, kOpus), packets[15]), IngestResult::Late);
    EXPECT_EQ(session.lastSeq, 18u);

    // Once two packets are held the missing one is most likely lost: it is waited for only until
    // a quarter of the target (45 ms, 25 up for the late packet: 70 ms) is left, the reserve for
    // playing what is held.
    session.ring.discardAll();
    session.ring.write(buffered.data(), buffered.size());
    EXPECT_EQ(ingest(header(20, 960, 1, kOpus), packets[0]), IngestResult::Held);
    EXPECT_NEAR(deadlineMs(clock.nowNs()), 10 * 256 / 48.0 - 2, 0.01);
    EXPECT_EQ(ingest(header(21, 960, 1, kOpus), packets[1]), IngestResult::Held);
    EXPECT_NEAR(deadlineMs(clock.nowNs()), 10 * 256 / 48.0 - 70.0 / 4, 0.01);
    EXPECT_EQ(ingest(header(19, 960, 1, kOpus), packets[2]), IngestResult::Written);
    EXPECT_EQ(session.lastSeq, 21u);
    opus_decoder_destroy(reference);
}

TEST_F(Ingest, OpusDecoderFollowsTheChannelCountAndRefusesLongFrames) {
    OpusPhone mono(1, 960);
    ASSERT_EQ(ingest(header(1, 960, 1, kOpus), mono.next()), IngestResult::Written);
    EXPECT_EQ(session.decoderChannels, 1);
    drain();

    OpusPhone stereo(2, 960);
    for (uint32_t seq = 2; seq < 6; ++seq) {
        ASSERT_EQ(ingest(header(seq, 960, 2, kOpus), stereo.next()), IngestResult::Written);
    }
    EXPECT_EQ(session.decoderChannels, 2);
    const auto floats = drain();
    ASSERT_EQ(floats.size(), 4u * 1920);
    // The phone sends L and -R: a stereo decoder keeps them apart.
    double correlation = 0.0;
    for (size_t i = 1920; i < floats.size(); i += 2) {
        correlation += floats[i] * floats[i + 1];
    }
    EXPECT_LT(correlation, -10.0);

    OpusPhone longFrames(1, 1920);  // 40 ms: more than one packet may carry
    const uint64_t packets = session.packets.load();
    EXPECT_EQ(ingest(header(6, 1024, 1, kOpus), longFrames.next()), IngestResult::Rejected);
    EXPECT_EQ(session.packets.load(), packets);
    EXPECT_EQ(session.lastSeq, 5u);
}

TEST_F(Ingest, NetworkDelayNeedsAFreshTimeSyncAndIsSmoothed) {
    constexpr int64_t kOffset = 3'000'000 * kSecond;  // phone clock minus ours
    OpusPhone phone(1, 960);
    auto sendAt = [&](uint32_t seq, int64_t delay) {
        const int64_t arrival = clock.nowNs() + 10 * kMs;  // ingest advances the clock so far
        return ingest(header(seq, 960, 1, kOpus, arrival - delay + kOffset), phone.next());
    };
    sendAt(1, 12 * kMs);
    EXPECT_FALSE(session.netDelayValid.load());

    for (int i = 0; i <= 40; ++i) {
        const int64_t t4 = clock.nowNs() - (40 - i) * kSecond;
        const int64_t t1 = t4 - kMs;
        session.ptp.addSample(t1, t1 + kMs / 2 + kOffset, t1 + kMs / 2 + kOffset, t4);
    }
    ASSERT_TRUE(session.ptp.valid());
    sendAt(2, 12'300'000);
    ASSERT_TRUE(session.netDelayValid.load());
    EXPECT_NEAR(session.netDelayMs.load(), 12.3, 1e-6);
    sendAt(3, 22'300'000);
    EXPECT_NEAR(session.netDelayMs.load(), 12.4, 1e-6);

    sendAt(4, -kMs);  // a phone clock ahead of the estimate: not believed, the value stays
    EXPECT_FALSE(session.netDelayValid.load());
    EXPECT_NEAR(session.netDelayMs.load(), 12.4, 1e-6);
    sendAt(5, 40 * kMs);  // the next good one starts afresh
    EXPECT_NEAR(session.netDelayMs.load(), 40.0, 1e-6);

    clock.advance(5 * kSecond);  // the last exchange is now too old
    sendAt(6, 12 * kMs);
    EXPECT_FALSE(session.netDelayValid.load());
}

TEST_F(Ingest, MessagesAllocateNothingOnceTheDecoderExists) {
    OpusPhone phone(2, 480);
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < 200; ++i) {
        packets.push_back(phone.next());
    }
    const auto samples = pcm(std::vector<int16_t>(2048, 7));
    ASSERT_EQ(ingest(header(0, 480, 2, kOpus), packets[0]), IngestResult::Written);
    const long before = test::allocationsOnThisThread();
    for (uint32_t i = 1; i < 200; ++i) {
        const uint32_t seq = i + (i % 7 == 0 ? 3 : 0);  // some gaps, so concealment runs too
        ingest(header(seq, 480, 2, kOpus), packets[i]);
        ingest(header(seq + 1000, 1024, 1, kPcm), samples);
        ingest(header(seq + 2000, 480, 2, kOpus), packets[i]);
        session.ring.discardAll();
    }
    EXPECT_EQ(test::allocationsOnThisThread(), before);
}

}  // namespace
}  // namespace vocari
