#pragma once

#include <cstdint>

namespace vocari {

// A source of CLOCK_MONOTONIC nanoseconds. Algorithms take one of these (or a `now` argument)
// instead of reading the system clock, so tests can step time.
class Clock {
  public:
    virtual ~Clock() = default;
    // Any thread. Must be safe to call concurrently.
    virtual int64_t nowNs() const = 0;
};

// The real CLOCK_MONOTONIC.
class MonotonicClock final : public Clock {
  public:
    int64_t nowNs() const override;
};

// CLOCK_MONOTONIC in nanoseconds; 0 is reserved for "never".
int64_t monotonicNowNs();

// The process-wide monotonic clock.
const Clock& systemClock();

}  // namespace vocari
