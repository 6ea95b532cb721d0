// The simulated phone: its network impairments and how it paces its messages, driven with
// stepped time. What it sends is checked end to end through the daemon.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <opus.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio_message.h"
#include "audio_source.h"
#include "impairment.h"
#include "phone_clock.h"
#include "phone_run.h"
#include "protocol.h"
#include "rtp_copy.h"
#include "stream_sender.h"
#include "time_sync_responder.h"

namespace vocari::phone {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kSecond = 1'000'000'000;

// Time that moves only when waited on; each wait may overshoot its deadline, as a busy
// scheduler would.
class SteppedTime final : public TimeSource, public Waiter {
  public:
    explicit SteppedTime(int64_t lateNs = 0) : late_(lateNs) {}
    int64_t nowNs() const override { return now_.load(); }
    void waitUntil(int64_t monotonicNs) override {
        const int64_t late =
            late_ == 0 ? 0 : std::uniform_int_distribution<int64_t>(0, late_)(random_);
        now_.store(std::max(now_.load(), monotonicNs + late));
        ++waits;
    }
    int waits = 0;

  private:
    std::atomic<int64_t> now_{5 * kSecond};
    int64_t late_;
    std::mt19937_64 random_{3};
};

// Every copy the impairment sends for `count` messages made `periodNs` apart, in the order they
// go out (due time, then the order decided).
struct Outcome {
    std::vector<Dispatch> wire;
    std::vector<Decision> decisions;
};

Outcome impair(const ImpairmentConfig& config, uint64_t count, int64_t periodNs = 10 * kMs) {
    Impairment impairment(config);
    std::mt19937_64 random(42);
    Outcome outcome;
    for (uint64_t index = 0; index < count; ++index) {
        const Decision decision =
            impairment.decide(index, static_cast<int64_t>(index) * periodNs, random);
        outcome.decisions.push_back(decision);
        outcome.wire.insert(outcome.wire.end(), decision.sends.begin(),
                            decision.sends.begin() + static_cast<std::ptrdiff_t>(decision.count));
    }
    const Decision last = impairment.releaseHeld();
    outcome.wire.insert(outcome.wire.end(), last.sends.begin(),
                        last.sends.begin() + static_cast<std::ptrdiff_t>(last.count));
    std::stable_sort(outcome.wire.begin(), outcome.wire.end(),
                     [](const Dispatch& a, const Dispatch& b) { return a.dueNs < b.dueNs; });
    return outcome;
}

TEST(Impairment, RandomAndBurstLossMatchTheirRates) {
    ImpairmentConfig random;
    random.lossPercent = 5;
    const auto lossy = impair(random, 200'000);
    const auto lost = std::count_if(lossy.decisions.begin(), lossy.decisions.end(),
                                    [](const Decision& d) { return d.lost; });
    EXPECT_NEAR(static_cast<double>(lost) / 200'000, 0.05, 0.003);
    EXPECT_EQ(lossy.wire.size(), 200'000 - static_cast<size_t>(lost));

    ImpairmentConfig bursty;
    bursty.burstPercent = 1;
    bursty.burstLength = 6;
    const auto bursts = impair(bursty, 400'000);
    std::vector<int> lengths;
    int run = 0;
    for (const auto& decision : bursts.decisions) {
        if (decision.lost) {
            ++run;
        } else if (run > 0) {
            lengths.push_back(std::exchange(run, 0));
        }
    }
    ASSERT_GT(lengths.size(), 2000U);
    const double mean = static_cast<double>(std::accumulate(lengths.begin(), lengths.end(), 0)) /
                        static_cast<double>(lengths.size());
    EXPECT_NEAR(mean, 6.0, 0.4);
}

TEST(Impairment, DuplicatesGoTwiceAndHeldMessagesFollowTheirSuccessor) {
    ImpairmentConfig config;
    config.delayMs = 30;
    config.duplicatePercent = 20;
    config.reorderPercent = 10;
    const auto outcome = impair(config, 50'000);
    size_t duplicated = 0;
    size_t held = 0;
    for (const auto& decision : outcome.decisions) {
        duplicated += decision.duplicated ? 1 : 0;
        held += decision.held ? 1 : 0;
    }
    EXPECT_NEAR(static_cast<double>(duplicated) / 50'000, 0.2, 0.01);
    EXPECT_NEAR(static_cast<double>(held) / 50'000, 0.1, 0.01);
    EXPECT_EQ(outcome.wire.size(), 50'000 + duplicated);

    // Without jitter the only inversions are the held messages, each right after its successor.
    std::vector<uint64_t> firstSeen;
    for (const auto& dispatch : outcome.wire) {
        if (firstSeen.empty() || firstSeen.back() != dispatch.index) {
            firstSeen.push_back(dispatch.index);
        }
    }
    const size_t heldWithSuccessor = held - (outcome.decisions.back().held ? 1 : 0);
    size_t inversions = 0;
    for (size_t at = 1; at < firstSeen.size(); ++at) {
        if (firstSeen[at] < firstSeen[at - 1]) {
            ++inversions;
            EXPECT_EQ(firstSeen[at] + 1, firstSeen[at - 1]);
            EXPECT_TRUE(outcome.decisions[firstSeen[at]].held);
        }
    }
    EXPECT_EQ(inversions, heldWithSuccessor);
}

TEST(Impairment, StreamOrderIsNeverInvertedWhateverTheNetworkDoes) {
    ImpairmentConfig config;
    config.delayMs = 20;
    config.jitterMs = 15;
    config.jitter = JitterModel::Pareto;
    config.lossPercent = 3;
    config.duplicatePercent = 10;
    config.reorderPercent = 10;
    config.keepOrder = true;
    Impairment impairment(config);
    std::mt19937_64 random(7);
    Dispatch previous{0, INT64_MIN};
    size_t sent = 0;
    for (uint64_t index = 0; index < 50'000; ++index) {
        const Decision decision =
            impairment.decide(index, static_cast<int64_t>(index) * kMs, random);
        for (size_t at = 0; at < decision.count; ++at) {
            const Dispatch& dispatch = decision.sends[at];
            ASSERT_GE(dispatch.index, previous.index);
            ASSERT_GE(dispatch.dueNs, previous.dueNs);
            ASSERT_GE(dispatch.dueNs, static_cast<int64_t>(dispatch.index) * kMs + 20 * kMs);
            previous = dispatch;
            ++sent;
        }
    }
    EXPECT_GT(sent, 50'000U);
}

std::unique_ptr<AudioMessageMaker> maker(const StreamFormat& format,
                                         std::unique_ptr<AudioSource> source) {
    std::string error;
    auto made = AudioMessageMaker::create(format, std::move(source), error);
    EXPECT_TRUE(made) << error;
    return made;
}

struct Sent {
    int64_t atNs;
    protocol::AudioHeader header;
};

// A whole stream through the sender with stepped time that wakes up to 3 ms late.
struct SenderRun {
    SenderRun(const StreamFormat& format, const ImpairmentConfig& impairment, double skewPpm)
        : clock(time, time.nowNs(), 1'000 * kSecond, skewPpm),
          made(maker(format, std::make_unique<ToneSource>(440.0, 0.5, format.channels))),
          sender(*made, clock, time, impairment, 9, [this](std::span<const uint8_t> bytes) {
              const auto header =
                  protocol::parseAudioHeader(bytes.subspan(made->format().lengthPrefix ? 4 : 0));
              EXPECT_TRUE(header);
              sent.push_back({time.nowNs(), *header});
              return true;
          }) {}

    SteppedTime time{3 * kMs};
    PhoneClock clock;
    std::unique_ptr<AudioMessageMaker> made;
    StreamSender sender;
    std::vector<Sent> sent;
    int hellos = 0;
    std::atomic<bool> stop{false};

    StreamSender::Outcome run(double seconds, int helloEveryMs = 0) {
        return sender.run(
            seconds, helloEveryMs, [this] { return ++hellos > 0; }, stop);
    }
};

TEST(StreamSender, PacesBySkewedPhoneTimeWithoutDriftAndSendsEveryCopy) {
    StreamFormat format;
    SenderRun run(format, {}, 100.0);
    const int64_t start = run.time.nowNs();
    ASSERT_EQ(run.run(100.0, 1000), StreamSender::Outcome::Finished);
    ASSERT_EQ(run.sent.size(), 10'000U);
    EXPECT_EQ(run.hellos, 99);
    for (size_t n = 0; n < run.sent.size(); ++n) {
        const auto& message = run.sent[n];
        ASSERT_EQ(message.header.sequence, n);
        // Sent once its last frame is captured, stamped with that moment of the phone's clock.
        ASSERT_EQ(message.header.senderTimeNs,
                  1'000 * kSecond + static_cast<int64_t>(n + 1) * 10 * kMs);
        // Made when the phone's clock reaches its time, however late the earlier wake-ups were.
        const int64_t due = run.clock.monotonicAt(message.header.senderTimeNs);
        ASSERT_GE(message.atNs, due);
        ASSERT_LE(message.atNs, due + 3 * kMs);
    }
    // 100 s of a clock running 100 ppm fast pass in 99.99 s of receiver time.
    EXPECT_NEAR(static_cast<double>(run.clock.monotonicAt(1'100 * kSecond) - start) / kSecond,
                100.0 / 1.0001, 1e-6);
}

// What a receiver meets, counted in the order copies go out: a lost message is a gap, a
// duplicate or an overtaken message is late, and an overtaken message left a gap before it came.
TEST(StreamSender, CountsGapsAndLateCopiesAsTheReceiverMeetsThem) {
    StreamFormat format;
    ImpairmentConfig lossy;
    lossy.lossPercent = 10;
    lossy.burstPercent = 1;
    lossy.burstLength = 12;
    SenderRun lost(format, lossy, 0.0);
    ASSERT_EQ(lost.run(60.0), StreamSender::Outcome::Finished);
    const StreamCounts& l = lost.sender.counts();
    EXPECT_EQ(l.lateOrRepeated, 0u);
    EXPECT_GT(l.missingInLongGaps, 0u);
    // Every loss is a gap, but for those after the last copy that went out.
    const auto lastSent = lost.sent.back().header.sequence;
    EXPECT_EQ(l.missingInShortGaps + l.missingInLongGaps, l.lost - (l.made - 1 - lastSent));

    ImpairmentConfig shuffled;
    shuffled.duplicatePercent = 3;
    shuffled.reorderPercent = 3;
    SenderRun mixed(format, shuffled, 0.0);
    ASSERT_EQ(mixed.run(60.0), StreamSender::Outcome::Finished);
    const StreamCounts& m = mixed.sender.counts();
    EXPECT_EQ(m.missingInLongGaps, 0u);
    EXPECT_EQ(m.lateOrRepeated, m.duplicated + m.missingInShortGaps);
    EXPECT_GE(m.missingInShortGaps, m.reordered / 2);
}

TEST(RtpCopy, CarriesTheOpusPacketWithSequenceAndTimestampFromTheMessage) {
    const std::vector<uint8_t> opus = {0xF8, 0xFF, 0xFE};
    protocol::AudioHeader header;
    header.sequence = 0x12345;
    header.frames = 960;
    header.channels = 1;
    header.codec = static_cast<uint8_t>(protocol::Codec::Opus);
    std::vector<uint8_t> rtp;
    ASSERT_TRUE(RtpCopy::encode(protocol::encodeAudio(header, opus), 0xA1B2C3D4, rtp));
    const std::vector<uint8_t> expected = {0x80, 96,   0x23, 0x45, 0x04, 0x44, 0x42, 0xC0,
                                           0xA1, 0xB2, 0xC3, 0xD4, 0xF8, 0xFF, 0xFE};
    EXPECT_EQ(rtp, expected);  // timestamp 0x12345 x 960 = 0x44442C0
    header.codec = static_cast<uint8_t>(protocol::Codec::Pcm);
    EXPECT_FALSE(RtpCopy::encode(protocol::encodeAudio(header, opus), 1, rtp));
}

// Answers carry the phone clock at the simulated arrival and departure, and none reaches the
// wire before its delay; with jitter they leave in due order, not in request order.
TEST(TimeAnswerQueue, StampsTheSimulatedArrivalAndHoldsEachAnswerForItsDelay) {
    SteppedTime time;
    const PhoneClock clock(time, time.nowNs(), 1'000 * kSecond, 250.0);
    ImpairmentConfig network;
    network.delayMs = 40;
    TimeAnswerQueue answers(clock, network, 5);
    const sockaddr_in from{AF_INET, htons(5557), {htonl(INADDR_LOOPBACK)}, {}};
    const int64_t received = time.nowNs();
    EXPECT_FALSE(answers.take(protocol::encodeTimeResponse({7, 123, 0, 0}), received, from));
    ASSERT_TRUE(answers.take(protocol::encodeTimeRequest({7, 123}), received, from));

    const int64_t t2 = clock.at(received + 40 * kMs);
    const int64_t due = clock.monotonicAt(t2 + TimeAnswerQueue::kTurnaroundNs) + 40 * kMs;
    EXPECT_EQ(answers.nextDueNs(), due);
    EXPECT_FALSE(answers.popDue(due - 1));
    const auto answer = answers.popDue(due);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->to.sin_port, from.sin_port);
    EXPECT_EQ(answer->message,
              protocol::encodeTimeResponse({7, 123, t2, t2 + TimeAnswerQueue::kTurnaroundNs}));

    network.jitterMs = 30;
    TimeAnswerQueue jittery(clock, network, 5);
    for (uint32_t sequence = 1; sequence <= 100; ++sequence) {
        time.waitUntil(time.nowNs() + 10 * kMs);
        ASSERT_TRUE(jittery.take(protocol::encodeTimeRequest({sequence, 0}), time.nowNs(), from));
    }
    int64_t previous = 0;
    uint32_t lastSequence = 0;
    int sent = 0;
    bool reordered = false;
    while (const auto out = jittery.popDue(INT64_MAX)) {
        EXPECT_GE(out->dueNs, previous);
        previous = out->dueNs;
        const uint32_t sequence = protocol::parseTimeResponse(out->message)->sequence;
        reordered |= sequence < lastSequence;
        lastSequence = sequence;
        ++sent;
    }
    EXPECT_EQ(sent, 100);
    EXPECT_TRUE(reordered);
}

// Two phones with different epochs and rates hear each click at the same host-clock moment: the
// first frame each captures at or after it.
TEST(ClickSource, ClicksFallOnTheHostClockWhateverThePhonesClock) {
    SteppedTime time;
    for (const double skewPpm : {0.0, 2000.0, -700.0}) {
        const PhoneClock clock(time, time.nowNs(), 123'456'789 * kMs + 7, skewPpm);
        ClickSource clicks(clock, 250 * kMs, 0.75, 2);
        std::vector<float> frames(2 * 480);
        const int64_t start = clock.at(time.nowNs() + 3 * kMs);
        int heard = 0;
        for (uint64_t message = 0; message < 300; ++message) {
            const int64_t first = start + madeOffsetNs(message, 480);
            clicks.read(frames, first);
            for (size_t frame = 0; frame < 480; ++frame) {
                if (frames[2 * frame] == 0.0F) {
                    continue;
                }
                ASSERT_EQ(frames[2 * frame], 0.75F);
                ASSERT_EQ(frames[2 * frame + 1], 0.75F);
                const auto captured = [&](int64_t f) {
                    return clock.monotonicAt(first + f * kSecond / 48000);
                };
                const auto index = static_cast<int64_t>(frame);
                ASSERT_EQ(captured(index) / (250 * kMs), captured(index - 1) / (250 * kMs) + 1)
                    << "skew " << skewPpm;
                ++heard;
            }
        }
        // 3 s of the phone's clock from 5.003 s on the host's.
        EXPECT_EQ(heard, skewPpm > 0 ? 11 : 12) << "skew " << skewPpm;
    }
}

}  // namespace
}  // namespace vocari::phone
