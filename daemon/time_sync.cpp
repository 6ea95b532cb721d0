#include "time_sync.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "net.h"
#include "session_table.h"

namespace vocari {

namespace {

constexpr int64_t kCycleNs = 250'000'000;
constexpr auto kIdleSleep = std::chrono::milliseconds(200);
constexpr int64_t kRecentAudioNs = 2'000'000'000;
constexpr int64_t kMinWaitNs = 1000;

// Sends a request to every Wi-Fi phone with recent audio; false when there was none.
bool sendRequests(Runtime& runtime, int socket, uint32_t& sequence, int64_t cycleStart) {
    bool sent = false;
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        Session& session = runtime.sessions->session(i);
        const SessionUse use({&session, session.generation()});
        const int64_t lastAudio = session.lastAudioNs.load();
        const auto peer = session.peerAddress();
        if (!use || !peer || lastAudio == 0 || cycleStart - lastAudio >= kRecentAudioNs) {
            continue;
        }
        ++sequence;
        const auto request =
            protocol::encodeTimeRequest({sequence, static_cast<uint64_t>(runtime.clock->nowNs())});
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = peer->address;
        to.sin_port = htons(kTimeSyncPort);
        sendto(socket, request.data(), request.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&to), sizeof to);
        sent = true;
    }
    return sent;
}

}  // namespace

std::optional<protocol::TimeResponse> acceptTimeResponse(std::span<const uint8_t> datagram,
                                                         uint32_t latestSent) {
    auto response = protocol::parseTimeResponse(datagram);
    if (!response || latestSent - response->sequence > kTimeSyncMaxBehind) {
        return std::nullopt;
    }
    return response;
}

bool creditTimeResponse(Runtime& runtime, const protocol::TimeResponse& response, uint32_t address,
                        int64_t t4) {
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        Session& session = runtime.sessions->session(i);
        const SessionUse use({&session, session.generation()});
        const auto peer = session.peerAddress();
        if (!use || !peer || peer->address != address) {
            continue;
        }
        const auto t1 = static_cast<int64_t>(response.t1);
        session.ptp.addSample(t1, response.t2, response.t3, t4);
        const ClockChoice choice = chooseClock(session.ptp, session.clock, runtime.clock->nowNs());
        session.jitter->setSenderRatio(choice.senderRatio, choice.senderRatioValid);
        // Wrapping differences: the phone's times may be anything.
        const auto out =
            static_cast<int64_t>(static_cast<uint64_t>(response.t2) - static_cast<uint64_t>(t1));
        const auto back =
            static_cast<int64_t>(static_cast<uint64_t>(t4) - static_cast<uint64_t>(response.t3));
        session.rttMs.store((static_cast<double>(out) + static_cast<double>(back)) / 1e6);
        return true;
    }
    return false;
}

void ptpLoop(Runtime& runtime, int socket) {
    nameThisThread("time-sync");
    uint32_t sequence = 0;
    std::array<uint8_t, protocol::kTimeResponseSize> buffer{};
    while (runtime.isRunning()) {
        const int64_t cycleStart = runtime.clock->nowNs();
        if (!sendRequests(runtime, socket, sequence, cycleStart)) {
            sleepWhileRunning(runtime, kIdleSleep);
            continue;
        }
        const int64_t cycleEnd = cycleStart + kCycleNs;
        for (int64_t left = cycleEnd - runtime.clock->nowNs(); left >= kMinWaitNs;
             left = cycleEnd - runtime.clock->nowNs()) {
            setReceiveTimeout(socket, left / 1000);
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = recvfrom(socket, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            const int64_t t4 = runtime.clock->nowNs();
            if (got < 0) {
                break;
            }
            const auto response =
                acceptTimeResponse(std::span(buffer.data(), static_cast<size_t>(got)), sequence);
            if (response) {
                creditTimeResponse(runtime, *response, from.sin_addr.s_addr, t4);
            }
        }
        const int64_t rest = cycleEnd - runtime.clock->nowNs();
        if (rest > 0) {
            sleepWhileRunning(runtime, std::chrono::milliseconds(rest / 1'000'000));
        }
    }
}

}  // namespace vocari
