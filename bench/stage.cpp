#include "stage.h"

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>

namespace vocari::bench {

std::optional<SessionDetail> parseSessionDetail(const std::string& line) {
    static const std::regex pattern(
        R"(^  \[(\d)\] ch\d+-\d+ (\S+) +pkts=(\d+) buf=(-?\d+)ms\(t(\d+)\) trim=(-?\d+)ppm )"
        R"(clk=([+-]\d+)ppm\(([a-z+-]+)\) net=(-?[0-9.]+)ms xruns=(\d+) rtt=[0-9.]+ms \[(\w+)/)");
    std::smatch m;
    if (!std::regex_search(line, m, pattern)) {
        return std::nullopt;
    }
    SessionDetail detail;
    detail.slot = std::stoi(m[1]);
    detail.name = m[2];
    detail.packets = std::stoull(m[3]);
    detail.bufferMs = std::stod(m[4]);
    detail.targetMs = std::stod(m[5]);
    detail.trimPpm = std::stoi(m[6]);
    detail.clockPpm = std::stoi(m[7]);
    detail.clockSource = m[8];
    detail.netMs = std::stod(m[9]);
    detail.underruns = static_cast<unsigned>(std::stoul(m[10]));
    detail.preset = m[11];
    return detail;
}

std::unique_ptr<Stage> Stage::open(uint32_t deviceFrames, const std::string& deviceFile,
                                   double devicePpm,
                                   const test::ChildProcess::EnvironmentChanges& environment) {
    std::unique_ptr<Stage> stage(new Stage());
    const std::string home = stage->home_.path();
    std::filesystem::create_directories(home + "/audio");
    test::writeFile(home + "/audio/loop.device",
                    "uid=vocari-loopback-16ch\nname=Vocari Loopback 16ch\ntransport=virtual\n"
                    "input_channels=16\noutput_channels=16\nbuffer_frames=" +
                        std::to_string(deviceFrames) + "\nrate_ppm=" + std::to_string(devicePpm) +
                        "\n");
    if (!deviceFile.empty()) {
        const std::string settings = home + "/Library/Application Support/Vocari";
        std::filesystem::create_directories(settings);
        test::writeFile(settings + "/device", deviceFile);
    }
    auto daemonEnvironment = test::isolatedEnvironment(home);
    for (const auto& [key, value] : environment) {
        daemonEnvironment[key] = value;
    }
    stage->daemon_ = test::ChildProcess::start({test::binaryPath("vocarid")}, daemonEnvironment);
    if (!stage->daemon_ ||
        !stage->daemon_->waitForLine(test::ChildProcess::Stream::Out, "vocarid running", 10000)) {
        return nullptr;
    }
    for (const auto& line : stage->daemon_->lines(test::ChildProcess::Stream::Out)) {
        if (line.rfind("pairing code: ", 0) == 0) {
            stage->code_ = static_cast<uint32_t>(std::stoul(line.substr(14)));
        }
    }
    return stage->code_ != 0 ? std::move(stage) : nullptr;
}

Stage::~Stage() {
    for (auto& phone : phones_) {
        phone->sendSignal(SIGTERM);
        phone->waitForExit(3000);
    }
    if (daemon_) {
        daemon_->sendSignal(SIGTERM);
        daemon_->waitForExit(3000);
    }
}

test::ChildProcess* Stage::phone(std::vector<std::string> args) {
    args.insert(args.begin(), {test::binaryPath("vocari-phone"), "--code", std::to_string(code_)});
    phones_.push_back(test::ChildProcess::start(args, test::isolatedEnvironment(home_.path())));
    return phones_.back().get();
}

std::vector<std::string> Stage::phoneLines(size_t index) const {
    return index < phones_.size() ? phones_[index]->lines(test::ChildProcess::Stream::Out)
                                  : std::vector<std::string>{};
}

bool Stage::waitForPhones(int timeoutMs) {
    bool ok = true;
    for (auto& phone : phones_) {
        ok = phone->waitForExit(timeoutMs) == 0 && ok;
    }
    return ok;
}

std::optional<TimedRecording> Stage::record(double seconds) {
    const std::string file = home_.file("recording.wav");
    auto capture = test::ChildProcess::start(
        {test::binaryPath("vocari-capture"), "--device", "vocari-loopback-16ch", "--seconds",
         std::to_string(seconds), "--out", file},
        test::isolatedEnvironment(home_.path()));
    if (!capture || capture->waitForExit(static_cast<int>(seconds * 1000) + 10000) != 0) {
        return std::nullopt;
    }
    TimedRecording recording;
    recording.audio = test::readRecording(file);
    static const std::regex timing(
        R"(first frame played at (\d+) ns on CLOCK_MONOTONIC, each next one ([0-9.]+) ns later)");
    for (const auto& line : capture->lines(test::ChildProcess::Stream::Out)) {
        std::smatch m;
        if (std::regex_search(line, m, timing)) {
            recording.firstFrameHostNs = std::stoll(m[1]);
            recording.nsPerFrame = std::stod(m[2]);
        }
    }
    return recording;
}

std::vector<Stage::Pass> Stage::details() const {
    std::vector<Pass> passes;
    int index = 0;
    for (const auto& line : daemon_->lines(test::ChildProcess::Stream::Out)) {
        if (line.rfind("[vocarid] ", 0) == 0) {
            ++index;
        } else if (auto detail = parseSessionDetail(line)) {
            passes.push_back({index, *detail});
        }
    }
    return passes;
}

std::vector<double> findClicks(const std::vector<float>& channel, float threshold) {
    std::vector<double> clicks;
    for (size_t i = 0; i < channel.size(); ++i) {
        if (std::fabs(channel[i]) < threshold) {
            continue;
        }
        // The click and its neighbours: linear interpolation spreads one sample over two.
        const size_t from = i == 0 ? 0 : i - 1;
        const size_t to = std::min(channel.size(), i + 3);
        double weight = 0.0;
        double moment = 0.0;
        for (size_t j = from; j < to; ++j) {
            weight += std::fabs(channel[j]);
            moment += std::fabs(channel[j]) * static_cast<double>(j);
        }
        clicks.push_back(moment / weight);
        i = to;
    }
    return clicks;
}

std::map<std::string, double> threadCpuSeconds(pid_t pid) {
    std::map<std::string, double> threads;
    std::error_code error;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream comm(task.path() / "comm");
        std::ifstream schedstat(task.path() / "schedstat");
        std::string name;
        double ns = 0.0;
        if (std::getline(comm, name) && schedstat >> ns) {
            threads[name] += ns / 1e9;
        }
    }
    return threads;
}

double total(const std::map<std::string, double>& threads) {
    double sum = 0.0;
    for (const auto& [name, seconds] : threads) {
        sum += seconds;
    }
    return sum;
}

double residentMiB(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string key = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::stod(line.substr(key.size())) / 1024.0;
        }
    }
    return 0.0;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

}  // namespace vocari::bench
