#include "heartbeat_listener.h"

#include <chrono>

namespace vocari::phone {

namespace {

// How long one read waits before looking at the stop flag again.
constexpr int kPollMs = 20;

}  // namespace

HeartbeatListener::HeartbeatListener(Phone& phone, const TimeSource& time, OnHeartbeat onHeartbeat)
    : phone_(phone),
      time_(time),
      onHeartbeat_(std::move(onHeartbeat)),
      thread_([this] { listen(); }) {}

HeartbeatListener::~HeartbeatListener() {
    stop();
}

void HeartbeatListener::stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void HeartbeatListener::listen() {
    while (!stop_.load(std::memory_order_relaxed)) {
        if (const auto heartbeat = phone_.receiveHeartbeat(kPollMs)) {
            heard_.fetch_add(1, std::memory_order_relaxed);
            if (onHeartbeat_) {
                onHeartbeat_(time_.nowNs(), *heartbeat);
            }
        } else if (phone_.closedByReceiver(0)) {
            {
                const std::lock_guard lock(mutex_);
                closed_.store(true, std::memory_order_relaxed);
            }
            closing_.notify_all();
            return;
        }
    }
}

bool HeartbeatListener::waitForClose(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return closing_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return closed_.load(std::memory_order_relaxed); });
}

}  // namespace vocari::phone
