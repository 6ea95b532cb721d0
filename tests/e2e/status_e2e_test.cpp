// What the real daemon prints once a second, read the way the app reads it.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "process.h"
#include "temp_dir.h"

namespace vocari {
namespace {

using test::ChildProcess;
using Stream = ChildProcess::Stream;

constexpr int kStartTimeoutMs = 10000;
const std::string kIdleStatus =
    "[vocarid] phones=0/8  dev=\"Vocari Loopback 16ch\"(16ch)  align=on  dev=+0ppm?  "
    "phone=waiting";

class StatusOutput : public ::testing::Test {
  protected:
    test::TempDir home;
    std::unique_ptr<ChildProcess> daemon;

    void start(ChildProcess::EnvironmentChanges environment = {}) {
        auto changes = test::isolatedEnvironment(home.path());
        changes.merge(environment);
        daemon = ChildProcess::start({test::binaryPath("vocarid")}, changes);
        ASSERT_TRUE(daemon);
        ASSERT_TRUE(daemon->waitForLine(Stream::Out, "vocarid running", kStartTimeoutMs));
    }

    void TearDown() override {
        if (daemon) {
            daemon->sendSignal(SIGTERM);
            EXPECT_EQ(daemon->waitForExit(3000), 0);
        }
    }

    // Output lines from the first status line on.
    std::vector<std::string> periodicLines() const {
        auto lines = daemon->lines(Stream::Out);
        const auto first = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("[vocarid] ", 0) == 0;
        });
        return {first, lines.end()};
    }
};

TEST_F(StatusOutput, WithoutPhonesEachSecondIsTheStatusLineAndAnEmptySessionBlock) {
    start();
    ASSERT_TRUE(daemon->waitForLines(Stream::Out, "sessions: 0", 3, 5000));
    std::vector<std::string> lines = periodicLines();
    lines.resize(lines.size() / 2 * 2);  // a pass may be half written
    ASSERT_GE(lines.size(), 6u);
    for (size_t i = 0; i < lines.size(); i += 2) {
        EXPECT_EQ(lines[i], kIdleStatus);
        EXPECT_EQ(lines[i + 1], "sessions: 0");
    }
}

TEST_F(StatusOutput, DeviceBlockFollowsDevicesPluggedAndUnplugged) {
    start();
    const std::string extra = home.path() + "/audio/extra.device";
    // Plugged in whole: a scan that met a half-written file would only see it a check later.
    test::writeFile(extra + ".part",
                    "uid=extra-loop\nname=Extra Loop\ntransport=virtual\ninput_channels=8\n"
                    "output_channels=8\n");
    std::filesystem::rename(extra + ".part", extra);
    // Devices are compared every fifth pass: a change shows within 5 s.
    ASSERT_TRUE(daemon->waitForLine(Stream::Out, "devices: 2", 9000));
    ASSERT_TRUE(daemon->waitForLine(Stream::Out, "device:\t0\t8\t0\textra-loop\tExtra Loop", 500));
    std::filesystem::remove(extra);
    ASSERT_TRUE(daemon->waitForLines(Stream::Out, "devices: 1", 2, 9000));
    // The block is printed only when it changed: once at start-up, once per change.
    EXPECT_EQ(daemon->countLines(Stream::Out, "devices: "), 3u);
}

// A German locale in the environment (built for this test where the locale sources exist)
// must not turn the decimal points of the status output into commas.
TEST_F(StatusOutput, NumbersKeepTheirPointInAnyLocale) {
    const std::string locales = home.path() + "/locales";
    std::filesystem::create_directories(locales);
    auto localedef = ChildProcess::start(
        {"/usr/bin/localedef", "-i", "de_DE", "-f", "UTF-8", locales + "/de_DE.UTF-8"});
    const ChildProcess::EnvironmentChanges german = {{"LOCPATH", locales},
                                                     {"LC_ALL", "de_DE.UTF-8"}};
    const bool made = localedef && localedef->waitForExit(60000) == 0;
    auto check = ChildProcess::start({"/usr/bin/locale", "decimal_point"}, german);
    if (!made || !check || !check->waitForLine(Stream::Out, ",", 5000)) {
        GTEST_SKIP() << "no de_DE locale can be made here (localedef and its sources missing)";
    }
    start(german);
    const std::string folder = home.path() + "/Library/Application Support/Vocari/pairing";
    const std::string code = test::readFile(folder).substr(0, 6);
    auto streaming = ChildProcess::start({test::binaryPath("vocari-phone"), "--local", "127.0.0.2",
                                          "--code", code, "--seconds", "2.5", "hello", "stream"},
                                         test::isolatedEnvironment(home.path()));
    ASSERT_TRUE(daemon->waitForLines(Stream::Out, "session:\t", 2, 5000));
    bool sawDetail = false;
    for (const auto& line : periodicLines()) {
        if (line.find("pkts=") != std::string::npos) {
            sawDetail = true;
            EXPECT_NE(line.find(" net=-1.0ms "), std::string::npos) << line;
            EXPECT_NE(line.find(" rtt="), std::string::npos) << line;
            EXPECT_EQ(line.find(','), std::string::npos) << line;
        }
        if (line.rfind("session:\t", 0) == 0) {
            EXPECT_EQ(line.find(','), std::string::npos) << line;
            EXPECT_NE(line.find("\t-1.0\t"), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(sawDetail);
    EXPECT_EQ(streaming->waitForExit(10000), 0);
}

}  // namespace
}  // namespace vocari
