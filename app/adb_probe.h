#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link_states.h"

// The USB tunnel's one examination of the world: find the adb tool, ask it for the attached
// phones, keep `adb reverse` in place for the first authorised one (or take it away while
// Bluetooth has the phone), and name the phone. No Qt: it runs on the bridge's worker.
namespace vocari::app {

// What `adb devices` says: the first phone in state "device", and whether a phone waits for
// the user to allow USB debugging.
struct AdbDevices {
    std::optional<std::string> served;
    bool unauthorized = false;
};

AdbDevices parseAdbDevices(std::string_view text);

// Runs the tool with these arguments (the tool's path excluded): its output, or none when it
// could not run, ran too long or printed something that is not UTF-8.
using AdbTool = std::function<std::optional<std::string>(const std::vector<std::string>&)>;

// One probe through `tool`, for the phone port and computer port `port`.
AdbState probeAdb(const AdbTool& tool, bool suspended, uint16_t port);

// Where the tool is looked for, in order: beside the app, Android Studio's SDK folders (macOS
// layout, then Linux), the usual package managers' folders, then Debian's. The search path is
// not used: what the app runs does not depend on how it was started.
std::vector<std::string> adbCandidates(const std::string& home, const std::string& appFolder);
std::optional<std::string> findAdb(const std::string& home, const std::string& appFolder);

// Runs `path` with `args`; standard error is discarded. A child still running after `limit`,
// or when `cancel` becomes true, is killed by its PID and gives none. Output that is not UTF-8
// gives none; the exit status is not looked at.
std::optional<std::string> runTool(const std::string& path, const std::vector<std::string>& args,
                                   std::chrono::milliseconds limit,
                                   const std::atomic<bool>* cancel = nullptr);

}  // namespace vocari::app
