#include "lock_counter.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

namespace {

thread_local long threadLocks = 0;
// Not a function-local static: the guard of one could itself lock.
using MutexLock = int (*)(pthread_mutex_t*);
std::atomic<MutexLock> nextMutexLock{nullptr};

}  // namespace

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    MutexLock next = nextMutexLock.load(std::memory_order_relaxed);
    if (next == nullptr) {
        next = reinterpret_cast<MutexLock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
        nextMutexLock.store(next, std::memory_order_relaxed);
    }
    ++threadLocks;
    return next(mutex);
}

namespace vocari::test {

long locksOnThisThread() {
    return threadLocks;
}

}  // namespace vocari::test
