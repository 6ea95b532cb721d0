#pragma once

#include <functional>
#include <mutex>

#include "vocari/bluetooth.h"

namespace vocari::bt {

// The BlueZ provider's way to the main queue, shared by its devices, channels and their threads.
// The provider closes it when it goes, so a thread still finishing afterwards posts nothing to a
// queue that may be going too.
class MainHandle {
  public:
    explicit MainHandle(MainQueue& main) : main_(&main) {}

    // Any thread. Work posted after close() is dropped.
    void post(std::function<void()> work) {
        std::function<void()> dropped;  // destroyed after the lock is released: it may own a device
        std::lock_guard lock(mutex_);
        if (main_ != nullptr) {
            main_->post(std::move(work));
        } else {
            dropped = std::move(work);
        }
    }

    // Any thread. Once it returns, no thread is inside post() and none will reach the queue.
    void close() {
        std::lock_guard lock(mutex_);
        main_ = nullptr;
    }

  private:
    std::mutex mutex_;
    MainQueue* main_;
};

}  // namespace vocari::bt
