// The simulated phone: its network impairments, its clock, the AUDIO messages it makes and how
// it paces them, driven with stepped time.

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
#include "stream_sender.h"

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

TEST(Impairment, ParetoDelayHasTheHeavierTail) {
    const auto quantile = [](JitterModel model, double q) {
        ImpairmentConfig config;
        config.delayMs = 10;
        config.jitterMs = 5;
        config.jitter = model;
        Impairment impairment(config);
        std::mt19937_64 random(11);
        std::vector<int64_t> delays(100'000);
        double sum = 0;
        for (auto& delay : delays) {
            delay = impairment.drawDelayNs(random);
            EXPECT_GE(delay, 0);
            sum += static_cast<double>(delay);
        }
        std::sort(delays.begin(), delays.end());
        return std::pair(static_cast<double>(delays[static_cast<size_t>(q * 99'999)]) / 1e6,
                         sum / 1e6 / 100'000);
    };
    const auto [normalTail, normalMean] = quantile(JitterModel::Normal, 0.999);
    const auto [paretoTail, paretoMean] = quantile(JitterModel::Pareto, 0.999);
    EXPECT_NEAR(normalMean, 10.0, 0.1);
    EXPECT_NEAR(normalTail, 10.0 + 3.09 * 5, 1.0);
    // Lomax of scale 5 ms and shape 2.5: mean 5 / 1.5 ms, 99.9 % below 5 × (1000^0.4 − 1) ms.
    EXPECT_NEAR(paretoMean, 10.0 + 5.0 / 1.5, 0.3);
    EXPECT_NEAR(paretoTail, 10.0 + 5.0 * (std::pow(1000.0, 0.4) - 1.0), 8.0);
    EXPECT_GT(paretoTail - 10.0, 3 * (normalTail - 10.0));
}

TEST(PhoneClock, RunsFromItsEpochAtItsOwnRateAndInvertsExactly) {
    SteppedTime time;
    const int64_t start = time.nowNs();
    const PhoneClock clock(time, start, 1'000 * kSecond, 100.0);
    EXPECT_EQ(clock.nowNs(), 1'000 * kSecond);
    time.waitUntil(start + 10 * kSecond);
    EXPECT_EQ(clock.nowNs(), 1'010 * kSecond + kMs);  // +100 ppm of 10 s
    const PhoneClock slow(time, start, 0, -250.0);
    EXPECT_EQ(slow.at(start + 4 * kSecond), 4 * kSecond - kMs);
    for (const PhoneClock* which : {&clock, &slow}) {
        for (const int64_t later : {int64_t{0}, int64_t{7}, int64_t{123'456'789'012}}) {
            const int64_t target = which->at(start) + later;
            const int64_t when = which->monotonicAt(target);
            EXPECT_GE(which->at(when), target);
            EXPECT_LT(which->at(when - 1), target);
        }
    }
}

std::unique_ptr<AudioMessageMaker> maker(const StreamFormat& format,
                                         std::unique_ptr<AudioSource> source) {
    std::string error;
    auto made = AudioMessageMaker::create(format, std::move(source), error);
    EXPECT_TRUE(made) << error;
    return made;
}

TEST(AudioMessages, PcmCarriesTheExactToneWithSequencesThatWrap) {
    StreamFormat format;
    format.channels = 2;
    format.frames = 7;
    format.firstSequence = 0xFFFFFFFE;
    auto pcm = maker(format, std::make_unique<ToneSource>(1000.0, 0.8, 2));
    std::vector<uint8_t> message;
    uint64_t frame = 0;
    for (uint32_t n = 0; n < 4; ++n) {
        const int64_t sent = 1'000 * kSecond + madeOffsetNs(n, 7);
        ASSERT_TRUE(pcm->make(sent, message));
        const auto header = protocol::parseAudioHeader(message);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->sequence, 0xFFFFFFFE + n);
        EXPECT_EQ(header->frames, 7);
        EXPECT_EQ(header->channels, 2);
        EXPECT_EQ(header->codec, 0);
        EXPECT_EQ(header->senderTimeNs, sent);
        const std::span payload = std::span(message).subspan(protocol::kAudioHeaderSize);
        ASSERT_EQ(payload.size(), 7U * 2 * 2);
        EXPECT_EQ(message, protocol::encodeAudio(*header, payload));
        for (size_t at = 0; at < payload.size(); at += 4, ++frame) {
            const double expected = 0.8 * std::sin(2 * std::numbers::pi * 1000.0 *
                                                   static_cast<double>(frame) / 48000.0);
            const auto left = static_cast<int16_t>(protocol::readU16(&payload[at]));
            EXPECT_EQ(left, static_cast<int16_t>(protocol::readU16(&payload[at + 2])));
            EXPECT_NEAR(left, expected * 32768, 0.51) << frame;
        }
    }
    // Sender times step by the frames' duration exactly, without rounding drift.
    EXPECT_EQ(madeOffsetNs(48000, 7), 7 * kSecond);
    EXPECT_EQ(madeOffsetNs(100, 480), kSecond);

    format.lengthPrefix = true;
    auto framed = maker(format, std::make_unique<ToneSource>(1000.0, 0.8, 2));
    ASSERT_TRUE(framed->make(0, message));
    EXPECT_EQ(protocol::readU32(message.data()), message.size() - 4);
    EXPECT_EQ(message.size(), framed->maxMessageBytes());
}

TEST(AudioMessages, OpusPacketsDecodeBackToTheTone) {
    StreamFormat format;
    format.codec = protocol::Codec::Opus;
    format.frames = 960;
    auto opus = maker(format, std::make_unique<ToneSource>(1000.0, 0.5, 1));
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 1, &error);
    ASSERT_EQ(error, OPUS_OK);
    std::vector<float> decoded;
    std::vector<float> block(960);
    std::vector<uint8_t> message;
    for (int n = 0; n < 50; ++n) {
        ASSERT_TRUE(opus->make(n * 20 * kMs, message));
        const auto header = protocol::parseAudioHeader(message);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->codec, 2);
        EXPECT_EQ(header->frames, 960);
        EXPECT_EQ(header->sequence, static_cast<uint32_t>(n));
        ASSERT_LE(message.size() - protocol::kAudioHeaderSize, 4000U);
        const int got =
            opus_decode_float(decoder, message.data() + protocol::kAudioHeaderSize,
                              static_cast<opus_int32>(message.size() - protocol::kAudioHeaderSize),
                              block.data(), 960, 0);
        ASSERT_EQ(got, 960);
        if (n >= 10) {  // past the encoder's start-up
            decoded.insert(decoded.end(), block.begin(), block.end());
        }
    }
    opus_decoder_destroy(decoder);
    double power = 0;
    int crossings = 0;
    for (size_t at = 1; at < decoded.size(); ++at) {
        power += decoded[at] * decoded[at];
        crossings += (decoded[at - 1] < 0) != (decoded[at] < 0) ? 1 : 0;
    }
    const double seconds = static_cast<double>(decoded.size()) / 48000.0;
    EXPECT_NEAR(crossings / 2.0 / seconds, 1000.0, 10.0);
    EXPECT_NEAR(std::sqrt(power / static_cast<double>(decoded.size())), 0.5 / std::sqrt(2.0), 0.03);
}

TEST(AudioMessages, WavFileLoopsAndFeedsBothSidesOfAStereoStream) {
    const std::string path = testing::TempDir() + "phone_test_" + std::to_string(getpid()) + ".wav";
    const auto write = [&](int rate, const std::vector<int16_t>& samples) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(file);
    };
    std::vector<int16_t> samples;
    for (int n = 0; n < 100; ++n) {
        samples.push_back(static_cast<int16_t>(n * 331 - 16000));
    }
    samples.push_back(-32768);
    samples.push_back(32767);

    write(44100, samples);
    EXPECT_NE(checkWavFile(path).find("44100 Hz"), std::string::npos);
    write(48000, samples);
    EXPECT_EQ(checkWavFile(path), "");
    std::string error;
    auto wav = WavSource::open(path, 2, error);
    ASSERT_TRUE(wav) << error;
    StreamFormat format;
    format.channels = 2;
    format.frames = 64;
    auto pcm = maker(format, std::move(wav));
    std::vector<uint8_t> message;
    for (size_t frame = 0; frame < 4 * 64;) {
        ASSERT_TRUE(pcm->make(0, message));
        for (size_t at = protocol::kAudioHeaderSize; at < message.size(); at += 4, ++frame) {
            const int16_t expected = samples[frame % samples.size()];
            ASSERT_EQ(static_cast<int16_t>(protocol::readU16(&message[at])), expected) << frame;
            ASSERT_EQ(static_cast<int16_t>(protocol::readU16(&message[at + 2])), expected) << frame;
        }
    }
    std::remove(path.c_str());
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
        ASSERT_EQ(message.header.senderTimeNs,
                  1'000 * kSecond + static_cast<int64_t>(n) * 10 * kMs);
        // Made when the phone's clock reaches its time, however late the earlier wake-ups were.
        const int64_t due = run.clock.monotonicAt(message.header.senderTimeNs);
        ASSERT_GE(message.atNs, due);
        ASSERT_LE(message.atNs, due + 3 * kMs);
    }
    // 100 s of a clock running 100 ppm fast pass in 99.99 s of receiver time.
    EXPECT_NEAR(static_cast<double>(run.clock.monotonicAt(1'100 * kSecond) - start) / kSecond,
                100.0 / 1.0001, 1e-6);
}

TEST(StreamSender, DelayedDuplicatedStreamKeepsItsOrderAndEveryCopyGoesOut) {
    StreamFormat format;
    format.frames = 3;  // 16000 messages a second: many share a wake-up
    format.lengthPrefix = true;
    ImpairmentConfig network;
    network.delayMs = 40;
    network.jitterMs = 10;
    network.lossPercent = 2;
    network.duplicatePercent = 5;
    network.reorderPercent = 5;
    network.keepOrder = true;
    SenderRun run(format, network, 0.0);
    ASSERT_EQ(run.run(2.0), StreamSender::Outcome::Finished);
    const auto& counts = run.sender.counts();
    EXPECT_EQ(counts.made, 32'000U);
    EXPECT_EQ(run.sent.size(), counts.made - counts.lost + counts.duplicated);
    EXPECT_EQ(counts.datagrams, run.sent.size());
    EXPECT_GT(counts.lost, 0U);
    EXPECT_GT(counts.reordered, 0U);
    EXPECT_LT(run.time.waits, 16'000);
    for (size_t at = 1; at < run.sent.size(); ++at) {
        ASSERT_GE(run.sent[at].header.sequence, run.sent[at - 1].header.sequence);
        ASSERT_GE(run.sent[at].atNs, run.clock.monotonicAt(run.sent[at].header.senderTimeNs));
    }
    // A second stream continues the sequence numbers on a fresh timeline.
    run.sent.clear();
    ASSERT_EQ(run.run(0.01), StreamSender::Outcome::Finished);
    ASSERT_FALSE(run.sent.empty());
    EXPECT_GE(run.sent.front().header.sequence, 32'000U);
}

// A USB phone's whole run against a receiver that answers HELLO with two HEARTBEATs and closes
// the link after BYE: every message arrives in order, the HEARTBEATs are heard, the close is
// reported.
TEST(PhoneRun, TcpPhoneStreamsHearsHeartbeatsAndSeesTheClose) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    std::vector<std::vector<uint8_t>> received;
    std::thread receiver([&] {
        const int link = accept(listener, nullptr, nullptr);
        protocol::FrameReader reader;
        std::array<uint8_t, 8192> bytes{};
        bool bye = false;
        while (!bye) {
            const ssize_t got = recv(link, bytes.data(), bytes.size(), 0);
            if (got <= 0) {
                break;
            }
            reader.feed(std::span(bytes.data(), static_cast<size_t>(got)), [&](auto message) {
                received.emplace_back(message.begin(), message.end());
                const uint8_t type = protocol::messageType(message);
                if (type == static_cast<uint8_t>(protocol::MessageType::Hello)) {
                    for (uint32_t packets : {0U, 25U}) {
                        const auto beat =
                            protocol::frameForStream(protocol::encodeHeartbeat({packets, 45, 2}));
                        send(link, beat.data(), beat.size(), MSG_NOSIGNAL);
                    }
                }
                bye = bye || type == static_cast<uint8_t>(protocol::MessageType::Bye);
            });
        }
        close(link);
    });

    PhoneSetup setup;
    setup.link.transport = Transport::Tcp;
    setup.link.port = ntohs(address.sin_port);
    setup.link.pairingCode = 123456;
    setup.link.name = "Pixel";
    setup.actions = {"hello", "stream", "bye"};
    setup.streamSeconds = 0.5;
    setup.heartbeatLog = true;
    SteppedTime time;
    LinePrinter printer;
    testing::internal::CaptureStdout();
    const bool ok = runPhone(setup, time, time, time.nowNs(), printer);
    const std::string out = testing::internal::GetCapturedStdout();
    receiver.join();
    close(listener);

    EXPECT_TRUE(ok);
    for (const char* line : {"sent hello\n", "sent stream\n", "sent bye\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    EXPECT_NE(out.find("packets=25 buffer=45ms underruns=2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("receiver closed the connection\nPixel: sent 50 audio messages (0 lost, "
                       "0 duplicated, 0 reordered), heard 2 heartbeats\n"),
              std::string::npos)
        << out;
    ASSERT_EQ(received.size(), 52U);
    EXPECT_EQ(protocol::parseHello(received.front())->pairingCode, 123456U);
    for (uint32_t n = 0; n < 50; ++n) {
        const auto header = protocol::parseAudioHeader(received[n + 1]);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->sequence, n);
        EXPECT_EQ(header->senderTimeNs, setup.clockEpochNs + n * 10 * kMs);
    }
}

}  // namespace
}  // namespace vocari::phone
