#include "clock.h"

#include <ctime>

namespace vocari {

int64_t monotonicNowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t MonotonicClock::nowNs() const {
    return monotonicNowNs();
}

const Clock& systemClock() {
    static const MonotonicClock clock;
    return clock;
}

}  // namespace vocari
