#include "time_sync_responder.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace vocari::phone {

namespace {

// Longest wait between looks at the stop flag.
constexpr int64_t kPollNs = 20'000'000;
// Tells the answers' random stream apart from the audio's, which is seeded with the same seed.
constexpr uint32_t kAnswerStream = 0x7453'796E;

std::mt19937_64 answerRandom(uint64_t seed) {
    std::seed_seq sequence{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                           kAnswerStream};
    return std::mt19937_64(sequence);
}

}  // namespace

TimeAnswerQueue::TimeAnswerQueue(const PhoneClock& clock, const ImpairmentConfig& network,
                                 uint64_t seed)
    : clock_(clock), network_(network), random_(answerRandom(seed)) {}

bool TimeAnswerQueue::take(std::span<const uint8_t> datagram, int64_t receivedNs,
                           const sockaddr_in& from) {
    const auto request = protocol::parseTimeRequest(datagram);
    if (!request || pending_.size() >= kMaxPending) {
        return false;
    }
    const int64_t t2 = clock_.at(receivedNs + network_.drawDelayNs(random_));
    const int64_t t3 = t2 + kTurnaroundNs;
    TimeAnswer answer;
    answer.dueNs = clock_.monotonicAt(t3) + network_.drawDelayNs(random_);
    answer.message = protocol::encodeTimeResponse({request->sequence, request->t1, t2, t3});
    answer.to = from;
    pending_.push(answer);
    return true;
}

int64_t TimeAnswerQueue::nextDueNs() const {
    return pending_.empty() ? std::numeric_limits<int64_t>::max() : pending_.top().dueNs;
}

std::optional<TimeAnswer> TimeAnswerQueue::popDue(int64_t nowNs) {
    if (pending_.empty() || pending_.top().dueNs > nowNs) {
        return std::nullopt;
    }
    TimeAnswer answer = pending_.top();
    pending_.pop();
    return answer;
}

std::unique_ptr<TimeSyncResponder> TimeSyncResponder::open(const std::string& address,
                                                           uint16_t port, const PhoneClock& clock,
                                                           const ImpairmentConfig& network,
                                                           uint64_t seed, std::string& error) {
    const std::string where = address + ":" + std::to_string(port);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        error = "bad local address: " + address;
        return nullptr;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    const int reuse = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = "bind " + where + ": " + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<TimeSyncResponder>(new TimeSyncResponder(fd, clock, network, seed));
}

TimeSyncResponder::TimeSyncResponder(int socket, const PhoneClock& clock,
                                     const ImpairmentConfig& network, uint64_t seed)
    : socket_(socket),
      time_(clock.timeSource()),
      answers_(clock, network, seed),
      thread_([this] { serve(); }) {}

TimeSyncResponder::~TimeSyncResponder() {
    stop();
    close(socket_);
}

void TimeSyncResponder::stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TimeSyncResponder::sendDue(int64_t nowNs) {
    while (const auto answer = answers_.popDue(nowNs)) {
        // The receiver ignores what does not reach it, so a failed send is just not counted.
        if (sendto(socket_, answer->message.data(), answer->message.size(), MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&answer->to),
                   sizeof answer->to) == static_cast<ssize_t>(answer->message.size())) {
            answered_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void TimeSyncResponder::serve() {
    // A request is 20 bytes; of anything longer only the part the parser reads is kept.
    std::array<uint8_t, 64> buffer{};
    while (!stop_.load(std::memory_order_relaxed)) {
        const int64_t now = time_.nowNs();
        sendDue(now);
        const int64_t waitNs = std::clamp(answers_.nextDueNs() - now, int64_t{0}, kPollNs);
        const timespec timeout{0, static_cast<long>(waitNs)};
        pollfd readable{socket_, POLLIN, 0};
        if (ppoll(&readable, 1, &timeout, nullptr) <= 0) {
            continue;
        }
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t got = recvfrom(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromSize);
        const int64_t receivedNs = time_.nowNs();
        if (got > 0 && fromSize == sizeof from) {
            answers_.take(std::span(buffer.data(), static_cast<size_t>(got)), receivedNs, from);
        }
    }
}

}  // namespace vocari::phone
