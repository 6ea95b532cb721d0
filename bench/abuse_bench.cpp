// Load and abuse: eight Opus phones streaming into vocarid while 50 000 garbage datagrams a
// second hit UDP 5555 and a client guesses pairing codes, against the same phones with no abuse
// in the same run. Reports the daemon's CPU, the phones' underruns, and the guesses the daemon
// judged (all others are refused unread while it locks pairing out).
//
//   abuse_bench [--seconds N] [--smoke]
//   abuse_bench --soak SECONDS      eight phones, no abuse: memory at start and end, underruns,
//                                   and every output line that a quiet run should not print

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"
#include "stage.h"

namespace {

using vocari::bench::Stage;
using Clock = std::chrono::steady_clock;

constexpr int kPhones = 8;
constexpr int kGarbagePerSecond = 50'000;
constexpr int kGuessesPerSecond = 1'000;

int udpSocketFrom(const char* address) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address, &local.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "abuse_bench: cannot send from %s\n", address);
        std::exit(1);
    }
    sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    daemon.sin_port = htons(vocari::protocol::kPhonePort);
    inet_pton(AF_INET, "127.0.0.1", &daemon.sin_addr);
    connect(fd, reinterpret_cast<const sockaddr*>(&daemon), sizeof daemon);
    return fd;
}

// What an attacker or a broken device sends: random bytes; a valid header with a random type
// and body; AUDIO from an address that never paired, with a random payload. Sizes up to 1400.
std::vector<std::vector<uint8_t>> garbage(size_t count) {
    std::mt19937 random(7);
    std::vector<std::vector<uint8_t>> messages;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> message(1 + random() % 1400);
        for (auto& byte : message) {
            byte = static_cast<uint8_t>(random());
        }
        if (i % 3 != 0 && message.size() >= vocari::protocol::kHeaderSize) {
            // Any type but HELLO: guessing codes is the other client's part.
            const auto type = i % 3 == 1
                                  ? static_cast<vocari::protocol::MessageType>(2 + random() % 7)
                                  : vocari::protocol::MessageType::Audio;
            vocari::protocol::writeHeader(message.data(), type);
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

// Sends the garbage in batches of 50 every millisecond until `stop`; returns the count sent.
uint64_t sendGarbage(const std::atomic<bool>& stop) {
    const int fd = udpSocketFrom("127.0.0.100");
    auto messages = garbage(1000);
    constexpr int kBatch = kGarbagePerSecond / 1000;
    std::vector<iovec> parts(kBatch);
    std::vector<mmsghdr> batch(kBatch);
    uint64_t sent = 0;
    auto next = Clock::now();
    while (!stop.load()) {
        for (int i = 0; i < kBatch; ++i) {
            auto& message = messages[(sent + static_cast<uint64_t>(i)) % messages.size()];
            parts[i] = {message.data(), message.size()};
            batch[i] = {};
            batch[i].msg_hdr.msg_iov = &parts[i];
            batch[i].msg_hdr.msg_iovlen = 1;
        }
        const int done = sendmmsg(fd, batch.data(), kBatch, 0);
        sent += done > 0 ? static_cast<uint64_t>(done) : 0;
        std::this_thread::sleep_until(next += std::chrono::milliseconds(1));
    }
    close(fd);
    return sent;
}

// Presents one wrong code after another, a thousand a second, until `stop`.
uint64_t guessCodes(const std::atomic<bool>& stop, uint32_t rightCode) {
    const int fd = udpSocketFrom("127.0.0.101");
    const char name[] = "guesser";
    uint32_t code = 100000;
    uint64_t sent = 0;
    auto next = Clock::now();
    while (!stop.load()) {
        if (code == rightCode) {
            ++code;
        }
        const auto hello = vocari::protocol::encodeHello(1, code++, 0, 0, name);
        sent += send(fd, hello.data(), hello.size(), 0) > 0 ? 1 : 0;
        std::this_thread::sleep_until(next +=
                                      std::chrono::microseconds(1'000'000 / kGuessesPerSecond));
    }
    close(fd);
    return sent;
}

// The phones' underruns so far: each phone's count on its latest detail line, added up.
unsigned underruns(const Stage& stage) {
    std::vector<unsigned> bySlot(kPhones + 1, 0);
    for (const auto& pass : stage.details()) {
        bySlot[static_cast<size_t>(pass.detail.slot)] = pass.detail.underruns;
    }
    unsigned sum = 0;
    for (unsigned count : bySlot) {
        sum += count;
    }
    return sum;
}

size_t countLines(Stage& stage, const char* prefix) {
    size_t count = 0;
    for (const auto& line : stage.daemon().lines(vocari::test::ChildProcess::Stream::Out)) {
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

std::unique_ptr<Stage> startPhones(double seconds) {
    auto stage = Stage::open(512);
    if (!stage) {
        std::fprintf(stderr, "abuse_bench: vocarid did not start\n");
        std::exit(1);
    }
    stage->phone({"--phones", std::to_string(kPhones), "--local", "127.0.0.2", "--codec", "opus",
                  "--frame-ms", "20", "--seconds", std::to_string(seconds), "hello", "stream",
                  "bye"});
    return stage;
}

struct Window {
    double cpuSeconds = 0.0;
    std::map<std::string, double> byThread;
    unsigned underruns = 0;
};

// Runs `during` for `seconds` while measuring what the daemon spends and what the phones lose.
template <typename During>
Window measure(Stage& stage, double seconds, During during) {
    const pid_t pid = stage.daemon().pid();
    const auto before = vocari::bench::threadCpuSeconds(pid);
    const unsigned underrunsBefore = underruns(stage);
    during(seconds);
    Window window;
    window.byThread = vocari::bench::threadCpuSeconds(pid);
    for (auto& [name, used] : window.byThread) {
        used -= before.count(name) != 0 ? before.at(name) : 0.0;
    }
    window.cpuSeconds = vocari::bench::total(window.byThread);
    // The status pass that covers the window's last second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    window.underruns = underruns(stage) - underrunsBefore;
    return window;
}

std::string threads(const Window& window, double seconds) {
    std::string text;
    for (const auto& [name, used] : window.byThread) {
        char part[96];
        std::snprintf(part, sizeof part, "%s%s %.1f ms/s", text.empty() ? "" : ", ", name.c_str(),
                      1000.0 * used / seconds);
        text += part;
    }
    return text;
}

int abuse(double seconds) {
    constexpr double kWarm = 5.0;
    auto stage = startPhones(kWarm + 2 * seconds + 6);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarm));
    const auto sleep = [](double s) {
        std::this_thread::sleep_for(std::chrono::duration<double>(s));
    };
    const Window quiet = measure(*stage, seconds, sleep);

    const size_t rejectedBefore = countLines(*stage, "pairing: REJECTED");
    const size_t ignoredBefore = countLines(*stage, "pairing: too many wrong codes");
    std::atomic<bool> stop{false};
    uint64_t garbageSent = 0;
    uint64_t guessesSent = 0;
    const Window loud = measure(*stage, seconds, [&](double s) {
        std::thread garbageThread([&] { garbageSent = sendGarbage(stop); });
        std::thread guessThread([&] { guessesSent = guessCodes(stop, stage->pairingCode()); });
        sleep(s);
        stop = true;
        garbageThread.join();
        guessThread.join();
    });
    const size_t judged = countLines(*stage, "pairing: REJECTED") - rejectedBefore;
    const size_t ignored = countLines(*stage, "pairing: too many wrong codes") - ignoredBefore;
    const bool phonesOk = stage->waitForPhones(30000);

    std::printf(
        "abuse_bench: %d Opus 20 ms phones on the 16-channel device, two windows of %.0f s "
        "in one run\n\n",
        kPhones, seconds);
    std::printf(
        "| window | vocarid CPU | of one core | underruns (all phones) |\n|---|---|---|---|\n");
    std::printf("| phones only | %.3f s | %.2f %% | %u |\n", quiet.cpuSeconds,
                100.0 * quiet.cpuSeconds / seconds, quiet.underruns);
    std::printf("| phones + %.0f garbage datagrams/s + %.0f guesses/s | %.3f s | %.2f %% | %u |\n",
                static_cast<double>(garbageSent) / seconds,
                static_cast<double>(guessesSent) / seconds, loud.cpuSeconds,
                100.0 * loud.cpuSeconds / seconds, loud.underruns);
    std::printf("\nCPU with abuse / without: %.2f\n", loud.cpuSeconds / quiet.cpuSeconds);
    const double perHour = static_cast<double>(judged) * 3600.0 / seconds;
    // A code is one of 900 000; on average half of them are tried before the right one.
    std::printf(
        "guesses sent: %llu; judged (a wrong-code line each): %zu, %.0f per hour, so "
        "%.0f days on average to find a code; refused unread during lock-outs: %zu "
        "(%.0f lines/s printed for them)\n",
        static_cast<unsigned long long>(guessesSent), judged, perHour,
        perHour > 0 ? 450'000.0 / perHour / 24.0 : 0.0, ignored,
        static_cast<double>(ignored) / seconds);
    std::printf("\nBy thread, phones only: %s\nBy thread, with abuse: %s\n",
                threads(quiet, seconds).c_str(), threads(loud, seconds).c_str());
    return phonesOk ? 0 : 1;
}

bool expectedWhileStreaming(const std::string& line) {
    for (const char* prefix : {"[vocarid] ", "  [", "sessions: ", "session:\t"}) {
        if (line.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

int soak(double seconds) {
    constexpr double kWarm = 10.0;
    auto stage = startPhones(kWarm + seconds + 2);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarm));
    const pid_t pid = stage->daemon().pid();
    const double rssStart = vocari::bench::residentMiB(pid);
    const size_t linesStart = stage->daemon().lines(vocari::test::ChildProcess::Stream::Out).size();
    const auto cpuStart = vocari::bench::total(vocari::bench::threadCpuSeconds(pid));
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double rssEnd = vocari::bench::residentMiB(pid);
    const double peak = vocari::bench::peakResidentMiB(pid);
    const auto cpuEnd = vocari::bench::total(vocari::bench::threadCpuSeconds(pid));
    const auto lines = stage->daemon().lines(vocari::test::ChildProcess::Stream::Out);
    std::vector<std::string> unexpected;
    for (size_t i = linesStart; i < lines.size(); ++i) {
        if (!expectedWhileStreaming(lines[i])) {
            unexpected.push_back(lines[i]);
        }
    }
    const unsigned lost = underruns(*stage);
    const bool phonesOk = stage->waitForPhones(30000);
    std::printf("soak: %d Opus 20 ms phones for %.0f s after %.0f s of start-up\n", kPhones,
                seconds, kWarm);
    std::printf(
        "RSS at start %.1f MiB, at end %.1f MiB, peak %.1f MiB; CPU %.2f %% of one core; "
        "underruns %u; unexpected lines %zu\n",
        rssStart, rssEnd, peak, 100.0 * (cpuEnd - cpuStart) / seconds, lost, unexpected.size());
    for (const auto& line : unexpected) {
        std::printf("  unexpected: %s\n", line.c_str());
    }
    return phonesOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60.0;
    double soakSeconds = 0.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--smoke") == 0) {
            seconds = 2.0;  // only that it works
        } else if (std::strcmp(argv[i], "--soak") == 0 && i + 1 < argc) {
            soakSeconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: abuse_bench [--seconds N] [--smoke] | abuse_bench --soak N\n");
            return 2;
        }
    }
    return soakSeconds > 0 ? soak(soakSeconds) : abuse(seconds);
}
