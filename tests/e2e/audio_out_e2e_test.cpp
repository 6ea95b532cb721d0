// The daemon's output unit playing phones into real devices: a simulated 16-channel loopback
// device recorded by vocari-capture, and a JACK server recorded by jack_rec; last, the whole
// daemon routed to JACK by its `device` file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "audio_out.h"
#include "audio_test_support.h"
#include "clock.h"
#include "devices.h"
#include "process.h"
#include "recording_sink.h"
#include "session_table.h"
#include "temp_dir.h"
#include "vocari/ring_file.h"
#include "vocari/sim_audio.h"

namespace vocari {
namespace {

using test::ChildProcess;
using test::findExecutable;
using test::readRecording;
using test::Recording;
using test::RecordingSink;
using test::TempDir;
using test::writeFile;
using Stream = ChildProcess::Stream;

constexpr double kRate = 48000.0;
constexpr double kInitialTargetMs = 45.0;
// 10 ms: a whole number of cycles of every test tone (500, 1000 and 1500 Hz).
constexpr size_t kBlockFrames = 480;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

float peak(const std::vector<float>& samples) {
    float largest = 0.0f;
    for (const float sample : samples) {
        largest = std::max(largest, std::fabs(sample));
    }
    return largest;
}

// What one recorded channel holds of a sine at `hz`. The consumer trims its playback rate by a
// few hundred ppm, so the tone is measured over 10 ms blocks, whose 100 Hz bins do not notice.
struct ToneReport {
    double amplitude = 0.0;           // median over the blocks
    double steadyFraction = 0.0;      // blocks within 10 % of `expected`
    double purity = 0.0;              // share of the channel's energy that is the tone
    double crossingsPerSecond = 0.0;  // in the steady blocks; a sine crosses zero twice a cycle
};

ToneReport measureTone(const std::vector<float>& samples, double hz, double expected) {
    ToneReport report;
    const size_t blocks = samples.size() / kBlockFrames;
    if (blocks == 0) {
        return report;
    }
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * hz / kRate);
    std::vector<double> amplitudes;
    std::vector<bool> steady;
    double toneEnergy = 0.0;
    for (size_t b = 0; b < blocks; ++b) {
        double previous = 0.0;
        double beforePrevious = 0.0;
        for (size_t i = 0; i < kBlockFrames; ++i) {
            const double current =
                samples[b * kBlockFrames + i] + coefficient * previous - beforePrevious;
            beforePrevious = previous;
            previous = current;
        }
        const double power = previous * previous + beforePrevious * beforePrevious -
                             coefficient * previous * beforePrevious;
        const double amplitude = 2.0 * std::sqrt(std::max(power, 0.0)) / kBlockFrames;
        amplitudes.push_back(amplitude);
        steady.push_back(std::fabs(amplitude - expected) < 0.1 * expected);
        toneEnergy += amplitude * amplitude / 2.0 * kBlockFrames;
    }
    double energy = 0.0;
    size_t crossings = 0;
    for (size_t i = 0; i < blocks * kBlockFrames; ++i) {
        energy += static_cast<double>(samples[i]) * samples[i];
        const size_t b = i / kBlockFrames;
        const bool afterSteady = i % kBlockFrames != 0 || (b > 0 && steady[b - 1]);
        if (steady[b] && afterSteady && (samples[i - 1] < 0.0f) != (samples[i] < 0.0f)) {
            ++crossings;
        }
    }
    const auto steadyBlocks = static_cast<size_t>(std::count(steady.begin(), steady.end(), true));
    report.steadyFraction = static_cast<double>(steadyBlocks) / static_cast<double>(blocks);
    std::nth_element(amplitudes.begin(),
                     amplitudes.begin() + static_cast<std::ptrdiff_t>(blocks / 2),
                     amplitudes.end());
    report.amplitude = amplitudes[blocks / 2];
    report.purity = energy > 0.0 ? toneEnergy / energy : 0.0;
    if (steadyBlocks > 0) {
        report.crossingsPerSecond = static_cast<double>(crossings) * kRate /
                                    static_cast<double>(steadyBlocks * kBlockFrames);
    }
    return report;
}

// Checks that `samples` carry a steady sine of `hz` at `amplitude` and nothing else, and says
// what it found.
void expectTone(const std::vector<float>& samples, double hz, double amplitude,
                const std::string& what) {
    const ToneReport tone = measureTone(samples, hz, amplitude);
    std::printf(
        "%s: %.0f Hz at %.4f (expected %.2f), %.1f %% of blocks steady, purity %.4f, "
        "%.0f zero crossings/s\n",
        what.c_str(), hz, tone.amplitude, amplitude, 100.0 * tone.steadyFraction, tone.purity,
        tone.crossingsPerSecond);
    EXPECT_NEAR(tone.amplitude, amplitude, 0.05 * amplitude) << what;
    // A scheduling stall on a loaded machine may cost a few blocks, not more.
    EXPECT_GE(tone.steadyFraction, 0.95) << what;
    EXPECT_GT(tone.purity, 0.98) << what;
    // The consumer may trim its rate by up to 0.3 %.
    EXPECT_NEAR(tone.crossingsPerSecond, 2.0 * hz, 0.005 * 2.0 * hz) << what;
}

// Plays as a phone's receiving thread does: decoded stereo into the session's ring, as fast as
// the render side takes it, keeping about its fixed 100 ms target queued: room for the feeding
// thread to be held up on a loaded machine without the consumer running dry.
class ToneFeeder {
  public:
    struct Channel {
        double hz;
        double amplitude;
    };

    ToneFeeder(Session& session, Channel left, Channel right)
        : session_(session), left_(left), right_(right) {
        session_.jitter->requestPreset(static_cast<uint32_t>(BufferPreset::Fixed), 100);
        thread_ = std::thread([this] { run(); });
    }
    ~ToneFeeder() { stop(); }
    ToneFeeder(const ToneFeeder&) = delete;
    ToneFeeder& operator=(const ToneFeeder&) = delete;

    void stop() {
        stop_.store(true, std::memory_order_relaxed);
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // True once the render side has started taking what was written.
    bool waitUntilPlaying(int timeoutMs) const {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            if (session_.ring.readIndex() > 0) {
                return true;
            }
            sleepMs(10);
        }
        return false;
    }

  private:
    void run() {
        // Refill below 95 ms of stereo floats, so the depth swings around the target.
        constexpr uint64_t kLowWater = 2 * 4560;
        std::vector<float> block(2 * kBlockFrames);
        uint64_t frame = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            if (session_.ring.depth() >= kLowWater) {
                sleepMs(1);
                continue;
            }
            for (size_t i = 0; i < kBlockFrames; ++i, ++frame) {
                const double t = static_cast<double>(frame) / kRate;
                block[2 * i] = static_cast<float>(left_.amplitude *
                                                  std::sin(2.0 * std::numbers::pi * left_.hz * t));
                block[2 * i + 1] = static_cast<float>(
                    right_.amplitude * std::sin(2.0 * std::numbers::pi * right_.hz * t));
            }
            session_.ring.write(block.data(), block.size());
        }
    }

    Session& session_;
    const Channel left_;
    const Channel right_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Each test plays into its own simulated audio folder, with no JACK server in sight unless it
// starts one.
class OutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = home_.file("audio");
        std::filesystem::create_directories(folder_);
        setenv("VOCARI_AUDIO_DIR", folder_.c_str(), 1);
        setenv("JACK_DEFAULT_SERVER", ("vocari-ao-absent-" + std::to_string(getpid())).c_str(), 1);
        unsetenv("VOCARI_JACK_CHANNELS");
    }
    void TearDown() override {
        output_.stop();
        unsetenv("VOCARI_AUDIO_DIR");
        unsetenv("JACK_DEFAULT_SERVER");
    }

    Session& claim(int pair, uint32_t key) {
        Session* session = table_.claim(pair, 8, key, monotonicNowNs());
        EXPECT_NE(session, nullptr);
        EXPECT_EQ(session->channel.load(), 2 * pair);
        return *session;
    }

    TempDir home_;
    std::string folder_;
    SessionTable table_{kRate, kInitialTargetMs};
    RecordingSink out_;
    RecordingSink err_;
    AudioOut output_{out_, err_};
};

class SimulatedDeviceTest : public OutputTest {
  protected:
    static constexpr const char* kUid = "test:loop16";

    void SetUp() override {
        OutputTest::SetUp();
        writeFile(folder_ + "/loop16.device",
                  std::string("uid=") + kUid +
                      "\nname=Test Loop 16\ntransport=virtual\ninput_channels=16\n"
                      "output_channels=16\nbuffer_frames=512\nrate_ppm=0\n");
    }

    void startOutput() {
        ASSERT_TRUE(output_.start(&table_, kRate, OutputTarget{kUid, 6, true}))
            << ::testing::PrintToString(err_.lines());
        EXPECT_EQ(out_.count("routing to VIRTUAL device: \"Test Loop 16\" @ 48000 Hz, 16 channels "
                             "= 8 phone slots"),
                  1U)
            << ::testing::PrintToString(out_.lines());
    }

    // One second of everything the device plays, recorded by another process.
    Recording capture(const std::string& name) {
        const std::string wav = home_.file(name);
        auto recorder = ChildProcess::start(
            {test::binaryPath("vocari-capture"), "--device", kUid, "--seconds", "1", "--out", wav},
            test::isolatedEnvironment(home_.path()));
        EXPECT_NE(recorder, nullptr);
        if (!recorder) {
            return {};
        }
        const auto status = recorder->waitForExit(15000);
        EXPECT_EQ(status, 0) << ::testing::PrintToString(recorder->lines(Stream::Err));
        return readRecording(wav);
    }
};

TEST_F(SimulatedDeviceTest, PhoneOnPairThreeIsHeardOnChannelsSevenAndEightOnly) {
    startOutput();
    Session& phone = claim(3, 0x7F000002);
    // Different levels left and right, so a swapped pair shows.
    ToneFeeder feeder(phone, {1000.0, 0.5}, {1000.0, 0.25});
    ASSERT_TRUE(feeder.waitUntilPlaying(5000)) << "the unit never pulled the phone's audio";

    const Recording recording = capture("pair3.wav");
    ASSERT_EQ(recording.channels, 16);
    ASSERT_EQ(recording.frames(), 48000U);
    expectTone(recording.channel(6), 1000.0, 0.5, "channel 7");
    expectTone(recording.channel(7), 1000.0, 0.25, "channel 8");
    for (int c = 0; c < 16; ++c) {
        if (c != 6 && c != 7) {
            EXPECT_EQ(peak(recording.channel(c)), 0.0f) << "channel " << c + 1;
        }
    }
    EXPECT_EQ(phone.jitter->appliedPreset(), static_cast<uint32_t>(BufferPreset::Fixed));
    std::printf("consumer: target %.1f ms, trim %+d ppm, %u underruns\n",
                phone.jitter->depthMs(static_cast<double>(phone.jitter->target())),
                phone.jitter->trimPpm(), phone.jitter->underruns());
    EXPECT_TRUE(err_.lines().empty()) << ::testing::PrintToString(err_.lines());

    // A stopped unit plays nothing more: the device's ring stands still.
    feeder.stop();
    output_.stop();
    std::string error;
    auto ring = RingFileReader::open(ringFilePath(folder_, kUid), &error);
    ASSERT_NE(ring, nullptr) << error;
    const uint64_t written = ring->writtenFrames();
    sleepMs(100);
    EXPECT_EQ(ring->writtenFrames(), written);
}

TEST_F(SimulatedDeviceTest, TwoPhonesKeepToTheirOwnPairsUpToTheLast) {
    startOutput();
    Session& first = claim(0, 0x7F000003);
    Session& last = claim(7, 0x7F000004);
    ToneFeeder firstFeeder(first, {500.0, 0.4}, {500.0, 0.2});
    ToneFeeder lastFeeder(last, {1500.0, 0.3}, {1500.0, 0.6});
    ASSERT_TRUE(firstFeeder.waitUntilPlaying(5000));
    ASSERT_TRUE(lastFeeder.waitUntilPlaying(5000));

    const Recording recording = capture("pairs0and7.wav");
    ASSERT_EQ(recording.channels, 16);
    expectTone(recording.channel(0), 500.0, 0.4, "channel 1");
    expectTone(recording.channel(1), 500.0, 0.2, "channel 2");
    expectTone(recording.channel(14), 1500.0, 0.3, "channel 15");
    expectTone(recording.channel(15), 1500.0, 0.6, "channel 16");
    for (int c = 2; c < 14; ++c) {
        EXPECT_EQ(peak(recording.channel(c)), 0.0f) << "channel " << c + 1;
    }
}

// A JACK server of its own per test, with the dummy driver at the daemon's rate.
class JackOutputTest : public OutputTest {
  protected:
    void SetUp() override {
        OutputTest::SetUp();
        // Wider than the JACK device, so only the target's uid can make the output choose JACK.
        writeFile(folder_ + "/wide.device",
                  "uid=test:wide\nname=Wide Loop\ntransport=virtual\ninput_channels=32\n"
                  "output_channels=32\n");
        static int counter = 0;
        server_ = "vocari-ao-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        jackd_ = startJackd();
        if (jackd_ == nullptr) {
            return;
        }
        // The stand-in looks for the server this variable names.
        setenv("JACK_DEFAULT_SERVER", server_.c_str(), 1);
        for (int waited = 0; waited < 10000 && !jackDeviceListed(); waited += 50) {
            sleepMs(50);
        }
    }

    void TearDown() override {
        OutputTest::TearDown();
        if (jackd_) {
            jackd_->sendSignal(SIGTERM);
            EXPECT_TRUE(jackd_->waitForExit(5000).has_value()) << "jackd did not stop";
            jackd_.reset();
        }
    }

    std::string uid() const { return "jack:" + server_; }

    bool jackDeviceListed() const {
        const auto devices = allDevices();
        return std::any_of(devices.begin(), devices.end(),
                           [&](const DeviceInfo& device) { return device.uid == uid(); });
    }

    // Null, with the reason in skipReason_, when JACK cannot run here.
    std::unique_ptr<ChildProcess> startJackd() {
        return test::startJackServer(server_, 48000, skipReason_);
    }

    std::string server_;
    std::string skipReason_;
    std::unique_ptr<ChildProcess> jackd_;
};

#define SKIP_WITHOUT_JACK()                                         \
    if (jackd_ == nullptr) {                                        \
        GTEST_SKIP() << "JACK is not usable here: " << skipReason_; \
    }                                                               \
    ASSERT_TRUE(jackDeviceListed()) << "the JACK server never showed up as a device"

TEST_F(JackOutputTest, PhoneOnPairThreeIsHeardOnJackPortsSevenAndEight) {
    SKIP_WITHOUT_JACK();
    ASSERT_TRUE(output_.start(&table_, kRate, OutputTarget{uid(), 0, true}))
        << ::testing::PrintToString(err_.lines());
    EXPECT_EQ(out_.count("routing to VIRTUAL device: \"JACK " + server_ +
                         "\" @ 48000 Hz, 16 channels = 8 phone slots"),
              1U)
        << ::testing::PrintToString(out_.lines());
    EXPECT_EQ(out_.count("  --> select \"JACK " + server_ + "\" as the INPUT device"), 1U);
    EXPECT_EQ(output_.deviceUid(), uid());

    Session& phone = claim(3, 0x7F000005);
    ToneFeeder feeder(phone, {1000.0, 0.5}, {1000.0, 0.25});
    ASSERT_TRUE(feeder.waitUntilPlaying(5000)) << "the unit never pulled the phone's audio";

    const std::string wav = home_.file("jack.wav");
    auto recorder = ChildProcess::start({findExecutable("jack_rec"), "-f", wav, "-d", "1", "-b",
                                         "32", "vocari:out_7", "vocari:out_8", "vocari:out_1"},
                                        {{"JACK_DEFAULT_SERVER", server_}});
    ASSERT_NE(recorder, nullptr);
    const auto recorded = recorder->waitForExit(15000);
    if (!recorded) {
        recorder->sendSignal(SIGTERM);
        recorder->waitForExit(2000);
    }
    ASSERT_EQ(recorded, 0) << ::testing::PrintToString(recorder->lines(Stream::Err));
    feeder.stop();
    output_.stop();

    const Recording recording = readRecording(wav);
    ASSERT_EQ(recording.channels, 3);
    ASSERT_GE(recording.frames(), 47000U);
    expectTone(recording.channel(0), 1000.0, 0.5, "vocari:out_7");
    expectTone(recording.channel(1), 1000.0, 0.25, "vocari:out_8");
    EXPECT_EQ(peak(recording.channel(2)), 0.0f) << "vocari:out_1 is not silent";
}

TEST_F(JackOutputTest, DaemonRoutesToTheServerItsDeviceFileNames) {
    SKIP_WITHOUT_JACK();
    const std::string settings = home_.path() + "/Library/Application Support/Vocari";
    std::filesystem::create_directories(settings);
    writeFile(settings + "/device", "uid=" + uid() + "\nchannel=0\nalign=1\n");

    auto environment = test::isolatedEnvironment(home_.path());
    environment["JACK_DEFAULT_SERVER"] = server_;
    environment["VOCARI_JACK_CHANNELS"] = std::nullopt;
    auto daemon = ChildProcess::start({test::binaryPath("vocarid")}, environment);
    ASSERT_NE(daemon, nullptr);
    const bool running = daemon->waitForLine(Stream::Out, "vocarid running", 10000);
    ASSERT_TRUE(running) << "out: " << ::testing::PrintToString(daemon->lines(Stream::Out))
                         << "\nerr: " << ::testing::PrintToString(daemon->lines(Stream::Err));
    const std::string routing = "routing to VIRTUAL device: \"JACK " + server_ +
                                "\" @ 48000 Hz, 16 channels = 8 phone slots";
    EXPECT_EQ(daemon->countLines(Stream::Out, routing), 1U)
        << ::testing::PrintToString(daemon->lines(Stream::Out));

    // The daemon's unit is a client of that server, one port per device channel.
    auto ports =
        ChildProcess::start({findExecutable("jack_lsp")}, {{"JACK_DEFAULT_SERVER", server_}});
    ASSERT_NE(ports, nullptr);
    EXPECT_EQ(ports->waitForExit(10000), 0);
    EXPECT_EQ(ports->countLines(Stream::Out, "vocari:out_"), 16U)
        << ::testing::PrintToString(ports->lines(Stream::Out));
    EXPECT_EQ(ports->countLines(Stream::Out, "vocari:out_16"), 1U);

    daemon->sendSignal(SIGTERM);
    const auto status = daemon->waitForExit(5000);
    ASSERT_TRUE(status.has_value()) << "the daemon did not stop within 5 s";
    EXPECT_EQ(*status, 0) << ::testing::PrintToString(daemon->lines(Stream::Err));
}

}  // namespace
}  // namespace vocari
