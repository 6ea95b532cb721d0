#include "main_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vocari::app {

QtMainQueue::QtMainQueue() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    notifier_ = std::make_unique<QSocketNotifier>(wake_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &QtMainQueue::runQueued);
}

QtMainQueue::~QtMainQueue() {
    notifier_.reset();
    ::close(wake_);
}

void QtMainQueue::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(work));
    }
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
}

void QtMainQueue::runQueued() {
    uint64_t count = 0;
    (void)!::read(wake_, &count, sizeof count);
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(mutex_);
        work.swap(queued_);
    }
    for (auto& item : work) {
        item();
    }
}

}  // namespace vocari::app
