#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "vocari/bluetooth.h"

namespace vocari::app {

// Work from any thread, run on the main thread. The hand-over is a mutex-guarded list and an
// eventfd the main loop watches, so every byte a worker leaves for the main thread is ordered by
// a lock the thread sanitizer sees (Debian's Qt is not instrumented, and its own cross-thread
// event queue looks racy to it). Work still queued when the object goes is dropped: an owner
// stops its threads first.
class QtMainQueue final : public QObject, public bt::MainQueue {
  public:
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    // Any thread.
    void post(std::function<void()> work) override;

  private:
    void runQueued();

    int wake_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::mutex mutex_;
    std::vector<std::function<void()>> queued_;
};

}  // namespace vocari::app
