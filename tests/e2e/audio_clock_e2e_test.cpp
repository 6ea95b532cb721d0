// The output unit's measurement of its device's sample clock, on simulated devices that run
// fast and slow in real time. The measurement is only believed after 30 s, so this test waits.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "audio_out.h"
#include "clock.h"
#include "devices.h"
#include "recording_sink.h"
#include "session_table.h"
#include "temp_dir.h"

namespace vocari {
namespace {

using test::RecordingSink;

constexpr double kRate = 48000.0;
constexpr double kTolerance = 20e-6;

void sleepUntil(int64_t deadlineNs) {
    const int64_t now = monotonicNowNs();
    if (deadlineNs > now) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(deadlineNs - now));
    }
}

struct ClockedOutput {
    SessionTable table{kRate, 45.0};
    RecordingSink out;
    RecordingSink err;
    AudioOut output{out, err};

    ~ClockedOutput() { output.stop(); }
};

TEST(DeviceClock, RatioOfFastAndSlowDevicesIsMeasuredAfterThirtySeconds) {
    test::TempDir home;
    const std::string folder = home.file("audio");
    std::filesystem::create_directories(folder);
    test::writeFile(folder + "/fast.device",
                    "uid=test:fast\nname=Fast Loop\ntransport=virtual\ninput_channels=2\n"
                    "output_channels=2\nbuffer_frames=512\nrate_ppm=500\n");
    test::writeFile(folder + "/slow.device",
                    "uid=test:slow\nname=Slow Loop\ntransport=virtual\ninput_channels=2\n"
                    "output_channels=2\nbuffer_frames=256\nrate_ppm=-250\n");
    setenv("VOCARI_AUDIO_DIR", folder.c_str(), 1);
    setenv("JACK_DEFAULT_SERVER", ("vocari-clock-absent-" + std::to_string(getpid())).c_str(), 1);

    ClockedOutput fast;
    ClockedOutput slow;
    ASSERT_TRUE(fast.output.start(&fast.table, kRate, OutputTarget{"test:fast", 0, true}));
    ASSERT_TRUE(slow.output.start(&slow.table, kRate, OutputTarget{"test:slow", 0, true}));
    const int64_t started = monotonicNowNs();
    EXPECT_EQ(fast.output.deviceName(), "Fast Loop");
    EXPECT_EQ(slow.output.deviceName(), "Slow Loop");

    // Short of 30 s nothing is believed, however clear the clock already is.
    sleepUntil(started + 29'000'000'000);
    EXPECT_FALSE(fast.output.measuredRatioValid());
    EXPECT_FALSE(slow.output.measuredRatioValid());
    EXPECT_EQ(fast.output.measuredRatio(), 1.0);
    EXPECT_EQ(slow.output.measuredRatio(), 1.0);
    EXPECT_GT(fast.table.lastRenderNs.load(), started) << "the fast device never rendered";
    EXPECT_GT(slow.table.lastRenderNs.load(), started) << "the slow device never rendered";

    sleepUntil(started + 31'000'000'000);
    const double fastRatio = fast.output.measuredRatio();
    const double slowRatio = slow.output.measuredRatio();
    std::printf("measured ratios after 31 s: fast %.7f (%+.1f ppm), slow %.7f (%+.1f ppm)\n",
                fastRatio, (fastRatio - 1.0) * 1e6, slowRatio, (slowRatio - 1.0) * 1e6);
    EXPECT_TRUE(fast.output.measuredRatioValid());
    EXPECT_TRUE(slow.output.measuredRatioValid());
    EXPECT_NEAR(fastRatio, 1.0005, kTolerance);
    EXPECT_NEAR(slowRatio, 0.99975, kTolerance);
    EXPECT_TRUE(fast.err.lines().empty());
    EXPECT_TRUE(slow.err.lines().empty());

    fast.output.stop();
    slow.output.stop();
    unsetenv("VOCARI_AUDIO_DIR");
    unsetenv("JACK_DEFAULT_SERVER");
}

}  // namespace
}  // namespace vocari
