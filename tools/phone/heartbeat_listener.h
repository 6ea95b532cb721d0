#pragma once

// Listens on a phone's socket for as long as the phone runs, the way a phone keeps reading while
// it streams: counts every HEARTBEAT the receiver sends and notices when a TCP receiver closes
// the link.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "phone.h"
#include "phone_clock.h"

namespace vocari::phone {

class HeartbeatListener {
  public:
    // Called on the listener's thread for each HEARTBEAT, with the monotonic time it arrived.
    using OnHeartbeat = std::function<void(int64_t arrivedNs, const protocol::Heartbeat&)>;

    // Starts reading `phone`'s socket on a thread of its own. From then on nothing else may
    // receive on `phone`; sending from another thread is fine.
    HeartbeatListener(Phone& phone, const TimeSource& time, OnHeartbeat onHeartbeat);
    // Stops reading (within one poll interval) and joins the thread.
    ~HeartbeatListener();
    // Owner's thread. Stops reading and joins the thread, so heard() is final; idempotent.
    void stop();
    HeartbeatListener(const HeartbeatListener&) = delete;
    HeartbeatListener& operator=(const HeartbeatListener&) = delete;

    // Any thread. Lock-free; HEARTBEATs received so far.
    uint64_t heard() const { return heard_.load(std::memory_order_relaxed); }
    // Any thread. Lock-free; set once a TCP receiver has closed the link.
    const std::atomic<bool>& closed() const { return closed_; }
    // Any thread. Waits up to `timeoutMs` for the receiver to close the link; true if it did.
    bool waitForClose(int timeoutMs);

  private:
    void listen();

    Phone& phone_;
    const TimeSource& time_;
    OnHeartbeat onHeartbeat_;
    std::atomic<uint64_t> heard_{0};
    std::atomic<bool> closed_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable closing_;
    std::thread thread_;
};

}  // namespace vocari::phone
