#pragma once

// Counts mutex locks, so a test can prove that a real-time path takes none. A test program that
// links vocari_lock_counter takes the place of the C library's pthread_mutex_lock (std::mutex
// included) with a counting version that hands on to the next definition: the C library's, or
// the thread sanitizer's interceptor, which then still sees every lock.

namespace vocari::test {

// Locks taken so far by the calling thread.
long locksOnThisThread();

}  // namespace vocari::test
