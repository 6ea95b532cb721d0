#include "phone_clock.h"

#include <cerrno>
#include <cmath>
#include <ctime>

namespace vocari::phone {

int64_t MonotonicTime::nowNs() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void MonotonicWaiter::waitUntil(int64_t monotonicNs) {
    const timespec deadline{static_cast<time_t>(monotonicNs / 1'000'000'000),
                            static_cast<long>(monotonicNs % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

PhoneClock::PhoneClock(const TimeSource& time, int64_t startMonotonicNs, int64_t epochNs,
                       double skewPpm)
    : time_(time), start_(startMonotonicNs), epoch_(epochNs), skewPpm_(skewPpm) {}

int64_t PhoneClock::at(int64_t monotonicNs) const {
    // The skew term is added separately so that the elapsed time itself stays exact.
    const int64_t elapsed = monotonicNs - start_;
    return epoch_ + elapsed + std::llround(static_cast<double>(elapsed) * skewPpm_ * 1e-6);
}

int64_t PhoneClock::monotonicAt(int64_t phoneNs) const {
    const double elapsed = static_cast<double>(phoneNs - epoch_) / (1.0 + skewPpm_ * 1e-6);
    int64_t monotonic = start_ + std::llround(elapsed);
    // Rounding may land a nanosecond either side of the first instant; settle it exactly.
    while (at(monotonic) < phoneNs) {
        ++monotonic;
    }
    while (at(monotonic - 1) >= phoneNs) {
        --monotonic;
    }
    return monotonic;
}

}  // namespace vocari::phone
