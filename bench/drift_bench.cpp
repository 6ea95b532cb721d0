// Clock drift: four phones whose clocks run 300 ppm fast or slow, two over Wi-Fi (time sync on
// UDP 5557) and two over the TCP link (arrival times only), into a loopback device whose own
// clock runs 100 ppm fast. Reads the daemon's status output once a second: each phone's buffer
// against its target, its estimated clock rate against the truth, and the device's.
//
//   drift_bench [--seconds N] [--series FOLDER] [--smoke]
//
// With --series, FOLDER/<phone>.dat holds one row a second (seconds since the phone's first
// status line, buffer − target in ms, estimated − true ppm, trim in ppm, underruns) and
// FOLDER/device.dat (seconds, estimated device ppm); bench/plot-drift draws them.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "stage.h"

namespace {

using vocari::bench::Stage;

constexpr double kDevicePpm = 100.0;
constexpr int kSettleSeconds = 60;

struct Phone {
    const char* name;
    bool tcp;
    double ppm;
};

constexpr Phone kPhones[] = {
    {"wifi-fast", false, 300.0},
    {"wifi-slow", false, -300.0},
    {"usb-fast", true, 300.0},
    {"usb-slow", true, -300.0},
};

// A target that grew (after a late packet or an underrun) leaves the buffer below it while
// audio arrives to fill it, at most 3 ms a second: that is the adaptive target at work, not the
// drift control, so the steady figures leave out this long after each rise.
constexpr int kAfterRiseSeconds = 15;

struct Sample {
    int second;  // since the phone's first status line
    double deviationMs;
    double targetMs;
    int clockPpm;
    int trimPpm;
    unsigned underruns;
    std::string source;
};

struct Report {
    std::vector<Sample> samples;
    // After the settling time:
    int worstClockError = 0;  // the estimate was off by less than this
    double worstDeviation = 0.0;
    double worstSteadyDeviation = 0.0;  // with the target steady
    int seconds = 0;
    int secondsWithin2Ms = 0;
    int rises = 0;
    int lastRise = -1000;
};

// The daemon shows ppm truncated toward zero: +299 is an estimate in [299, 300), -299 one in
// (-300, -299], 0 one in (-1, 1). The estimate was off the truth by less than this.
int errorBound(int shown, double truth) {
    const double low = shown > 0 ? shown : shown - 1;
    const double high = shown < 0 ? shown : shown + 1;
    return static_cast<int>(std::ceil(std::max(std::fabs(low - truth), std::fabs(high - truth))));
}

// Gaps of more than 8 ms in a loop of 1 ms sleeps: the moments the whole machine stood still
// (a virtual machine's host taking its cores away), which every phone and the device share.
class StallWatch {
  public:
    StallWatch()
        : thread_([this] {
              auto previous = std::chrono::steady_clock::now();
              const auto start = previous;
              while (!stop_.load()) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  const auto now = std::chrono::steady_clock::now();
                  const double gapMs =
                      std::chrono::duration<double, std::milli>(now - previous).count();
                  if (gapMs > 8.0) {
                      stalls_.push_back(
                          {std::chrono::duration<double>(now - start).count(), gapMs});
                  }
                  previous = now;
              }
          }) {}
    // Seconds since the watch started, and each stall's length in ms.
    std::vector<std::pair<double, double>> stop() {
        stop_ = true;
        thread_.join();
        return stalls_;
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::pair<double, double>> stalls_;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 600.0;
    std::string series;
    bool smoke = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--series") == 0 && i + 1 < argc) {
            series = argv[++i];
        } else if (std::strcmp(argv[i], "--smoke") == 0) {
            smoke = true;  // only that it works
            seconds = 6.0;
        } else {
            std::fprintf(stderr, "usage: drift_bench [--seconds N] [--series FOLDER] [--smoke]\n");
            return 2;
        }
    }
    StallWatch watch;
    auto stage = Stage::open(512, "", kDevicePpm);
    if (!stage) {
        std::fprintf(stderr, "drift_bench: vocarid did not start\n");
        return 1;
    }
    int octet = 2;
    for (const Phone& phone : kPhones) {
        std::vector<std::string> args = {
            "--name",     phone.name, "--skew-ppm", std::to_string(phone.ppm),
            "--codec",    "opus",     "--frame-ms", "20",
            "--delay-ms", "5",        "--seconds",  std::to_string(seconds)};
        if (phone.tcp) {
            args.push_back("--tcp");
        } else {
            args.insert(args.end(), {"--local", "127.0.0." + std::to_string(octet++)});
        }
        args.insert(args.end(), {"hello", "stream", "bye"});
        stage->phone(args);
    }
    std::printf(
        "drift_bench: %zu phones, Opus 20 ms, balanced, 5 ms network delay, %.0f s; "
        "device clock %+.0f ppm, 512-frame callbacks\n\n",
        std::size(kPhones), seconds, kDevicePpm);
    std::fflush(stdout);
    if (!stage->waitForPhones(static_cast<int>(seconds * 1000) + 30000)) {
        std::fprintf(stderr, "drift_bench: a phone failed\n");
        return 1;
    }
    const auto stalls = watch.stop();

    // One status pass: the device line, then a detail line per phone.
    static const std::regex deviceLine(R"(^\[vocarid\] .* dev=([+-]\d+)ppm(\??) )");
    std::vector<Report> reports(std::size(kPhones));
    std::vector<int> firstPass(std::size(kPhones), -1);
    std::vector<std::pair<int, int>> device;  // pass, ppm
    int pass = 0;
    for (const auto& line : stage->daemon().lines(vocari::test::ChildProcess::Stream::Out)) {
        std::smatch m;
        if (std::regex_search(line, m, deviceLine)) {
            ++pass;
            if (m[2].length() == 0) {
                device.emplace_back(pass, std::stoi(m[1]));
            }
            continue;
        }
        const auto detail = vocari::bench::parseSessionDetail(line);
        if (!detail) {
            continue;
        }
        for (size_t p = 0; p < std::size(kPhones); ++p) {
            if (detail->name != kPhones[p].name) {
                continue;
            }
            if (firstPass[p] < 0) {
                firstPass[p] = pass;
            }
            Sample sample{pass - firstPass[p], detail->bufferMs - detail->targetMs,
                          detail->targetMs,    detail->clockPpm,
                          detail->trimPpm,     detail->underruns,
                          detail->clockSource};
            Report& report = reports[p];
            if (!report.samples.empty() && sample.targetMs > report.samples.back().targetMs) {
                report.lastRise = sample.second;
                report.rises += sample.second >= kSettleSeconds ? 1 : 0;
            }
            if (sample.second >= kSettleSeconds) {
                const double off = std::fabs(sample.deviationMs);
                report.worstDeviation = std::max(report.worstDeviation, off);
                if (sample.second - report.lastRise > kAfterRiseSeconds) {
                    report.worstSteadyDeviation = std::max(report.worstSteadyDeviation, off);
                }
                ++report.seconds;
                report.secondsWithin2Ms += off <= 2.0 ? 1 : 0;
                report.worstClockError =
                    std::max(report.worstClockError, errorBound(sample.clockPpm, kPhones[p].ppm));
            }
            report.samples.push_back(sample);
        }
    }

    std::printf(
        "| phone | link | true ppm | clock source | estimated ppm (end) | worst estimate error "
        "| trim (end) | seconds within ±2 ms of target | worst |buffer − target| | the same, "
        "target steady | target rises | underruns after priming |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    bool complete = true;
    for (size_t p = 0; p < std::size(kPhones); ++p) {
        const Report& report = reports[p];
        if (report.samples.empty()) {
            std::printf("| %s | - | - | never seen | | | | | | | | |\n", kPhones[p].name);
            complete = false;
            continue;
        }
        const Sample& last = report.samples.back();
        char clockError[32] = "-";
        char within[32] = "-";
        char deviation[32] = "-";
        char steady[32] = "-";
        if (report.seconds > 0) {
            std::snprintf(clockError, sizeof clockError, "< %d ppm", report.worstClockError);
            std::snprintf(within, sizeof within, "%.1f %%",
                          100.0 * report.secondsWithin2Ms / report.seconds);
            std::snprintf(deviation, sizeof deviation, "%.0f ms", report.worstDeviation);
            std::snprintf(steady, sizeof steady, "%.0f ms", report.worstSteadyDeviation);
        }
        std::printf("| %s | %s | %+.0f | %s | %+d | %s | %+d | %s | %s | %s | %d | %u |\n",
                    kPhones[p].name, kPhones[p].tcp ? "TCP" : "UDP", kPhones[p].ppm,
                    last.source.c_str(), last.clockPpm, clockError, last.trimPpm, within, deviation,
                    steady, report.rises, last.underruns);
        if (!series.empty()) {
            std::filesystem::create_directories(series);
            std::ofstream out(series + "/" + kPhones[p].name + ".dat");
            out << "# second  buffer-target_ms  estimated-true_ppm  trim_ppm  underruns  "
                   "target_ms\n";
            for (const Sample& s : report.samples) {
                out << s.second << ' ' << s.deviationMs << ' '
                    << s.clockPpm - static_cast<int>(kPhones[p].ppm) << ' ' << s.trimPpm << ' '
                    << s.underruns << ' ' << s.targetMs << '\n';
            }
        }
    }
    if (!device.empty()) {
        int lowest = device.back().second;
        int highest = lowest;
        for (const auto& [at, ppm] : device) {
            if (at - device.front().first >= kSettleSeconds) {
                lowest = std::min(lowest, ppm);
                highest = std::max(highest, ppm);
            }
        }
        std::printf(
            "\ndevice: true %+.0f ppm, estimated %+d ppm at the end (%+d to %+d after %d "
            "s)\n",
            kDevicePpm, device.back().second, lowest, highest, kSettleSeconds);
        if (!series.empty()) {
            std::ofstream out(series + "/device.dat");
            for (const auto& [at, ppm] : device) {
                out << at - device.front().first << ' ' << ppm << '\n';
            }
        }
    } else {
        std::printf("\ndevice: not measured\n");
        complete = smoke ? complete : false;
    }
    double longest = 0.0;
    std::string when;
    for (const auto& [at, ms] : stalls) {
        longest = std::max(longest, ms);
        if (ms > 15.0) {
            char moment[48];
            std::snprintf(moment, sizeof moment, "%s%.0f ms at %.0f s", when.empty() ? "" : ", ",
                          ms, at);
            when += moment;
        }
    }
    std::printf(
        "\nfigures after the first %d s; a rise's %d s after it are left out of "
        "\"target steady\"\nmachine stalls over 8 ms seen by a 1 ms sleep loop: %zu, the "
        "longest %.0f ms%s%s\n",
        kSettleSeconds, kAfterRiseSeconds, stalls.size(), longest,
        when.empty() ? "" : "; over 15 ms: ", when.c_str());
    if (!series.empty()) {
        std::ofstream out(series + "/stalls.dat");
        for (const auto& [at, ms] : stalls) {
            out << at << ' ' << ms << '\n';
        }
    }
    std::printf(
        "\nppm are shown by the daemon to the whole ppm (truncated toward zero); buffer "
        "and target to the whole ms.\n");
    return complete ? 0 : 1;
}
