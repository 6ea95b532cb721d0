#pragma once

// The phone's own clock: the one steady clock a phone stamps its audio with and answers time
// requests from. It runs from its own epoch and at its own rate, so the receiver sees a
// non-trivial offset and a measurable drift, as it would with a real phone.

#include <cstdint>

namespace vocari::phone {

// A source of CLOCK_MONOTONIC nanoseconds, injected so that tests can step time.
class TimeSource {
  public:
    virtual ~TimeSource() = default;
    // Any thread. Safe to call concurrently.
    virtual int64_t nowNs() const = 0;
};

// The real CLOCK_MONOTONIC.
class MonotonicTime final : public TimeSource {
  public:
    int64_t nowNs() const override;
};

// Something that blocks until a CLOCK_MONOTONIC deadline, injected beside the TimeSource so that
// tests can step time instead of sleeping.
class Waiter {
  public:
    virtual ~Waiter() = default;
    // Calling thread only. Returns once the time source has reached `monotonicNs`.
    virtual void waitUntil(int64_t monotonicNs) = 0;
};

// Sleeps on CLOCK_MONOTONIC to an absolute deadline, so repeated waits never drift.
class MonotonicWaiter final : public Waiter {
  public:
    void waitUntil(int64_t monotonicNs) override;
};

// phone time = epoch + (monotonic − start) × (1 + skew). Immutable after construction.
class PhoneClock {
  public:
    PhoneClock(const TimeSource& time, int64_t startMonotonicNs, int64_t epochNs, double skewPpm);

    // Any thread. Lock-free; the phone's time now.
    int64_t nowNs() const { return at(time_.nowNs()); }
    // Any thread. The phone's time at a monotonic instant.
    int64_t at(int64_t monotonicNs) const;
    // Any thread. The first monotonic instant at which the phone's time has reached `phoneNs`.
    int64_t monotonicAt(int64_t phoneNs) const;

    const TimeSource& timeSource() const { return time_; }

  private:
    const TimeSource& time_;
    int64_t start_;
    int64_t epoch_;
    double skewPpm_;
};

}  // namespace vocari::phone
