#pragma once

// The phone's side of the receiver's time exchange: a Wi-Fi phone listens on UDP port 5557 of
// its own address and answers every time request with its receive and send times, read from
// the clock that stamps its audio. The simulated network delays the exchange as it delays the
// audio (requests on the way in, answers on the way out), so the receiver's offset estimate,
// and with it the one-way delay it measures for the audio, come out as on a real link.

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <queue>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "impairment.h"
#include "phone_clock.h"
#include "protocol.h"

namespace vocari::phone {

struct TimeAnswer {
    int64_t dueNs = 0;  // monotonic instant the answer reaches the wire
    std::array<uint8_t, protocol::kTimeResponseSize> message{};
    sockaddr_in to{};
};

// Answers waiting for their simulated delays, earliest due first. Pure: time comes in as an
// argument; one thread only.
class TimeAnswerQueue {
  public:
    // Phone time between a request's arrival (T2) and its answer leaving (T3).
    static constexpr int64_t kTurnaroundNs = 20'000;
    // Four requests a second with delays of up to 10 s each way leave about 80 pending; a
    // flood of requests beyond this is not answered rather than held without bound.
    static constexpr size_t kMaxPending = 256;

    // Delays are drawn as for the audio (base delay and jitter, no loss or duplication) from a
    // generator of their own, so answering does not change the audio's impairment.
    TimeAnswerQueue(const PhoneClock& clock, const ImpairmentConfig& network, uint64_t seed);

    // Queues the answer to `datagram`, received from `from` at monotonic `receivedNs`: the
    // request arrives one network delay later (T2), the answer leaves kTurnaroundNs of phone
    // time after that (T3) and reaches the wire one more delay later. False when the datagram
    // is not a time request or too many answers are pending.
    bool take(std::span<const uint8_t> datagram, int64_t receivedNs, const sockaddr_in& from);
    // Monotonic instant the earliest answer is due; INT64_MAX when none is pending.
    int64_t nextDueNs() const;
    // Removes and returns the earliest answer due by `nowNs`; empty when none is.
    std::optional<TimeAnswer> popDue(int64_t nowNs);

  private:
    struct Later {
        bool operator()(const TimeAnswer& a, const TimeAnswer& b) const {
            return a.dueNs > b.dueNs;
        }
    };

    const PhoneClock& clock_;
    Impairment network_;
    std::mt19937_64 random_;
    std::priority_queue<TimeAnswer, std::vector<TimeAnswer>, Later> pending_;
};

// Owns the phone's UDP port 5557 socket and a thread that answers on it until stopped.
class TimeSyncResponder {
  public:
    // Binds `address`:`port` (SO_REUSEADDR, as the receiver sets it on its wildcard bind of the
    // same port) and starts answering. Null with `error` set when the socket cannot be had.
    static std::unique_ptr<TimeSyncResponder> open(const std::string& address, uint16_t port,
                                                   const PhoneClock& clock,
                                                   const ImpairmentConfig& network, uint64_t seed,
                                                   std::string& error);
    // Stops answering and closes the socket.
    ~TimeSyncResponder();
    TimeSyncResponder(const TimeSyncResponder&) = delete;
    TimeSyncResponder& operator=(const TimeSyncResponder&) = delete;

    // Owner's thread. Stops answering (within one poll interval) and joins the thread, so
    // answered() is final; answers still delayed are dropped. Idempotent.
    void stop();
    // Any thread. Lock-free; answers sent so far.
    uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }

  private:
    TimeSyncResponder(int socket, const PhoneClock& clock, const ImpairmentConfig& network,
                      uint64_t seed);
    void serve();
    void sendDue(int64_t nowNs);

    int socket_;
    const TimeSource& time_;
    TimeAnswerQueue answers_;  // the serving thread's alone
    std::atomic<uint64_t> answered_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vocari::phone
