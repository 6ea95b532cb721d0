// The USB tunnel's probe over scripted tool output, and running the real thing: a hung tool,
// output that is not text, where the tool is looked for.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "adb_probe.h"
#include "temp_dir.h"

namespace vocari::app {
namespace {

// A tool whose answers are given per command line; every call is kept.
struct ScriptedTool {
    std::map<std::string, std::string> answers;  // joined arguments → output
    std::vector<std::string> calls;

    AdbState probe(bool suspended = false) {
        return probeAdb(
            [this](const std::vector<std::string>& args) -> std::optional<std::string> {
                std::string line;
                for (const std::string& arg : args) {
                    line += (line.empty() ? "" : " ") + arg;
                }
                calls.push_back(line);
                const auto answer = answers.find(line);
                if (answer == answers.end()) {
                    return std::nullopt;
                }
                return answer->second;
            },
            suspended, 5555);
    }
    bool called(const std::string& line) const {
        return std::find(calls.begin(), calls.end(), line) != calls.end();
    }
};

const std::string kHeader = "List of devices attached\n";

TEST(AdbProbe, DeviceListsAreReadLineByLine) {
    const struct {
        std::string devices;
        AdbState expected;
    } cases[] = {
        {kHeader, {AdbState::Kind::NoDevice, {}}},
        {"", {AdbState::Kind::NoDevice, {}}},
        {kHeader + "AAA\tunauthorized\nBBB\tdevice\n", {AdbState::Kind::Ready, "BBB"}},
        {kHeader + "BBB\tdevice\r\nAAA\tunauthorized\r\n", {AdbState::Kind::Ready, "BBB"}},
        {kHeader + "AAA\t unauthorized \nCCC\toffline\nDDD device\n",
         {AdbState::Kind::Unauthorized, {}}},
        {kHeader + "CCC\toffline\n\nno tab here\n", {AdbState::Kind::NoDevice, {}}},
    };
    for (const auto& c : cases) {
        ScriptedTool tool;
        tool.answers["devices"] = c.devices;
        EXPECT_EQ(tool.probe(), c.expected) << c.devices;
    }
}

TEST(AdbProbe, TheFirstServedPhoneIsMappedOnceAndNamedByModelOrSerial) {
    ScriptedTool tool;
    tool.answers["devices"] = kHeader + "first\tdevice\nsecond\tdevice\n";
    tool.answers["-s first shell getprop ro.product.model"] = "  Pixel 7\r\n";
    EXPECT_EQ(tool.probe(), (AdbState{AdbState::Kind::Ready, "Pixel 7"}));
    EXPECT_TRUE(tool.called("-s first reverse tcp:5555 tcp:5555"));
    EXPECT_FALSE(tool.called("-s second reverse --list"));

    // Already mapped: not asked again. An empty model: the serial names the phone.
    tool.calls.clear();
    tool.answers["-s first reverse --list"] = "UsbFfs tcp:5555 tcp:5555\n";
    tool.answers["-s first shell getprop ro.product.model"] = "\n";
    EXPECT_EQ(tool.probe(), (AdbState{AdbState::Kind::Ready, "first"}));
    EXPECT_FALSE(tool.called("-s first reverse tcp:5555 tcp:5555"));

    // Standing aside for Bluetooth: the mapping goes, and only when there is one.
    EXPECT_EQ(tool.probe(true), (AdbState{AdbState::Kind::Yielded, "first"}));
    EXPECT_TRUE(tool.called("-s first reverse --remove tcp:5555"));
    tool.calls.clear();
    tool.answers.erase("-s first reverse --list");
    EXPECT_EQ(tool.probe(true), (AdbState{AdbState::Kind::Yielded, "first"}));
    EXPECT_FALSE(tool.called("-s first reverse --remove tcp:5555"));
}

TEST(AdbProbe, AHungToolIsKilledAndGivesNothingWhileLongOutputComesWhole) {
    test::TempDir dir;
    const std::string pidFile = dir.file("pid");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(runTool("/bin/sh", {"-c", "echo $$ > " + pidFile + "; exec sleep 60"},
                      std::chrono::milliseconds(300)),
              std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    const pid_t hung = std::stoi(test::readFile(pidFile));
    EXPECT_NE(kill(hung, 0), 0) << "the hung tool still runs";

    // More than a pipe holds, and a tool that exits with an error still gives its output.
    const auto big = runTool("/bin/sh", {"-c", "head -c 300000 /dev/zero | tr '\\0' x; exit 3"},
                             std::chrono::seconds(20));
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->size(), 300000u);
    EXPECT_EQ(runTool("/bin/sh", {"-c", "printf 'bad \\377'"}, std::chrono::seconds(20)),
              std::nullopt);
    EXPECT_EQ(runTool(dir.file("missing"), {}, std::chrono::seconds(20)), std::nullopt);
}

TEST(AdbProbe, TheToolIsFoundInTheSdkFolderButNeverThroughThePath) {
    test::TempDir home;
    const std::string onPath = home.file("bin/adb");
    std::filesystem::create_directories(home.file("bin"));
    test::writeFile(onPath, "#!/bin/sh\n");
    chmod(onPath.c_str(), 0755);
    setenv("PATH", home.file("bin").c_str(), 1);
    EXPECT_NE(findAdb(home.path(), home.file("app")), onPath);

    const std::string sdk = home.file("Android/Sdk/platform-tools/adb");
    std::filesystem::create_directories(home.file("Android/Sdk/platform-tools"));
    test::writeFile(sdk, "#!/bin/sh\n");
    EXPECT_NE(findAdb(home.path(), home.file("app")), sdk) << "not executable";
    chmod(sdk.c_str(), 0755);
    EXPECT_EQ(findAdb(home.path(), home.file("app")), sdk);
}

}  // namespace
}  // namespace vocari::app
