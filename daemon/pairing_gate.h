#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "clock.h"
#include "lines.h"

namespace vocari {

// The six-digit code a phone must present in its HELLO, and the verdict on every HELLO. Five
// wrong codes within 30 s lock the gate for everybody for 30 s.
class PairingGate {
  public:
    static constexpr uint32_t kMinCode = 100000;
    static constexpr uint32_t kMaxCode = 999999;
    static constexpr int64_t kWindowNs = 30'000'000'000;
    static constexpr int64_t kLockoutNs = 30'000'000'000;
    static constexpr int kFailuresBeforeLockout = 5;
    // While locked, each sender's HELLOs are answered with a line at most once a second, and
    // all senders' together with at most this many lines a second.
    static constexpr int64_t kIgnoredLineIntervalNs = 1'000'000'000;
    static constexpr int kIgnoredLinesPerSecond = 8;

    // A non-zero `code` is used as it is and the file is left alone; 0 loads the code from `path`
    // or makes a random one and saves it. Refusals are printed to `out`.
    PairingGate(std::string path, uint32_t code, const Clock& clock = systemClock(),
                LineSink& out = stdoutLines());

    // Written only by the constructor, so any thread may read it without the lock.
    uint32_t code() const { return code_; }
    const std::string& path() const { return path_; }

    // Writes the code to the file (creating missing folders, 0700; the file 0600). Failures are
    // silent: the code is still used for this run.
    void save() const;

    // Any thread. The verdict on one HELLO; `from` names the sender in the lines printed.
    bool helloAuthorized(std::span<const uint8_t> message, const char* from);

  private:
    std::string path_;
    uint32_t code_ = 0;
    const Clock& clock_;
    LineSink& out_;

    std::mutex mutex_;
    int failures_ = 0;         // guarded by mutex_
    int64_t windowStart_ = 0;  // guarded by mutex_
    int64_t lockedUntil_ = 0;  // guarded by mutex_

    // The senders last told they are ignored, and when. All guarded by mutex_.
    struct IgnoredSender {
        size_t key = 0;
        int64_t toldAt = std::numeric_limits<int64_t>::min() / 2;
    };
    std::array<IgnoredSender, kIgnoredLinesPerSecond> ignoredSenders_{};
    int64_t ignoredSecondStart_ = std::numeric_limits<int64_t>::min() / 2;
    int ignoredLinesThisSecond_ = 0;

    bool mayTellIgnored(const char* from, int64_t now);
};

// Reads the pairing file's text the way the daemon always has: leading white space skipped, one
// unsigned decimal number (an optional sign, as scanf's %lu takes it), anything after it ignored.
// Gives the code only when that number lies in [100000, 999999].
std::optional<uint32_t> parsePairingCode(std::string_view text);

}  // namespace vocari
