#pragma once

#include <atomic>

#include "clock.h"

namespace vocari::test {

// A clock that only moves when a test moves it.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(int64_t startNs = 1'000'000'000'000) : now_(startNs) {}
    int64_t nowNs() const override { return now_.load(); }
    void set(int64_t ns) { now_.store(ns); }
    void advance(int64_t ns) { now_.fetch_add(ns); }
    void advanceSeconds(double seconds) { advance(static_cast<int64_t>(seconds * 1e9)); }

  private:
    std::atomic<int64_t> now_;
};

}  // namespace vocari::test
