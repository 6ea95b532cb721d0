// Time sync and stream alignment through the real processes: Wi-Fi phones with their own clock
// rates and network delays answer the daemon's time requests, and clicks that every phone hears
// at the same moment show, in the recording of the loopback device, how late each comes out.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <regex>
#include <thread>

#include "audio_test_support.h"
#include "process.h"
#include "temp_dir.h"

namespace vocari {
namespace {

using test::ChildProcess;
using Stream = ChildProcess::Stream;

constexpr int kStartTimeoutMs = 10000;
constexpr double kRate = 48000.0;

// One phone's session detail line.
struct Detail {
    std::string name;
    int clockPpm = 0;
    std::string clockSource;
    double netMs = 0.0;
    double rttMs = 0.0;
};

std::optional<Detail> parseDetail(const std::string& line) {
    static const std::regex detail(
        R"(^  \[\d\] ch\d+-\d+ (\S+) +pkts=.* clk=([+-]\d+)ppm\(([a-z+-]+)\) net=(-?[0-9.]+)ms .* rtt=([0-9.]+)ms)");
    std::smatch m;
    if (!std::regex_search(line, m, detail)) {
        return std::nullopt;
    }
    return Detail{m[1], std::stoi(m[2]), m[3], std::stod(m[4]), std::stod(m[5])};
}

// The lag, in ms, at which channel `b` best matches channel `a` (positive: `b` comes out later),
// by cross-correlation over lags up to ±`maxMs`. The click tracks are silent between clicks, so
// only the samples of `a` that carry sound take part.
double lagMs(const test::Recording& recording, int a, int b, double maxMs) {
    const std::vector<float> first = recording.channel(a);
    const std::vector<float> second = recording.channel(b);
    const auto maxLag = static_cast<long>(maxMs * kRate / 1000.0);
    std::vector<long> sounding;
    for (size_t i = 0; i < first.size(); ++i) {
        if (std::fabs(first[i]) > 0.01F) {
            sounding.push_back(static_cast<long>(i));
        }
    }
    EXPECT_FALSE(sounding.empty()) << "no clicks on channel " << a + 1;
    double best = 0.0;
    long bestLag = 0;
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        double sum = 0.0;
        for (const long i : sounding) {
            const long j = i + lag;
            if (j >= 0 && j < static_cast<long>(second.size())) {
                sum += static_cast<double>(first[static_cast<size_t>(i)]) *
                       second[static_cast<size_t>(j)];
            }
        }
        if (sum > best) {
            best = sum;
            bestLag = lag;
        }
    }
    return static_cast<double>(bestLag) * 1000.0 / kRate;
}

class TimeSync : public ::testing::Test {
  protected:
    test::TempDir home;
    std::unique_ptr<ChildProcess> daemon;
    std::vector<std::unique_ptr<ChildProcess>> phones;
    uint32_t code = 0;

    // The daemon on a 16-channel loopback device with 64-frame callbacks and alignment as
    // asked: short callbacks and 2 ms messages keep the steps in which audio arrives and leaves
    // small beside the 1 ms the alignment is held to.
    void startDaemon(bool alignment) {
        test::writeFile(home.file("audio/loop.device"),
                        "uid=vocari-loopback-16ch\nname=Vocari Loopback 16ch\ntransport=virtual\n"
                        "input_channels=16\noutput_channels=16\nbuffer_frames=64\n");
        const std::string settings = home.path() + "/Library/Application Support/Vocari";
        std::filesystem::create_directories(settings);
        test::writeFile(settings + "/device",
                        std::string("uid=\nchannel=0\nalign=") + (alignment ? "1" : "0") + "\n");
        daemon = ChildProcess::start({test::binaryPath("vocarid")},
                                     test::isolatedEnvironment(home.path()));
        ASSERT_TRUE(daemon);
        ASSERT_TRUE(daemon->waitForLine(Stream::Out, "vocarid running", kStartTimeoutMs));
        for (const auto& line : daemon->lines(Stream::Out)) {
            if (line.rfind("pairing code: ", 0) == 0) {
                code = static_cast<uint32_t>(std::stoul(line.substr(14)));
            }
        }
        ASSERT_GE(code, 100000u);
    }

    void TearDown() override {
        for (auto& phone : phones) {
            phone->sendSignal(SIGTERM);
            phone->waitForExit(3000);
        }
        if (daemon) {
            daemon->sendSignal(SIGTERM);
            EXPECT_EQ(daemon->waitForExit(3000), 0) << "daemon did not stop cleanly";
        }
    }

    // A Wi-Fi phone at `address` playing clicks every 500 ms with a fixed 60 ms buffer, so that
    // only the network and the alignment set its latency.
    void clickingPhone(const std::string& address, const std::string& name, double delayMs,
                       double skewPpm, double seconds) {
        startPhone({"--local",
                    address,
                    "--name",
                    name,
                    "--delay-ms",
                    std::to_string(delayMs),
                    "--skew-ppm",
                    std::to_string(skewPpm),
                    "--clicks-every-ms",
                    "500",
                    "--level",
                    "0.8",
                    "--preset",
                    "3",
                    "--fixed-ms",
                    "60",
                    "--frames",
                    "240",
                    "--seconds",
                    std::to_string(seconds),
                    "hello",
                    "stream",
                    "bye"});
    }

    void startPhone(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {test::binaryPath("vocari-phone"), "--code", std::to_string(code)});
        phones.push_back(ChildProcess::start(args, test::isolatedEnvironment(home.path())));
        ASSERT_TRUE(phones.back());
    }

    // The loopback device's output over the next `seconds`.
    test::Recording record(double seconds) {
        auto capture = ChildProcess::start(
            {test::binaryPath("vocari-capture"), "--device", "vocari-loopback-16ch", "--seconds",
             std::to_string(seconds), "--out", home.file("recording.wav")},
            test::isolatedEnvironment(home.path()));
        EXPECT_TRUE(capture);
        EXPECT_EQ(capture->waitForExit(static_cast<int>(seconds * 1000) + 10000), 0);
        return test::readRecording(home.file("recording.wav"));
    }

    // The latest detail line of the phone named `name`.
    std::optional<Detail> latest(const std::string& name) const {
        std::optional<Detail> found;
        for (const auto& line : daemon->lines(Stream::Out)) {
            auto detail = parseDetail(line);
            if (detail && detail->name == name) {
                found = detail;
            }
        }
        return found;
    }

    int firstChannelOf(const std::string& address) const {
        for (const auto& line : daemon->lines(Stream::Out)) {
            const auto at = line.find(" -> channels ");
            if (line.find(address + " (Wi-Fi)") != std::string::npos && at != std::string::npos) {
                return std::stoi(line.substr(at + 13)) - 1;
            }
        }
        return -1;
    }
};

// Far: 30 ms away with a clock 50 ppm fast; Near: 5 ms away; Cable: on the TCP link. With
// alignment on, Near is held back until both come out together. Its buffer grows to the new
// floor by the trim alone (no audible jump), some 3 ms a second.
TEST_F(TimeSync, WifiPhonesAreSynchronisedAndAlignedWhileTcpPhonesStayOut) {
    startDaemon(true);
    const auto started = std::chrono::steady_clock::now();
    clickingPhone("127.0.0.2", "Far", 30, 50, 56);
    clickingPhone("127.0.0.3", "Near", 5, 0, 56);
    startPhone(
        {"--tcp", "--name", "Cable", "--tone", "660", "--seconds", "56", "hello", "stream", "bye"});

    // The time exchange takes over from the arrival estimate within 40 s.
    std::optional<Detail> far;
    std::optional<Detail> near;
    while (std::chrono::steady_clock::now() - started < std::chrono::seconds(40)) {
        far = latest("Far");
        near = latest("Near");
        // A status line can come between the exchange that made the clock usable and the next
        // packet, which is the first to carry a delay: wait for the delay too.
        if (far && far->clockSource == "ptp" && std::abs(far->clockPpm - 50) <= 3 &&
            far->netMs >= 0 && near && near->clockSource == "ptp" && near->netMs >= 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_TRUE(far && near);
    ASSERT_EQ(far->clockSource, "ptp") << "still " << far->clockSource << " after 40 s";
    ASSERT_EQ(near->clockSource, "ptp") << "still " << near->clockSource << " after 40 s";
    EXPECT_NEAR(far->clockPpm, 50, 3);
    EXPECT_NEAR(far->netMs, 30.0, 1.0);
    EXPECT_NEAR(near->clockPpm, 0, 3);
    EXPECT_NEAR(near->netMs, 5.0, 1.0);

    std::this_thread::sleep_until(started + std::chrono::seconds(48));
    const test::Recording recording = record(6.0);
    ASSERT_EQ(recording.channels, 16);
    const double lag =
        lagMs(recording, firstChannelOf("127.0.0.2"), firstChannelOf("127.0.0.3"), 60);
    EXPECT_LT(std::fabs(lag), 1.0) << "Near comes out " << lag << " ms after Far";

    // The TCP phone never takes part in the exchange: no round trip, never the "ptp" source.
    bool sawCable = false;
    for (const auto& line : daemon->lines(Stream::Out)) {
        const auto detail = parseDetail(line);
        if (detail && detail->name == "Cable") {
            sawCable = true;
            EXPECT_EQ(detail->rttMs, 0.0) << line;
            EXPECT_TRUE(detail->clockSource == "arr" || detail->clockSource == "--") << line;
            EXPECT_EQ(detail->netMs, -1.0) << line;
        }
    }
    EXPECT_TRUE(sawCable);
}

TEST_F(TimeSync, WithoutAlignmentEachPhoneKeepsItsOwnNetworkDelay) {
    startDaemon(false);
    clickingPhone("127.0.0.2", "Far", 30, 0, 12);
    clickingPhone("127.0.0.3", "Near", 5, 0, 12);
    ASSERT_TRUE(daemon->waitForLines(Stream::Out, "(Wi-Fi) -> channels", 2, 5000));
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const test::Recording recording = record(5.0);
    ASSERT_EQ(recording.channels, 16);
    const double lag =
        lagMs(recording, firstChannelOf("127.0.0.3"), firstChannelOf("127.0.0.2"), 60);
    EXPECT_NEAR(lag, 25.0, 1.0) << "Far should come out 25 ms after Near";
}

}  // namespace
}  // namespace vocari
