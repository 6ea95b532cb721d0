#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace vocari {

// Estimates a phone's sample-clock rate against the local monotonic clock from nothing but packet
// arrival times and sequence numbers. Once a second it keeps the smallest lateness (arrival minus
// the media time implied by the sequence number) seen in that second; the drift is the Theil-Sen
// slope (median of all pairwise slopes) through the last 120 such points, so network delay
// spikes do not move it.
class ClockTracker {
  public:
    static constexpr int kPoints = 120;
    static constexpr int kMinPoints = 20;
    // Consecutive implausible estimates tolerated before the last good one stops counting
    // (about four minutes at one estimate a second).
    static constexpr int kFailuresBeforeInvalid = 240;
    static constexpr double kMinRatio = 0.998;
    static constexpr double kMaxRatio = 1.002;

    // `sampleRate` is the phone stream's nominal rate in Hz; a non-positive or non-finite rate
    // falls back to 48000.
    explicit ClockTracker(double sampleRate = 48000.0);

    ClockTracker(const ClockTracker&) = delete;
    ClockTracker& operator=(const ClockTracker&) = delete;

    // The phone's session receive thread only. One decoded audio packet: its sequence number,
    // its frame count and its arrival time (monotonic ns). Takes the tracker's lock; no
    // allocation.
    void onPacket(uint32_t seq, uint32_t frames, int64_t arrivalNs);

    // Any thread. Back to the idle state for a new phone; the sample rate stays. Takes the lock.
    void reset();

    // Any thread. Phone samples per nominal sample of the last accepted estimate (1.0 before the
    // first). Lock-free.
    double ratio() const { return ratio_.load(std::memory_order_relaxed); }
    // Any thread. Whether `ratio()` is a current estimate. Lock-free.
    bool valid() const { return valid_.load(std::memory_order_relaxed); }

    double sampleRate() const { return sampleRate_; }

  private:
    void recompute();  // with mutex_ held

    const double sampleRate_;

    std::mutex mutex_;
    // Everything below up to ratio_ is guarded by mutex_.
    std::array<double, kPoints> times_{};    // bucket middles, seconds since startTime_
    std::array<double, kPoints> offsets_{};  // smallest lateness of each bucket, ns
    int count_ = 0;
    int next_ = 0;
    int64_t startTime_ = 0;
    int64_t bucketEnd_ = 0;
    uint32_t startSeq_ = 0;
    double bucketMin_ = 0.0;
    bool bucketMinValid_ = false;
    bool started_ = false;
    int failures_ = 0;

    // Written under mutex_, read by any thread without it.
    std::atomic<double> ratio_{1.0};
    std::atomic<bool> valid_{false};
};

// The time-sync estimator of one phone. Each two-way exchange (T1 local send, T2 phone receive,
// T3 phone send, T4 local receive) gives one sample of the phone-minus-local clock offset and of
// the round-trip delay. It keeps the last 480 samples, drops those with inflated delay and fits a
// robust line through the offsets: the slope is the phone's clock rate against ours, and the line
// gives the offset at any moment.
class PtpClock {
  public:
    static constexpr int kSamples = 480;
    static constexpr int kMinSamples = 40;
    static constexpr int kMinKept = 8;
    static constexpr int kMinSlopes = 8;
    static constexpr int kMaxSlopes = 8192;
    static constexpr int kStrideTarget = 120;
    static constexpr double kMinSpanSeconds = 20.0;
    static constexpr double kMinGapSeconds = 10.0;
    // Consecutive implausible fits tolerated before the rate stops counting (about ten seconds
    // of exchanges at four a second).
    static constexpr int kFailuresBeforeInvalid = 40;
    static constexpr double kMinRatio = 0.998;
    static constexpr double kMaxRatio = 1.002;
    // A clock with no sample for this long is stale.
    static constexpr int64_t kFreshNs = 5'000'000'000;

    // The published offset line: the offset was `offsetNs` (phone minus local, ns) at local time
    // `timeNs` and changes by `slopeNsPerSecond` every second.
    struct Fit {
        double offsetNs = 0.0;
        double slopeNsPerSecond = 0.0;
        int64_t timeNs = 0;
        bool valid = false;
    };

    PtpClock() = default;
    PtpClock(const PtpClock&) = delete;
    PtpClock& operator=(const PtpClock&) = delete;

    // Time-sync thread only. One answered exchange; a sample whose round trip comes out negative
    // is discarded without touching anything. Takes the clock's lock; no allocation.
    void addSample(int64_t t1, int64_t t2, int64_t t3, int64_t t4);

    // Any thread. Back to the empty state for a new phone. Takes the lock.
    void reset();

    // Any thread. Phone clock rate over ours of the last accepted fit (1.0 before the first).
    // Lock-free.
    double ratio() const { return ratio_.load(std::memory_order_relaxed); }
    // Any thread. Whether `ratio()` is a current estimate. Lock-free.
    bool valid() const { return valid_.load(std::memory_order_relaxed); }
    // Any thread. Local receive time of the latest sample; 0 when there is none. Lock-free.
    int64_t lastT4() const { return lastT4_.load(std::memory_order_relaxed); }
    // Any thread. Offset of the latest sample, whole ns. Lock-free.
    int64_t lastOffset() const { return lastOffset_.load(std::memory_order_relaxed); }

    // Any thread. Valid and a sample less than five seconds before `nowNs`. Lock-free.
    bool isFresh(int64_t nowNs) const;

    // Any thread. A consistent copy of the published line. Lock-free (retries while a new line
    // is being published); allocates nothing.
    Fit fit() const;

    // Any thread. Phone-minus-local offset at local time `nowNs`, whole ns: from the line when
    // one exists, else the latest sample's offset. Lock-free.
    int64_t offsetAt(int64_t nowNs) const;

  private:
    void recompute(int64_t t4);  // with mutex_ held
    void publishFit(const Fit& fit);

    std::mutex mutex_;
    // Guarded by mutex_.
    std::array<double, kSamples> times_{};    // seconds since startT4_
    std::array<double, kSamples> offsets_{};  // ns
    std::array<double, kSamples> delays_{};   // ns
    int count_ = 0;
    int next_ = 0;
    int failures_ = 0;
    int64_t startT4_ = 0;
    double lastTime_ = 0.0;

    // Written by the time-sync thread, read by any thread without the lock.
    std::atomic<double> ratio_{1.0};
    std::atomic<bool> valid_{false};
    std::atomic<int64_t> lastT4_{0};
    std::atomic<int64_t> lastOffset_{0};

    // The line is published under a sequence counter (odd while a new line is being written) so
    // a reader never mixes the offset of one fit with the time of another.
    std::atomic<uint32_t> fitSeq_{0};
    std::atomic<double> fitOffset_{0.0};
    std::atomic<double> slope_{0.0};
    std::atomic<int64_t> fitTime_{0};
    std::atomic<bool> fitValid_{false};
};

// What one phone's two clock estimators say right now.
struct ClockReadings {
    double ptpRatio = 1.0;
    bool ptpValid = false;
    bool ptpFresh = false;
    double trackerRatio = 1.0;
    bool trackerValid = false;
};

// Any thread. Reads both estimators without locking.
ClockReadings readClocks(const PtpClock& ptp, const ClockTracker& tracker, int64_t nowNs);

// Which clock ratio the jitter consumer gets, and how the status line names it.
struct ClockChoice {
    double senderRatio = 1.0;  // for the consumer
    bool senderRatioValid = false;
    double shownRatio = 1.0;    // shown beside `source`
    const char* source = "--";  // "ptp", "arr", "arr+stale", "none+stale" or "--"
};

// A fresh time-sync clock wins, then a valid drift tracker; otherwise 1.0, not valid.
ClockChoice chooseClock(const ClockReadings& readings);

// Any thread. `chooseClock(readClocks(...))`. Lock-free.
ClockChoice chooseClock(const PtpClock& ptp, const ClockTracker& tracker, int64_t nowNs);

namespace clocks_detail {

// The delay cut-off of the time-sync fit over the `n` delays at `delays` (n >= 40): at least the
// 15 % quantile (rank 8 or more) and 1.5 times the smallest delay, never above the 35 % quantile.
// Reorders `delays`.
double delayThreshold(double* delays, int n);

}  // namespace clocks_detail

}  // namespace vocari
