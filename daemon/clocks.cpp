#include "clocks.h"

#include <algorithm>
#include <cmath>

namespace vocari {

namespace {

constexpr int64_t kSecondNs = 1'000'000'000;
constexpr double kNsPerSecond = 1e9;

// Difference of two 64-bit times with wrap-around instead of overflow: the time-sync times come
// from the network and may be anything.
int64_t wrappingDifference(int64_t later, int64_t earlier) {
    return static_cast<int64_t>(static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier));
}

// Truncates toward zero to whole nanoseconds, saturating where a 64-bit count cannot hold the
// value (absurd offsets from a confused phone must not make the conversion undefined).
int64_t toWholeNs(double ns) {
    constexpr double kLimit = 9.2e18;
    if (std::isnan(ns)) {
        return 0;
    }
    return static_cast<int64_t>(std::clamp(ns, -kLimit, kLimit));
}

// Publishes a plausible rate estimate. An implausible one keeps the last good ratio and counts a
// failure; once `limit` failures came in a row, the next one declares the ratio stale.
void judgeEstimate(double estimate, double minRatio, double maxRatio, int limit, int& failures,
                   std::atomic<double>& ratio, std::atomic<bool>& valid) {
    if (estimate > minRatio && estimate < maxRatio) {
        failures = 0;
        ratio.store(estimate, std::memory_order_relaxed);
        valid.store(true, std::memory_order_relaxed);
    } else if (failures >= limit) {
        valid.store(false, std::memory_order_relaxed);
    } else {
        ++failures;
    }
}

// The upper middle value of `values[0, n)`, by selection; reorders them.
double upperMedian(double* values, int n) {
    std::nth_element(values, values + n / 2, values + n);
    return values[n / 2];
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ClockTracker

ClockTracker::ClockTracker(double sampleRate)
    : sampleRate_(std::isfinite(sampleRate) && sampleRate > 0.0 ? sampleRate : 48000.0) {}

void ClockTracker::reset() {
    std::lock_guard lock(mutex_);
    times_.fill(0.0);
    offsets_.fill(0.0);
    count_ = 0;
    next_ = 0;
    startTime_ = 0;
    bucketEnd_ = 0;
    startSeq_ = 0;
    bucketMin_ = 0.0;
    bucketMinValid_ = false;
    started_ = false;
    failures_ = 0;
    ratio_.store(1.0, std::memory_order_relaxed);
    valid_.store(false, std::memory_order_relaxed);
}

void ClockTracker::onPacket(uint32_t seq, uint32_t frames, int64_t arrivalNs) {
    std::lock_guard lock(mutex_);
    if (!started_) {
        startTime_ = arrivalNs;
        bucketEnd_ = arrivalNs + kSecondNs;
        startSeq_ = seq;
        started_ = true;
    }

    // Media time assumes every earlier packet had this packet's length; unsigned subtraction
    // carries the media time across a sequence wrap.
    const uint32_t packetsSinceStart = seq - startSeq_;
    const double mediaNs = static_cast<double>(packetsSinceStart) * static_cast<double>(frames) /
                           sampleRate_ * kNsPerSecond;
    const double lateness = static_cast<double>(arrivalNs - startTime_) - mediaNs;
    if (!bucketMinValid_ || lateness < bucketMin_) {
        bucketMin_ = lateness;
        bucketMinValid_ = true;
    }

    if (arrivalNs < bucketEnd_) {
        return;
    }
    times_[next_] = static_cast<double>(bucketEnd_ - startTime_ - kSecondNs / 2) / kNsPerSecond;
    offsets_[next_] = bucketMin_;
    next_ = (next_ + 1) % kPoints;
    count_ = std::min(count_ + 1, kPoints);
    // Seconds without packets give no point: jump straight to the bucket that holds `now`'s
    // successor.
    bucketEnd_ += ((arrivalNs - bucketEnd_) / kSecondNs + 1) * kSecondNs;
    bucketMinValid_ = false;
    recompute();
}

void ClockTracker::recompute() {
    if (count_ < kMinPoints) {
        return;
    }
    // Deliberately uninitialised: only the first `slopeCount` entries are ever read.
    std::array<double, kPoints*(kPoints - 1) / 2> slopes;
    int slopeCount = 0;
    for (int i = 0; i < count_; ++i) {
        for (int j = i + 1; j < count_; ++j) {
            // Across the circular wrap the later slot holds the older point; such pairs are left
            // out, as are points too close in time to give a meaningful slope.
            const double span = times_[j] - times_[i];
            if (span > 1e-6) {
                slopes[slopeCount++] = (offsets_[j] - offsets_[i]) / span;
            }
        }
    }
    if (slopeCount < 3) {
        return;
    }
    double median = upperMedian(slopes.data(), slopeCount);
    if (slopeCount % 2 == 0) {
        // After the selection everything left of the upper middle is no larger than it.
        const double lowerMiddle = *std::max_element(slopes.data(), slopes.data() + slopeCount / 2);
        median = (lowerMiddle + median) / 2.0;
    }

    // Lateness growing by `median` ns every second: the phone delivers that many ppb too slowly.
    const double estimate = 1.0 - median / kNsPerSecond;
    judgeEstimate(estimate, kMinRatio, kMaxRatio, kFailuresBeforeInvalid, failures_, ratio_,
                  valid_);
}

// ---------------------------------------------------------------------------------------------
// PtpClock

void PtpClock::reset() {
    std::lock_guard lock(mutex_);
    times_.fill(0.0);
    offsets_.fill(0.0);
    delays_.fill(0.0);
    count_ = 0;
    next_ = 0;
    failures_ = 0;
    startT4_ = 0;
    lastTime_ = 0.0;
    ratio_.store(1.0, std::memory_order_relaxed);
    valid_.store(false, std::memory_order_relaxed);
    lastT4_.store(0, std::memory_order_relaxed);
    lastOffset_.store(0, std::memory_order_relaxed);
    publishFit(Fit{});
}

void PtpClock::addSample(int64_t t1, int64_t t2, int64_t t3, int64_t t4) {
    const auto outbound = static_cast<double>(wrappingDifference(t2, t1));
    const auto inbound = static_cast<double>(wrappingDifference(t4, t3));
    const double delay = outbound + inbound;
    if (delay < 0.0) {
        return;
    }
    const double offset = (outbound - inbound) / 2.0;
    lastT4_.store(t4, std::memory_order_relaxed);

    std::lock_guard lock(mutex_);
    if (count_ == 0) {
        startT4_ = t4;
    }
    lastTime_ = static_cast<double>(wrappingDifference(t4, startT4_)) / kNsPerSecond;
    times_[next_] = lastTime_;
    offsets_[next_] = offset;
    delays_[next_] = delay;
    next_ = (next_ + 1) % kSamples;
    count_ = std::min(count_ + 1, kSamples);
    lastOffset_.store(toWholeNs(offset), std::memory_order_relaxed);
    recompute(t4);
}

void PtpClock::recompute(int64_t t4) {
    const int n = count_;
    if (n < kMinSamples) {
        return;
    }
    // Working arrays are deliberately uninitialised: only their filled prefixes are read.
    std::array<double, kSamples> scratch;
    std::copy_n(delays_.data(), n, scratch.data());
    const double threshold = clocks_detail::delayThreshold(scratch.data(), n);

    // Gather the kept samples oldest first, so they are normally already in time order.
    std::array<double, kSamples> keptTimes;
    std::array<double, kSamples> keptOffsets;
    int kept = 0;
    const int oldest = n < kSamples ? 0 : next_;
    for (int k = 0; k < n; ++k) {
        const int slot = (oldest + k) % kSamples;
        if (delays_[slot] <= threshold) {
            keptTimes[kept] = times_[slot];
            keptOffsets[kept] = offsets_[slot];
            ++kept;
        }
    }
    if (kept < kMinKept) {
        return;
    }
    // Stable insertion sort by time: linear on the usual, already ordered input, and no heap.
    for (int i = 1; i < kept; ++i) {
        const double time = keptTimes[i];
        const double offset = keptOffsets[i];
        int j = i;
        for (; j > 0 && keptTimes[j - 1] > time; --j) {
            keptTimes[j] = keptTimes[j - 1];
            keptOffsets[j] = keptOffsets[j - 1];
        }
        keptTimes[j] = time;
        keptOffsets[j] = offset;
    }

    const double span = keptTimes[kept - 1] - keptTimes[0];
    if (span < kMinSpanSeconds) {
        return;
    }
    // Thin out long histories and pair only samples far apart, so short-term offset noise does
    // not dominate the slopes.
    const int stride = kept <= kStrideTarget ? 1 : kept / kStrideTarget + 1;
    const double minGap = std::max(span / 3.0, kMinGapSeconds);
    std::array<double, kMaxSlopes> slopes;
    int slopeCount = 0;
    for (int i = 0; i + stride < kept && slopeCount < kMaxSlopes; i += stride) {
        for (int j = i + stride; j < kept && slopeCount < kMaxSlopes; j += stride) {
            const double gap = keptTimes[j] - keptTimes[i];
            if (gap >= minGap) {
                slopes[slopeCount++] = (keptOffsets[j] - keptOffsets[i]) / gap;
            }
        }
    }
    if (slopeCount < kMinSlopes) {
        return;
    }
    const double slope = upperMedian(slopes.data(), slopeCount);

    // The slope buffer is free again: reuse it for the residuals of the intercept.
    for (int k = 0; k < kept; ++k) {
        slopes[k] = keptOffsets[k] - slope * keptTimes[k];
    }
    const double intercept = upperMedian(slopes.data(), kept);

    // The line is useful for offsets even when its rate is not believable.
    publishFit(Fit{intercept + slope * lastTime_, slope, t4, true});

    const double estimate = 1.0 + slope / kNsPerSecond;
    judgeEstimate(estimate, kMinRatio, kMaxRatio, kFailuresBeforeInvalid, failures_, ratio_,
                  valid_);
}

void PtpClock::publishFit(const Fit& fit) {
    // Release stores (rather than fences, which the thread sanitizer cannot follow): a reader
    // that sees any new field also sees the odd count stored before it.
    const uint32_t seq = fitSeq_.load(std::memory_order_relaxed);
    fitSeq_.store(seq + 1, std::memory_order_relaxed);
    fitOffset_.store(fit.offsetNs, std::memory_order_release);
    slope_.store(fit.slopeNsPerSecond, std::memory_order_release);
    fitTime_.store(fit.timeNs, std::memory_order_release);
    fitValid_.store(fit.valid, std::memory_order_release);
    fitSeq_.store(seq + 2, std::memory_order_release);
}

PtpClock::Fit PtpClock::fit() const {
    for (;;) {
        const uint32_t before = fitSeq_.load(std::memory_order_acquire);
        if (before % 2 != 0) {
            continue;
        }
        Fit fit;
        // Acquire loads keep the second look at the count after the field loads.
        fit.offsetNs = fitOffset_.load(std::memory_order_acquire);
        fit.slopeNsPerSecond = slope_.load(std::memory_order_acquire);
        fit.timeNs = fitTime_.load(std::memory_order_acquire);
        fit.valid = fitValid_.load(std::memory_order_acquire);
        if (fitSeq_.load(std::memory_order_relaxed) == before) {
            return fit;
        }
    }
}

bool PtpClock::isFresh(int64_t nowNs) const {
    if (!valid()) {
        return false;
    }
    const int64_t t4 = lastT4();
    return t4 != 0 && wrappingDifference(nowNs, t4) < kFreshNs;
}

int64_t PtpClock::offsetAt(int64_t nowNs) const {
    const Fit line = fit();
    if (!line.valid) {
        return lastOffset();
    }
    const double elapsedNs = static_cast<double>(nowNs) - static_cast<double>(line.timeNs);
    return toWholeNs(line.offsetNs + line.slopeNsPerSecond * elapsedNs / kNsPerSecond);
}

namespace clocks_detail {

double delayThreshold(double* delays, int n) {
    const double smallest = *std::min_element(delays, delays + n);
    // Ranks are 1-based; integer arithmetic keeps trunc(0.15 n) exact for every n.
    const int lowRank = std::max(15 * n / 100, PtpClock::kMinKept);
    const int highRank = std::max(35 * n / 100, lowRank);
    std::nth_element(delays, delays + lowRank - 1, delays + n);
    const double lowQuantile = delays[lowRank - 1];
    if (highRank > lowRank) {
        // Everything from lowRank on is no smaller than the low quantile, so select there.
        std::nth_element(delays + lowRank, delays + highRank - 1, delays + n);
    }
    const double highQuantile = delays[highRank - 1];
    return std::min(std::max(1.5 * smallest, lowQuantile), highQuantile);
}

}  // namespace clocks_detail

// ---------------------------------------------------------------------------------------------
// Choice of the sender ratio

ClockReadings readClocks(const PtpClock& ptp, const ClockTracker& tracker, int64_t nowNs) {
    ClockReadings readings;
    readings.ptpRatio = ptp.ratio();
    readings.ptpValid = ptp.valid();
    readings.ptpFresh = readings.ptpValid && ptp.isFresh(nowNs);
    readings.trackerRatio = tracker.ratio();
    readings.trackerValid = tracker.valid();
    return readings;
}

ClockChoice chooseClock(const ClockReadings& readings) {
    ClockChoice choice;
    if (readings.ptpFresh) {
        choice.senderRatio = readings.ptpRatio;
        choice.senderRatioValid = true;
        choice.shownRatio = readings.ptpRatio;
        choice.source = "ptp";
        return choice;
    }
    choice.shownRatio = readings.trackerRatio;
    if (readings.trackerValid) {
        choice.senderRatio = readings.trackerRatio;
        choice.senderRatioValid = true;
        choice.source = readings.ptpValid ? "arr+stale" : "arr";
    } else {
        choice.source = readings.ptpValid ? "none+stale" : "--";
    }
    return choice;
}

ClockChoice chooseClock(const PtpClock& ptp, const ClockTracker& tracker, int64_t nowNs) {
    return chooseClock(readClocks(ptp, tracker, nowNs));
}

}  // namespace vocari
