// Phone-to-loopback latency on a clean loopback link: a simulated phone plays clicks at known
// moments of the host clock; the recording of the loopback device, with the time its first frame
// played, says when each click came out. Whole processes: vocarid, vocari-phone, vocari-capture.
//
//   latency_bench [--device-frames N] [--seconds-before S]
//
// Prints one table row per preset and packet size.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "stage.h"

namespace {

using vocari::bench::Stage;

constexpr int64_t kClickPeriodNs = 500'000'000;

struct Case {
    const char* preset;  // as vocari-phone's --preset takes it
    const char* name;
    int fixedMs;
    int packetFrames;
};

struct Outcome {
    bool ok = false;
    std::string why;
    double totalMs = 0.0;      // median over the clicks, from the moment each was heard
    double phoneWaitMs = 0.0;  // of that, until the phone sent the message carrying it
    double spreadMs = 0.0;     // largest minus smallest
    int clicks = 0;
    double targetMs = 0.0;
    unsigned underruns = 0;
};

Outcome measure(const Case& c, uint32_t deviceFrames, int settleSeconds) {
    Outcome outcome;
    auto stage = Stage::open(deviceFrames);
    if (!stage) {
        outcome.why = "vocarid did not start";
        return outcome;
    }
    const double seconds = settleSeconds + 6.0;
    stage->phone({"--local",
                  "127.0.0.2",
                  "--name",
                  "Clicker",
                  "--clicks-every-ms",
                  "500",
                  "--level",
                  "0.8",
                  "--preset",
                  c.preset,
                  "--fixed-ms",
                  std::to_string(c.fixedMs),
                  "--frames",
                  std::to_string(c.packetFrames),
                  "--seconds",
                  std::to_string(seconds),
                  "--no-time-sync",
                  "hello",
                  "stream",
                  "bye"});
    std::this_thread::sleep_for(std::chrono::seconds(settleSeconds));
    const int passBefore = stage->details().empty() ? 0 : stage->details().back().index;
    const auto recording = stage->record(4.0);
    const auto passes = stage->details();
    if (!recording || !recording->firstFrameHostNs || recording->audio.channels < 2) {
        outcome.why = "no timed recording";
        return outcome;
    }
    // The target while the recording ran must be one value, or the latency has no reference.
    double target = -1.0;
    for (const auto& pass : passes) {
        if (pass.index < passBefore) {
            continue;
        }
        if (target >= 0.0 && pass.detail.targetMs != target) {
            outcome.why = "the target moved while recording";
            return outcome;
        }
        target = pass.detail.targetMs;
        outcome.underruns = pass.detail.underruns;
    }
    outcome.targetMs = target;
    if (!stage->waitForPhones(20000)) {
        outcome.why = "the phone failed";
        return outcome;
    }
    // The phone holds each click until its message is full: that wait is the phone's, not the
    // receiver's, and it is known from when the stream's first frame was captured.
    int64_t streamStart = -1;
    for (const auto& line : stage->phoneLines(0)) {
        const auto at = line.find("stream began at host time ");
        if (at != std::string::npos) {
            streamStart = std::stoll(line.substr(at + 26));
        }
    }
    if (streamStart < 0) {
        outcome.why = "the phone did not say when it started";
        return outcome;
    }
    const double packetNs = c.packetFrames * 1e9 / 48000.0;
    std::vector<double> latencies;
    std::vector<double> waits;
    for (const double at : vocari::bench::findClicks(recording->audio.channel(0), 0.05F)) {
        const double hostNs =
            static_cast<double>(*recording->firstFrameHostNs) + at * recording->nsPerFrame;
        const double sinceClick = std::fmod(hostNs, static_cast<double>(kClickPeriodNs));
        const double clickNs = hostNs - sinceClick;
        const double intoPacket = std::fmod(clickNs - static_cast<double>(streamStart), packetNs);
        latencies.push_back(sinceClick / 1e6);
        waits.push_back((packetNs - intoPacket) / 1e6);
    }
    outcome.phoneWaitMs = vocari::bench::median(waits);
    outcome.clicks = static_cast<int>(latencies.size());
    if (latencies.empty()) {
        outcome.why = "no clicks heard";
        return outcome;
    }
    outcome.spreadMs = *std::max_element(latencies.begin(), latencies.end()) -
                       *std::min_element(latencies.begin(), latencies.end());
    outcome.totalMs = vocari::bench::median(latencies);
    outcome.ok = true;
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t deviceFrames = 512;
    int settleSeconds = 9;
    bool smoke = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--device-frames") == 0 && i + 1 < argc) {
            deviceFrames = static_cast<uint32_t>(std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--seconds-before") == 0 && i + 1 < argc) {
            settleSeconds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--smoke") == 0) {
            // Only that it works: the first case, soon after it starts.
            smoke = true;
            settleSeconds = 2;
        }
    }
    const double periodMs = deviceFrames / 48.0;
    std::printf("device callback %u frames (%.2f ms)\n\n", deviceFrames, periodMs);
    std::printf(
        "| preset | packet | target | total | in the phone | in the receiver | over the target "
        "| added (receiver − target − one period) | spread | clicks | underruns |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|\n");
    const Case cases[] = {
        {"0", "low", 0, 240},       {"0", "low", 0, 480},       {"0", "low", 0, 960},
        {"1", "balanced", 0, 240},  {"1", "balanced", 0, 480},  {"1", "balanced", 0, 960},
        {"2", "safe", 0, 240},      {"2", "safe", 0, 480},      {"2", "safe", 0, 960},
        {"3", "fixed 40", 40, 240}, {"3", "fixed 40", 40, 480}, {"3", "fixed 40", 40, 960},
    };
    bool failed = false;
    for (const Case& c : cases) {
        if (smoke && &c != cases) {
            break;
        }
        const Outcome o = measure(c, deviceFrames, settleSeconds);
        const double packetMs = c.packetFrames / 48.0;
        if (!o.ok) {
            std::printf("| %s | %.0f ms | - | %s |\n", c.name, packetMs, o.why.c_str());
            failed = true;
            continue;
        }
        const double receiver = o.totalMs - o.phoneWaitMs;
        std::printf(
            "| %s | %.0f ms | %.0f ms | %.2f ms | %.2f ms | %.2f ms | %+.2f ms | %+.2f ms | "
            "%.2f ms | %d | %u |\n",
            c.name, packetMs, o.targetMs, o.totalMs, o.phoneWaitMs, receiver, receiver - o.targetMs,
            receiver - o.targetMs - periodMs, o.spreadMs, o.clicks, o.underruns);
        std::fflush(stdout);
    }
    return failed ? 1 : 0;
}
