#pragma once

// A stage for whole-process measurements: the real vocarid on a simulated loopback device of a
// chosen callback size, in a folder of its own, with simulated phones, recordings and the
// daemon's status lines read back. Every process is ended by PID when the stage goes away.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio_test_support.h"
#include "process.h"
#include "temp_dir.h"

namespace vocari::bench {

// One phone's session detail line, as the daemon printed it.
struct SessionDetail {
    int slot = 0;
    std::string name;
    uint64_t packets = 0;
    double bufferMs = 0.0;
    double targetMs = 0.0;
    int trimPpm = 0;
    int clockPpm = 0;
    std::string clockSource;
    double netMs = -1.0;
    unsigned underruns = 0;
    std::string preset;
};

std::optional<SessionDetail> parseSessionDetail(const std::string& line);

// A recording of the loopback device and when its first frame played.
struct TimedRecording {
    test::Recording audio;
    std::optional<int64_t> firstFrameHostNs;  // CLOCK_MONOTONIC
    double nsPerFrame = 1e9 / 48000.0;
};

class Stage {
  public:
    // `deviceFrames`: the simulated loopback's callback size. `deviceFile`: the daemon's
    // `device` settings file, or empty for none. `devicePpm`: the loopback clock's rate error
    // against the host's. Null when vocarid does not start.
    // `environment`: changes over the daemon's isolated environment (a PipeWire server's).
    static std::unique_ptr<Stage> open(
        uint32_t deviceFrames, const std::string& deviceFile = "", double devicePpm = 0.0,
        const test::ChildProcess::EnvironmentChanges& environment = {});
    ~Stage();

    uint32_t pairingCode() const { return code_; }
    test::ChildProcess& daemon() { return *daemon_; }
    const std::string& home() const { return home_.path(); }

    // Starts vocari-phone with these arguments (the pairing code is added) and keeps it.
    test::ChildProcess* phone(std::vector<std::string> args);
    // What phone `index` (in start order) printed so far.
    std::vector<std::string> phoneLines(size_t index) const;
    // Waits for every phone started so far to end by itself; false when one fails or hangs.
    bool waitForPhones(int timeoutMs);

    // Records the loopback device for `seconds` from now.
    std::optional<TimedRecording> record(double seconds);

    // The detail lines printed so far, oldest first, with the index of the status pass.
    struct Pass {
        int index;
        SessionDetail detail;
    };
    std::vector<Pass> details() const;

  private:
    Stage() = default;

    test::TempDir home_;
    std::unique_ptr<test::ChildProcess> daemon_;
    std::vector<std::unique_ptr<test::ChildProcess>> phones_;
    uint32_t code_ = 0;
};

// The clicks of a recorded channel: the position of each, in frames with a fraction (the centre
// of the few samples interpolation spread it over), for samples above `threshold`.
std::vector<double> findClicks(const std::vector<float>& channel, float threshold);

// CPU seconds each thread of a process has run so far, by thread name (threads that share a
// name add up), from the scheduler's nanosecond counts; and their sum.
std::map<std::string, double> threadCpuSeconds(pid_t pid);
double total(const std::map<std::string, double>& threads);

// A process's resident set now ("VmRSS") or at its peak ("VmHWM"), in MiB; 0 when unknown.
double residentMiB(pid_t pid, const char* field = "VmRSS");
inline double peakResidentMiB(pid_t pid) {
    return residentMiB(pid, "VmHWM");
}

// Median of a list (which it sorts); NaN when empty.
double median(std::vector<double> values);

}  // namespace vocari::bench
