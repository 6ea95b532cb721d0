// vocarid on bad networks, side by side with a GStreamer receiver fed the very same packets:
// one simulated Opus phone per row (20 ms packets) streams through its own impairments to
// vocarid and, as RTP at the same moments, to gst_peer's jitter buffers at several latencies.
//
//   network_bench [--seconds N] [--only SUBSTRING] [--series FOLDER]
//
// Prints one table row per preset and network, then the comparison with the peer. With
// --series, writes each row's buffer and target over time to FOLDER/<row>.dat for plotting.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "stage.h"

namespace {

using vocari::bench::Stage;
using vocari::test::ChildProcess;

constexpr int kPeerPort = 6000;
const std::vector<int> kPeerLatencies = {10, 15, 20,  25,  30,  40,  50,
                                         60, 80, 100, 120, 160, 200, 250};

struct Network {
    const char* name;
    std::vector<std::string> args;
};

struct Peer {
    int latencyMs;
    double droppedPerMinute;  // packets that came but were not played
};

struct Row {
    bool ok = false;
    double minutes = 0.0;
    unsigned underruns = 0;
    double meanBufferMs = 0.0;
    double finalTargetMs = 0.0;
    uint64_t made = 0;
    uint64_t lost = 0;
    uint64_t dropped = 0;  // came, but not played: too late, or overtaken and given up on
    uint64_t played = 0;
    std::vector<Peer> peer;
    std::vector<std::pair<int, vocari::bench::SessionDetail>> series;
};

uint64_t number(const std::string& text, const std::string& before) {
    const auto at = text.find(before);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + before.size()));
}

Row run(const char* preset, const Network& network, double seconds) {
    Row row;
    auto stage = Stage::open(512);
    if (!stage) {
        return row;
    }
    std::string latencies;
    for (const int latency : kPeerLatencies) {
        latencies += (latencies.empty() ? "" : ",") + std::to_string(latency);
    }
    auto peer = ChildProcess::start({vocari::test::binaryPath("gst_peer"), "--port",
                                     std::to_string(kPeerPort), "--seconds",
                                     std::to_string(seconds + 3.5), "--latencies", latencies});
    if (!peer || !peer->waitForLine(ChildProcess::Stream::Out, "listening", 10000)) {
        std::fprintf(stderr, "network_bench: gst_peer did not start\n");
        return row;
    }
    std::vector<std::string> args = {"--local",    "127.0.0.2",
                                     "--name",     "Phone",
                                     "--codec",    "opus",
                                     "--frame-ms", "20",
                                     "--preset",   preset,
                                     "--seed",     "7",
                                     "--seconds",  std::to_string(seconds),
                                     "--rtp-copy", "127.0.0.1:" + std::to_string(kPeerPort)};
    args.insert(args.end(), network.args.begin(), network.args.end());
    // A pause before the BYE lets the last status lines count every packet played.
    args.insert(args.end(), {"--pause-ms", "2500", "hello", "stream", "pause", "bye"});
    stage->phone(args);
    if (!stage->waitForPhones(static_cast<int>(seconds * 1000) + 20000) ||
        peer->waitForExit(20000) != 0) {
        return row;
    }
    row.minutes = seconds / 60.0;
    for (const auto& line : stage->phoneLines(0)) {
        if (line.find("audio messages") != std::string::npos) {
            row.made = number(line, "sent ");
            row.lost = number(line, "(");
        }
    }
    // The buffer runs dry once the stream ends: that last underrun is no fault, so the count
    // is taken a second before the last packets were played, and the mean buffer over the
    // stream after its first ten seconds.
    const auto passes = stage->details();
    size_t flowing = 0;
    for (size_t i = 1; i < passes.size(); ++i) {
        if (passes[i].detail.packets > passes[i - 1].detail.packets) {
            flowing = i;
        }
    }
    double sum = 0.0;
    int count = 0;
    for (size_t i = 0; i < passes.size(); ++i) {
        const auto& pass = passes[i];
        row.played = pass.detail.packets;
        if (i + 1 < flowing) {
            row.series.emplace_back(pass.index, pass.detail);
            row.underruns = pass.detail.underruns;
            row.finalTargetMs = pass.detail.targetMs;
            if (pass.index > 10) {
                sum += pass.detail.bufferMs;
                ++count;
            }
        }
    }
    row.meanBufferMs = count > 0 ? sum / count : 0.0;
    row.dropped = row.made - row.lost - std::min(row.played, row.made - row.lost);
    static const std::regex line(R"(latency=(\d+) pushed=(\d+))");
    for (const auto& text : peer->lines(ChildProcess::Stream::Out)) {
        std::smatch m;
        if (std::regex_search(text, m, line)) {
            const uint64_t pushed = std::min<uint64_t>(std::stoull(m[2]), row.made - row.lost);
            row.peer.push_back(
                {std::stoi(m[1]), static_cast<double>(row.made - row.lost - pushed) / row.minutes});
        }
    }
    row.ok = !row.series.empty() && !row.peer.empty();
    return row;
}

// The peer's late packets a minute at `latencyMs`, interpolated between the latencies run.
double peerDroppedAt(const std::vector<Peer>& peer, double latencyMs) {
    if (latencyMs <= peer.front().latencyMs) {
        return peer.front().droppedPerMinute;
    }
    for (size_t i = 1; i < peer.size(); ++i) {
        if (latencyMs <= peer[i].latencyMs) {
            const double share =
                (latencyMs - peer[i - 1].latencyMs) / (peer[i].latencyMs - peer[i - 1].latencyMs);
            return peer[i - 1].droppedPerMinute +
                   share * (peer[i].droppedPerMinute - peer[i - 1].droppedPerMinute);
        }
    }
    return peer.back().droppedPerMinute;
}

// The least latency at which the peer drops no more a minute than `perMinute`; -1 when none.
int peerLatencyFor(const std::vector<Peer>& peer, double perMinute) {
    for (const Peer& p : peer) {
        if (p.droppedPerMinute <= perMinute + 1e-9) {
            return p.latencyMs;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 120;
    std::string only;
    std::string seriesFolder;
    bool usable = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--only") == 0) {
            only = argv[i + 1];
        } else if (std::strcmp(argv[i], "--series") == 0) {
            seriesFolder = argv[i + 1];
        } else {
            usable = false;
        }
    }
    if (!usable || argc % 2 == 0) {
        std::fprintf(stderr,
                     "usage: network_bench [--seconds N] [--only SUBSTRING] [--series FOLDER]\n");
        return 2;
    }
    const std::vector<Network> networks = {
        {"clean", {"--delay-ms", "5"}},
        {"5 % loss, Pareto jitter of mean 3 ms",
         {"--delay-ms", "5", "--loss", "5", "--jitter", "pareto", "--jitter-ms", "4.5"}},
        {"20 % loss", {"--delay-ms", "5", "--loss", "20"}},
        {"bursts of 5 lost every 2 s",
         {"--delay-ms", "5", "--burst-loss", "1", "--burst-length", "5"}},
        {"2 % reordering", {"--delay-ms", "5", "--reorder", "2"}},
        {"1 % duplicates", {"--delay-ms", "5", "--duplicate", "1"}},
    };
    const std::vector<std::pair<const char*, const char*>> presets = {
        {"0", "low"}, {"1", "balanced"}, {"2", "safe"}};
    std::printf("Opus 20 ms, %.0f s a row, 512-frame device callbacks, 5 ms base delay\n\n",
                seconds);
    std::printf(
        "| preset | network | lost on the way | came but not played | underruns | "
        "vocarid dropouts/min | mean buffer | final target | peer dropouts/min at that "
        "buffer | peer latency for as few |\n|---|---|---|---|---|---|---|---|---|---|\n");
    bool failed = false;
    for (const auto& [preset, presetName] : presets) {
        for (const Network& network : networks) {
            const std::string name = std::string(presetName) + ", " + network.name;
            if (!only.empty() && name.find(only) == std::string::npos) {
                continue;
            }
            const Row row = run(preset, network, seconds);
            if (!row.ok) {
                std::printf("| %s | %s | failed |\n", presetName, network.name);
                failed = true;
                continue;
            }
            const double dropouts = static_cast<double>(row.underruns + row.dropped) / row.minutes;
            const int equalDropouts = peerLatencyFor(row.peer, dropouts);
            char peerLatency[32] = "above 250 ms";
            if (equalDropouts >= 0) {
                std::snprintf(peerLatency, sizeof peerLatency, "%d ms", equalDropouts);
            }
            std::printf("| %s | %s | %llu | %llu | %u | %.2f | %.1f ms | %.0f ms | %.2f | %s |\n",
                        presetName, network.name, static_cast<unsigned long long>(row.lost),
                        static_cast<unsigned long long>(row.dropped), row.underruns, dropouts,
                        row.meanBufferMs, row.finalTargetMs,
                        peerDroppedAt(row.peer, row.meanBufferMs), peerLatency);
            std::fflush(stdout);
            if (!seriesFolder.empty()) {
                std::string file = name;
                std::replace_if(
                    file.begin(), file.end(),
                    [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '-');
                std::filesystem::create_directories(seriesFolder);
                std::ofstream out(seriesFolder + "/" + file + ".dat");
                // Seconds, buffer, target, underruns so far, and 1 where one happened.
                unsigned before = 0;
                for (const auto& [index, detail] : row.series) {
                    out << index << ' ' << detail.bufferMs << ' ' << detail.targetMs << ' '
                        << detail.underruns << ' ' << (detail.underruns > before ? 1 : 0) << '\n';
                    before = detail.underruns;
                }
            }
        }
    }
    return failed ? 1 : 0;
}
