// What the daemon costs: vocarid serving eight phones on the 16-channel simulated loopback,
// against a baseline that only decodes the same Opus packets with libopus at the same pace, in
// the same run. CPU time is the daemon's own (from /proc), over a window after start-up; memory
// is its peak resident set.
//
// With --pipewire, it compares instead the daemon playing into the PipeWire device of a
// headless PipeWire of its own against the same on the simulated device, in turns; the
// PipeWire server's own CPU over the window is reported beside it.
//
//   cpu_bench [--seconds N] [--pipewire]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <opus.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio_message.h"
#include "audio_source.h"
#include "audio_test_support.h"
#include "protocol.h"
#include "stage.h"

namespace {

using vocari::bench::peakResidentMiB;
using vocari::bench::Stage;
using vocari::bench::threadCpuSeconds;
using vocari::bench::total;

constexpr int kPhones = 8;

double callingThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Decodes, on this thread, the Opus packets the phones send, at the pace they send them, for
// `seconds`; returns the CPU seconds it took.
double decodeBaseline(int frameMs, double seconds) {
    using namespace vocari::phone;
    StreamFormat format;
    format.codec = vocari::protocol::Codec::Opus;
    format.frames = frameMs * 48;
    std::vector<std::vector<std::vector<uint8_t>>> packets(kPhones);
    const int perPhone = 1000 / frameMs * 2;  // two seconds of packets, played in a loop
    for (int phone = 0; phone < kPhones; ++phone) {
        std::string error;
        auto maker = AudioMessageMaker::create(
            format, std::make_unique<ToneSource>(440.0 + 110.0 * phone, 0.5, 1), error);
        for (int n = 0; n < perPhone; ++n) {
            std::vector<uint8_t> message;
            maker->make(0, 0, message);
            packets[phone].emplace_back(message.begin() + 28, message.end());
        }
    }
    std::vector<OpusDecoder*> decoders;
    for (int phone = 0; phone < kPhones; ++phone) {
        int error = 0;
        decoders.push_back(opus_decoder_create(48000, 1, &error));
    }
    std::vector<float> out(2048);
    const double cpuBefore = callingThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const auto period = std::chrono::milliseconds(frameMs);
    const auto count = static_cast<int>(seconds * 1000 / frameMs);
    for (int n = 0; n < count; ++n) {
        std::this_thread::sleep_until(start + period * (n + 1));
        for (int phone = 0; phone < kPhones; ++phone) {
            const auto& packet = packets[phone][static_cast<size_t>(n % perPhone)];
            if (opus_decode_float(decoders[phone], packet.data(),
                                  static_cast<opus_int32>(packet.size()), out.data(), 1024,
                                  0) < 1) {
                std::fprintf(stderr, "cpu_bench: a baseline packet did not decode\n");
                std::exit(1);
            }
        }
    }
    const double used = callingThreadCpuSeconds() - cpuBefore;
    for (OpusDecoder* decoder : decoders) {
        opus_decoder_destroy(decoder);
    }
    return used;
}

// Receives, on this thread, what the phones send to UDP 5555 and decodes every Opus AUDIO
// message, one decoder per sender, for `seconds` after `warmSeconds`: the least any receiver of
// these phones must do. Returns its CPU seconds over the window.
double receiveDecodeBaseline(const std::vector<std::string>& phoneArgs, double warmSeconds,
                             double seconds) {
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(vocari::protocol::kPhonePort);
    if (bind(udp, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "cpu_bench: UDP %d is busy\n", vocari::protocol::kPhonePort);
        std::exit(1);
    }
    const timeval timeout{0, 250000};
    setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    vocari::test::TempDir home;
    std::vector<std::string> args = {vocari::test::binaryPath("vocari-phone"),
                                     "--code",
                                     "123456",
                                     "--phones",
                                     std::to_string(kPhones),
                                     "--local",
                                     "127.0.0.2",
                                     "--no-time-sync",
                                     "--seconds",
                                     std::to_string(warmSeconds + seconds + 1)};
    args.insert(args.end(), phoneArgs.begin(), phoneArgs.end());
    args.insert(args.end(), {"hello", "stream", "bye"});
    auto phones =
        vocari::test::ChildProcess::start(args, vocari::test::isolatedEnvironment(home.path()));
    std::map<uint32_t, OpusDecoder*> decoders;
    std::vector<uint8_t> buffer(vocari::protocol::kMaxMessageSize);
    std::vector<float> out(2048);
    const auto start = std::chrono::steady_clock::now();
    const auto from = start + std::chrono::duration<double>(warmSeconds);
    const auto until = from + std::chrono::duration<double>(seconds);
    double cpuBefore = -1.0;
    for (auto now = start; now < until; now = std::chrono::steady_clock::now()) {
        if (cpuBefore < 0.0 && now >= from) {
            cpuBefore = callingThreadCpuSeconds();
        }
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t got = recvfrom(udp, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&sender), &length);
        if (got < 28) {
            continue;
        }
        const std::span<const uint8_t> message(buffer.data(), static_cast<size_t>(got));
        const auto header = vocari::protocol::parseAudioHeader(message);
        if (!header || header->codec != static_cast<uint8_t>(vocari::protocol::Codec::Opus)) {
            continue;
        }
        OpusDecoder*& decoder = decoders[sender.sin_addr.s_addr];
        if (decoder == nullptr) {
            int error = 0;
            decoder = opus_decoder_create(48000, header->channels, &error);
        }
        if (opus_decode_float(decoder, message.data() + 28, static_cast<opus_int32>(got - 28),
                              out.data(), 1024, 0) < 1) {
            std::fprintf(stderr, "cpu_bench: a received packet did not decode\n");
        }
    }
    const double used = callingThreadCpuSeconds() - cpuBefore;
    phones->waitForExit(10000);
    for (auto& [address, decoder] : decoders) {
        opus_decoder_destroy(decoder);
    }
    close(udp);
    return used;
}

struct Run {
    double cpuSeconds = 0.0;
    std::map<std::string, double> byThread;
    double peakMiB = 0.0;
    unsigned underruns = 0;
};

// `server`: play into its PipeWire device rather than the simulated one; its processes' CPU
// over the window goes into `serverCpuSeconds`.
Run serve(const std::vector<std::string>& phoneArgs, double warmSeconds, double seconds,
          const vocari::test::PipeWireServer* server = nullptr,
          double* serverCpuSeconds = nullptr) {
    Run run;
    auto stage = server != nullptr ? Stage::open(512, "uid=pipewire\nchannel=0\nalign=1\n", 0.0,
                                                 server->environment())
                                   : Stage::open(512);
    if (!stage) {
        std::fprintf(stderr, "cpu_bench: vocarid did not start\n");
        std::exit(1);
    }
    std::vector<std::string> args = {"--phones",  std::to_string(kPhones),
                                     "--local",   "127.0.0.2",
                                     "--seconds", std::to_string(warmSeconds + seconds + 1)};
    args.insert(args.end(), phoneArgs.begin(), phoneArgs.end());
    args.insert(args.end(), {"hello", "stream", "bye"});
    stage->phone(args);
    std::this_thread::sleep_for(std::chrono::duration<double>(warmSeconds));
    const pid_t pid = stage->daemon().pid();
    const auto serverCpu = [&] {
        double used = 0.0;
        for (const pid_t serverPid : server != nullptr ? server->pids() : std::vector<pid_t>{}) {
            used += total(threadCpuSeconds(serverPid));
        }
        return used;
    };
    const double serverBefore = serverCpu();
    const auto before = threadCpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    if (serverCpuSeconds != nullptr) {
        *serverCpuSeconds = serverCpu() - serverBefore;
    }
    run.byThread = threadCpuSeconds(pid);
    for (auto& [name, used] : run.byThread) {
        used -= before.count(name) != 0 ? before.at(name) : 0.0;
    }
    run.cpuSeconds = total(run.byThread);
    run.peakMiB = peakResidentMiB(pid);
    for (const auto& pass : stage->details()) {
        run.underruns = std::max(run.underruns, pass.detail.underruns);
    }
    stage->waitForPhones(20000);
    return run;
}

// The daemon on the simulated device against the same on the PipeWire device, in turns.
int comparePipeWire(double warm, double seconds) {
    vocari::test::TempDir folder;
    std::string why;
    const auto server = vocari::test::PipeWireServer::start(folder.path(), why);
    if (!server) {
        std::fprintf(stderr, "cpu_bench: PipeWire cannot run here: %s\n", why.c_str());
        return 1;
    }
    const std::vector<std::string> opus = {"--codec", "opus", "--frame-ms", "20"};
    std::printf("%d Opus 20 ms phones, %.0f s measured after %.0f s\n\n", kPhones, seconds, warm);
    std::printf(
        "| device | vocarid CPU | of one core | vocarid / simulated | PipeWire server CPU | "
        "underruns |\n|---|---|---|---|---|---|\n");
    for (int turn = 0; turn < 2; ++turn) {
        const Run simulated = serve(opus, warm, seconds);
        double serverUsed = 0.0;
        const Run pipeWire = serve(opus, warm, seconds, server.get(), &serverUsed);
        std::printf("| simulated | %.3f s | %.2f %% | 1.00 | - | %u |\n", simulated.cpuSeconds,
                    100.0 * simulated.cpuSeconds / seconds, simulated.underruns);
        std::printf("| PipeWire | %.3f s | %.2f %% | %.2f | %.3f s | %u |\n", pipeWire.cpuSeconds,
                    100.0 * pipeWire.cpuSeconds / seconds,
                    pipeWire.cpuSeconds / simulated.cpuSeconds, serverUsed, pipeWire.underruns);
        std::string threads;
        for (const auto& [name, used] : pipeWire.byThread) {
            char entry[96];
            std::snprintf(entry, sizeof entry, " %s %.1f", name.c_str(), 1000.0 * used / seconds);
            threads += entry;
        }
        std::printf("\nPipeWire turn %d, ms of CPU a second by thread:%s\n\n", turn + 1,
                    threads.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 30.0;
    double warm = 5.0;
    bool smoke = false;
    bool pipeWire = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--pipewire") == 0) {
            pipeWire = true;
        } else if (std::strcmp(argv[i], "--smoke") == 0) {
            // Only that it works: one scenario, a second each.
            smoke = true;
            seconds = 1.0;
            warm = 1.0;
        }
    }
    if (pipeWire) {
        return comparePipeWire(warm, seconds);
    }
    std::printf("%d phones, %.0f s measured after %.0f s, 512-frame device callbacks\n\n", kPhones,
                seconds, warm);
    std::printf(
        "| stream | vocarid CPU | of one core | decode baseline | vocarid / decode | "
        "receive + decode baseline | vocarid / receive + decode | peak RSS | underruns "
        "|\n|---|---|---|---|---|---|---|---|---|\n");
    struct Scenario {
        const char* name;
        std::vector<std::string> args;
        int opusFrameMs;  // 0: no baseline
    };
    const Scenario scenarios[] = {
        {"Opus 20 ms", {"--codec", "opus", "--frame-ms", "20"}, 20},
        {"Opus 10 ms", {"--codec", "opus", "--frame-ms", "10"}, 10},
        {"PCM 10 ms", {"--frames", "480"}, 0},
    };
    std::vector<std::string> breakdown;
    for (const Scenario& scenario : scenarios) {
        if (smoke && &scenario != scenarios) {
            break;
        }
        const Run run = serve(scenario.args, warm, seconds);
        char ratio[32] = "-";
        char base[32] = "-";
        char ratio2[32] = "-";
        char base2[32] = "-";
        if (scenario.opusFrameMs > 0) {
            const double baseline = decodeBaseline(scenario.opusFrameMs, seconds);
            const double received = receiveDecodeBaseline(scenario.args, warm, seconds);
            std::snprintf(ratio, sizeof ratio, "%.2f", run.cpuSeconds / baseline);
            std::snprintf(base, sizeof base, "%.3f s", baseline);
            std::snprintf(ratio2, sizeof ratio2, "%.2f", run.cpuSeconds / received);
            std::snprintf(base2, sizeof base2, "%.3f s", received);
        }
        std::printf("| %s | %.3f s | %.2f %% | %s | %s | %s | %s | %.1f MiB | %u |\n",
                    scenario.name, run.cpuSeconds, 100.0 * run.cpuSeconds / seconds, base, ratio,
                    base2, ratio2, run.peakMiB, run.underruns);
        std::string threads;
        for (const auto& [name, used] : run.byThread) {
            char part[96];
            std::snprintf(part, sizeof part, "%s%s %.1f ms/s", threads.empty() ? "" : ", ",
                          name.c_str(), 1000.0 * used / seconds);
            threads += part;
        }
        breakdown.push_back(std::string(scenario.name) + ": " + threads);
        std::fflush(stdout);
    }
    std::printf("\nBy thread:\n");
    for (const auto& line : breakdown) {
        std::printf("- %s\n", line.c_str());
    }
    return 0;
}
