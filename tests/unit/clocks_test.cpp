#include "clocks.h"

#include <gtest/gtest.h>

#include "allocation_counter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vocari {
namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kMs = 1'000'000;
constexpr int64_t kStart = 5'000 * kSecond;  // an arbitrary monotonic start time
constexpr uint32_t kFrames = 480;            // 10 ms at 48000 Hz

// A phone that sends one 10 ms packet after another from a clock running `ppm` fast; packet k
// arrives at the phone's k × 10 ms converted to local time, plus whatever `delay(k)` adds.
struct PhoneStream {
    double ppm = 0.0;
    uint32_t firstSeq = 0;
    int64_t start = kStart;

    int64_t arrival(int64_t k, int64_t delayNs = 0) const {
        const double local = static_cast<double>(k) * 10e6 / (1.0 + ppm * 1e-6);
        return start + static_cast<int64_t>(local) + delayNs;
    }
    uint32_t seq(int64_t k) const { return firstSeq + static_cast<uint32_t>(k); }
};

template <typename Delay>
void feed(ClockTracker& tracker, const PhoneStream& phone, int64_t from, int64_t to, Delay delay) {
    for (int64_t k = from; k < to; ++k) {
        tracker.onPacket(phone.seq(k), kFrames, phone.arrival(k, delay(k)));
    }
}

void feed(ClockTracker& tracker, const PhoneStream& phone, int64_t from, int64_t to) {
    feed(tracker, phone, from, to, [](int64_t) { return int64_t{0}; });
}

// Network jitter that is usually small, sometimes a few ms, never negative.
struct Jitter {
    std::mt19937_64 rng;
    explicit Jitter(uint64_t seed) : rng(seed) {}
    int64_t operator()(int64_t) {
        std::exponential_distribution<double> spread(1.0 / 1.5e6);  // mean 1.5 ms
        return static_cast<int64_t>(spread(rng));
    }
};

// ---------------------------------------------------------------------------------------------
// ClockTracker

TEST(ClockTracker, NeedsTwentySecondsBeforeItsFirstEstimate) {
    ClockTracker tracker;
    const PhoneStream phone;
    // Packets 0 … 1999 arrive within 19.99 s: 19 buckets closed.
    feed(tracker, phone, 0, 2000);
    EXPECT_FALSE(tracker.valid());
    EXPECT_EQ(tracker.ratio(), 1.0);
    // The packet at exactly 20 s closes the twentieth bucket.
    feed(tracker, phone, 2000, 2001);
    EXPECT_TRUE(tracker.valid());
    EXPECT_EQ(tracker.ratio(), 1.0);
}

class ClockTrackerDrift : public ::testing::TestWithParam<double> {};

TEST_P(ClockTrackerDrift, FollowsASteadyPhoneClock) {
    const double ppm = GetParam();
    ClockTracker tracker;
    const PhoneStream phone{ppm};
    feed(tracker, phone, 0, 6000);  // one minute
    ASSERT_TRUE(tracker.valid());
    // Points sit at bucket middles while the least late packet slides through its second, which
    // costs a few parts in 10^8 at these rates.
    EXPECT_NEAR(tracker.ratio(), 1.0 + ppm * 1e-6, 1e-7);
}

TEST_P(ClockTrackerDrift, FollowsAJitteryPhoneClockToWithinOnePpm) {
    const double ppm = GetParam();
    ClockTracker tracker;
    const PhoneStream phone{ppm};
    feed(tracker, phone, 0, 18000, Jitter(7));  // three minutes, so the history has wrapped
    ASSERT_TRUE(tracker.valid());
    EXPECT_NEAR((tracker.ratio() - 1.0) * 1e6, ppm, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, ClockTrackerDrift, ::testing::Values(-300.0, -50.0, 50.0, 300.0),
                         [](const ::testing::TestParamInfo<double>& rate) {
                             const auto ppm = static_cast<int>(rate.param);
                             return (ppm < 0 ? "slow" : "fast") + std::to_string(std::abs(ppm));
                         });

TEST(ClockTracker, DelaySpikesDoNotMoveTheEstimate) {
    const PhoneStream phone{50.0};
    ClockTracker calm;
    ClockTracker spiky;
    Jitter calmJitter(11);
    Jitter spikyJitter(11);
    feed(calm, phone, 0, 9000, calmJitter);
    // The same network plus 200 ms on five packets every seven seconds (each second's minimum
    // barely moves), and on every packet of four whole seconds (those four points are spoiled,
    // and the median of the slopes outvotes them).
    feed(spiky, phone, 0, 9000, [&](int64_t k) {
        const int64_t jitter = spikyJitter(k);
        const int64_t second = k / 100;
        const bool burst = k % 700 >= 350 && k % 700 < 355;
        const bool spoiled = second == 25 || second == 40 || second == 41 || second == 77;
        return burst || spoiled ? jitter + 200 * kMs : jitter;
    });
    ASSERT_TRUE(spiky.valid());
    EXPECT_NEAR(spiky.ratio(), calm.ratio(), 5e-8);
    EXPECT_NEAR((spiky.ratio() - 1.0) * 1e6, 50.0, 0.5);
}

TEST(ClockTracker, SequenceWrapContinuesTheMediaTime) {
    const PhoneStream plain{-50.0, 0};
    const PhoneStream wrapping{-50.0, 0xFFFFFFFFu - 1500};  // wraps after 15 s
    ClockTracker reference;
    ClockTracker tracker;
    feed(reference, plain, 0, 6000);
    feed(tracker, wrapping, 0, 6000);
    ASSERT_TRUE(tracker.valid());
    EXPECT_EQ(tracker.ratio(), reference.ratio());
    EXPECT_NEAR(tracker.ratio(), 0.99995, 1e-8);
}

TEST(ClockTracker, LostPacketsAndSilentSecondsCostNothing) {
    const PhoneStream phone{50.0};
    ClockTracker tracker;
    // A third of the packets lost, then 10 s without anything, then the stream goes on with the
    // sequence numbers the phone kept counting.
    feed(tracker, phone, 0, 3000, [](int64_t) { return int64_t{0}; });
    for (int64_t k = 3000; k < 9000; ++k) {
        if ((k >= 3000 && k < 4000) || k % 3 == 0) {
            continue;
        }
        tracker.onPacket(phone.seq(k), kFrames, phone.arrival(k));
    }
    ASSERT_TRUE(tracker.valid());
    EXPECT_NEAR(tracker.ratio(), 1.00005, 1e-8);
}

TEST(ClockTracker, ThreeThousandPpmIsRejected) {
    ClockTracker tracker;
    feed(tracker, PhoneStream{3000.0}, 0, 12000);
    EXPECT_FALSE(tracker.valid());
    EXPECT_EQ(tracker.ratio(), 1.0);
}

TEST(ClockTracker, KeepsItsLastGoodRatioAndLosesValidityAfter241Rejections) {
    ClockTracker tracker;
    // One packet a second, so every closed bucket holds exactly one packet: packet k arrives at
    // k s plus `late`, carrying `mediaSeconds` of media since the first.
    auto send = [&](int64_t k, int64_t late, int64_t mediaSeconds) {
        tracker.onPacket(static_cast<uint32_t>(100 * mediaSeconds), kFrames,
                         kStart + k * kSecond + late);
    };
    // Twenty points on a 50 ppm slow line: accepted.
    for (int64_t k = 0; k <= 20; ++k) {
        send(k, 50'000 * k, k);
    }
    ASSERT_TRUE(tracker.valid());
    const double accepted = tracker.ratio();
    EXPECT_NEAR(accepted, 0.99995, 1e-12);

    // From now on the phone delivers two seconds of media every second, far outside any real
    // clock. The 190 slopes among the twenty good points outvote the new ones for eight more
    // points (8 × 20 + 28 = 188 bad slopes); from the ninth on every estimate is rejected.
    int64_t k = 21;
    auto sendBad = [&] {
        send(k, kMs, 20 + 2 * (k - 20));
        ++k;
    };
    for (int i = 0; i < 8; ++i) {
        sendBad();
    }
    for (int rejection = 1; rejection <= 240; ++rejection) {
        sendBad();
        ASSERT_TRUE(tracker.valid()) << "rejection " << rejection;
        ASSERT_EQ(tracker.ratio(), accepted);
    }
    sendBad();
    EXPECT_FALSE(tracker.valid());
    EXPECT_EQ(tracker.ratio(), accepted);
}

TEST(ClockTracker, ResetStartsAFreshPhone) {
    ClockTracker tracker;
    feed(tracker, PhoneStream{300.0, 77'000}, 0, 6000);
    ASSERT_TRUE(tracker.valid());

    tracker.reset();
    EXPECT_FALSE(tracker.valid());
    EXPECT_EQ(tracker.ratio(), 1.0);

    // The new phone starts at other sequence numbers, ten minutes later, on another clock.
    const PhoneStream next{-50.0, 12, kStart + 600 * kSecond};
    feed(tracker, next, 0, 1999);
    EXPECT_FALSE(tracker.valid());
    feed(tracker, next, 1999, 6000);
    ASSERT_TRUE(tracker.valid());
    EXPECT_NEAR(tracker.ratio(), 0.99995, 1e-8);
}

// ---------------------------------------------------------------------------------------------
// PtpClock

// A phone whose clock reads `offsetNs` + local time × (1 + ppm), answering every request after
// `turnaroundNs` of its own time. Requests go out every `periodNs` of local time.
struct PtpPhone {
    double ppm = 0.0;
    double offsetNs = 3.0e12;
    int64_t periodNs = 250 * kMs;
    int64_t turnaroundNs = 50'000;
    int64_t firstT1 = kStart;

    double phoneTime(double local) const { return offsetNs + local * (1.0 + ppm * 1e-6); }
    double trueOffset(double local) const { return phoneTime(local) - local; }

    // Exchange i with the given one-way delays.
    void exchange(PtpClock& clock, int64_t i, int64_t outNs, int64_t backNs) const {
        const int64_t t1 = firstT1 + i * periodNs;
        const auto t2 = static_cast<int64_t>(phoneTime(static_cast<double>(t1 + outNs)));
        const int64_t t3 = t2 + turnaroundNs;
        const auto localTurnaround =
            static_cast<int64_t>(static_cast<double>(turnaroundNs) / (1.0 + ppm * 1e-6));
        clock.addSample(t1, t2, t3, t1 + outNs + localTurnaround + backNs);
    }
};

// Feeds a sample with exactly the offset and round-trip delay given, received at `t4`.
void exactSample(PtpClock& clock, int64_t t4, int64_t offsetNs, int64_t delayNs) {
    const int64_t t1 = t4 - delayNs;
    const int64_t t2 = t1 + delayNs / 2 + offsetNs;
    clock.addSample(t1, t2, t2, t4);
}

TEST(PtpClock, OneExchangeGivesOffsetAndDelay) {
    PtpClock clock;
    clock.addSample(0, 1000, 1100, 300);  // out 1000, back −800: round trip 200 ns
    EXPECT_EQ(clock.lastOffset(), 900);
    EXPECT_EQ(clock.lastT4(), 300);
    EXPECT_FALSE(clock.fit().valid);
    EXPECT_EQ(clock.offsetAt(123'456'789), 900);
    EXPECT_FALSE(clock.valid());
}

TEST(PtpClock, NegativeRoundTripIsDiscarded) {
    PtpClock clock;
    clock.addSample(0, 1000, 1100, 300);
    clock.addSample(1000, 2000, 2100, 1050);  // back −1050 against out 1000
    EXPECT_EQ(clock.lastOffset(), 900);
    EXPECT_EQ(clock.lastT4(), 300);

    // A discarded sample does not count toward the forty needed for a fit either.
    PtpClock counted;
    for (int64_t i = 0; i < 39; ++i) {
        exactSample(counted, kStart + i * kSecond, 1000 + 20 * i, kMs);
    }
    counted.addSample(0, 1000, 1100, 50);
    EXPECT_FALSE(counted.fit().valid);
    exactSample(counted, kStart + 39 * kSecond, 1000 + 20 * 39, kMs);
    EXPECT_TRUE(counted.fit().valid);
}

TEST(PtpClock, ClockTimesNearTheEndsOfTheRangeStayDefined) {
    PtpClock clock;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    // The phone's clock has just wrapped while ours has not: out +1000, back −800 as above.
    clock.addSample(kMax - 499, kMin + 500, kMin + 600, kMax - 199);
    EXPECT_EQ(clock.lastOffset(), 900);
    // An offset beyond what 64 bits can hold (out kMax, back kMin + 1) saturates instead of
    // overflowing.
    PtpClock absurd;
    absurd.addSample(0, kMax, kMax, 0);
    EXPECT_EQ(absurd.lastOffset(), static_cast<int64_t>(9.2e18));
}

TEST(PtpClock, NeedsFortySamplesAndTwentySecondsOfSpan) {
    PtpClock oncePerSecond;
    for (int64_t i = 0; i < 39; ++i) {
        exactSample(oncePerSecond, kStart + i * kSecond, 500 + 20'000 * i, kMs);
    }
    EXPECT_FALSE(oncePerSecond.fit().valid);
    EXPECT_FALSE(oncePerSecond.valid());
    exactSample(oncePerSecond, kStart + 39 * kSecond, 500 + 20'000 * 39, kMs);
    EXPECT_TRUE(oncePerSecond.fit().valid);
    EXPECT_TRUE(oncePerSecond.valid());

    // Four a second: forty samples span only 9.75 s; the first fit comes at 20 s of span.
    PtpClock fourPerSecond;
    for (int64_t i = 0; i < 80; ++i) {
        exactSample(fourPerSecond, kStart + i * 250 * kMs, 5'000 * i, kMs);
    }
    EXPECT_FALSE(fourPerSecond.fit().valid);
    exactSample(fourPerSecond, kStart + 80 * 250 * kMs, 5'000 * 80, kMs);
    EXPECT_TRUE(fourPerSecond.fit().valid);
    EXPECT_NEAR(fourPerSecond.ratio(), 1.00002, 1e-12);
}

// The n delays base, base + 1, … in a shuffled order.
std::vector<double> shuffledDelays(int n, double base) {
    std::vector<double> delays(static_cast<size_t>(n));
    std::iota(delays.begin(), delays.end(), base);
    std::shuffle(delays.begin(), delays.end(), std::mt19937(3));
    return delays;
}

TEST(PtpDelayThreshold, UsesTheQuantileRanks) {
    struct Case {
        int n;
        int lowRank;
        int highRank;
    };
    for (const Case& c : {Case{40, 8, 14}, Case{100, 15, 35}, Case{480, 72, 168}}) {
        SCOPED_TRACE(c.n);
        // Delays 1, 2, … n: 1.5 × the smallest is below the low quantile, which wins.
        auto spread = shuffledDelays(c.n, 1.0);
        EXPECT_EQ(clocks_detail::delayThreshold(spread.data(), c.n), c.lowRank);
        // Delays 1000, 1001, …: 1.5 × the smallest is above the high quantile, which caps it.
        auto tight = shuffledDelays(c.n, 1000.0);
        EXPECT_EQ(clocks_detail::delayThreshold(tight.data(), c.n), 999.0 + c.highRank);
        // In between, 1.5 × the smallest delay is the cut-off.
        auto middle = shuffledDelays(c.n, 2.0 * c.n);
        middle[5] = (2.0 * c.n + c.lowRank) / 1.5;
        EXPECT_DOUBLE_EQ(clocks_detail::delayThreshold(middle.data(), c.n), 2.0 * c.n + c.lowRank);
    }
}

TEST(PtpClock, TwentyPpmFastPhoneThroughAJitteryNetwork) {
    const PtpPhone phone{20.0};
    PtpClock clock;
    std::mt19937_64 rng(5);
    std::exponential_distribution<double> queueing(1.0 / 400e3);  // mean 0.4 ms each way
    std::bernoulli_distribution congested(0.1);
    int64_t lastT4 = 0;
    for (int64_t i = 0; i < 480; ++i) {
        const auto out =
            2 * kMs + static_cast<int64_t>(queueing(rng)) + (congested(rng) ? 40 * kMs : 0);
        const auto back = 2 * kMs + static_cast<int64_t>(queueing(rng));
        phone.exchange(clock, i, out, back);
        lastT4 = clock.lastT4();
    }
    ASSERT_TRUE(clock.valid());
    EXPECT_NEAR(clock.fit().slopeNsPerSecond, 20'000.0, 500.0);
    EXPECT_NEAR(clock.ratio(), 1.00002, 0.5e-6);
    EXPECT_TRUE(clock.isFresh(lastT4));
    // The line predicts the offset a second after the last exchange to within 0.2 ms (the
    // delay asymmetry of the kept samples).
    const int64_t later = lastT4 + kSecond;
    EXPECT_NEAR(static_cast<double>(clock.offsetAt(later)),
                phone.trueOffset(static_cast<double>(later)), 200e3);
}

TEST(PtpClock, ImplausibleFitStillPublishesItsLine) {
    const PtpPhone phone{5000.0};
    PtpClock clock;
    for (int64_t i = 0; i < 200; ++i) {
        phone.exchange(clock, i, 2 * kMs, 2 * kMs);
    }
    const PtpClock::Fit line = clock.fit();
    ASSERT_TRUE(line.valid);
    EXPECT_NEAR(line.slopeNsPerSecond, 5.0e6, 1e3);
    EXPECT_EQ(line.timeNs, clock.lastT4());
    EXPECT_FALSE(clock.valid());
    EXPECT_EQ(clock.ratio(), 1.0);
    EXPECT_FALSE(clock.isFresh(clock.lastT4()));
    // Each sample is filed under its receive time although it measured the moment the request
    // reached the phone, 2 ms earlier: at 5000 ppm that shifts the line by about 10 µs.
    const int64_t later = clock.lastT4() + 3 * kSecond;
    EXPECT_NEAR(static_cast<double>(clock.offsetAt(later)),
                phone.trueOffset(static_cast<double>(later)), 20e3);
}

TEST(PtpClock, KeepsItsLastGoodRatioAndLosesValidityAfter41Rejections) {
    PtpClock clock;
    int64_t t4 = kStart;
    int64_t offset = 0;
    // Two minutes on a 20 ppm line at 1 ms round trip: accepted.
    for (int i = 0; i < PtpClock::kSamples; ++i) {
        exactSample(clock, t4, offset, kMs);
        t4 += 250 * kMs;
        offset += 5'000;
    }
    ASSERT_TRUE(clock.valid());
    const double accepted = clock.ratio();
    EXPECT_NEAR(accepted, 1.00002, 1e-12);

    // Then 5000 ppm at 2 ms round trip. The delay filter keeps only the old 1 ms samples while
    // at least 72 of them remain (the 15 % rank); the fits over them stay good until fewer than
    // 81 span less than 20 s, after which no fit is made. Once only 71 remain (the 409th new
    // sample) every sample is kept and every slope is implausible.
    auto sendBad = [&] {
        exactSample(clock, t4, offset, 2 * kMs);
        t4 += 250 * kMs;
        offset += 1'250'000;
    };
    for (int i = 0; i < 408; ++i) {
        sendBad();
        ASSERT_TRUE(clock.valid());
    }
    for (int rejection = 1; rejection <= 40; ++rejection) {
        sendBad();
        ASSERT_TRUE(clock.valid()) << "rejection " << rejection;
        ASSERT_GT(clock.fit().slopeNsPerSecond, 2.0e6);
    }
    sendBad();
    EXPECT_FALSE(clock.valid());
    EXPECT_EQ(clock.ratio(), accepted);
}

TEST(PtpClock, ResetForgetsEverything) {
    PtpClock clock;
    const PtpPhone phone{20.0};
    for (int64_t i = 0; i < 200; ++i) {
        phone.exchange(clock, i, kMs, kMs);
    }
    ASSERT_TRUE(clock.valid());
    clock.reset();
    EXPECT_FALSE(clock.valid());
    EXPECT_EQ(clock.ratio(), 1.0);
    EXPECT_EQ(clock.lastT4(), 0);
    EXPECT_EQ(clock.lastOffset(), 0);
    EXPECT_FALSE(clock.fit().valid);
    EXPECT_FALSE(clock.isFresh(kStart));

    // The next phone is timed from its own first sample: 39 samples are not enough again.
    const PtpPhone next{-30.0, -7.0e9, 250 * kMs, 50'000, kStart + 3600 * kSecond};
    for (int64_t i = 0; i < 39; ++i) {
        next.exchange(clock, i * 4, kMs, kMs);
    }
    EXPECT_FALSE(clock.fit().valid);
    for (int64_t i = 39; i < 120; ++i) {
        next.exchange(clock, i * 4, kMs, kMs);
    }
    ASSERT_TRUE(clock.valid());
    EXPECT_NEAR(clock.ratio(), 1.0 - 30e-6, 1e-8);
}

// ---------------------------------------------------------------------------------------------
// Choice of the sender ratio and the clock source word

TEST(ClockChoice, FollowsTheFreshestValidEstimate) {
    struct Case {
        bool ptpValid, ptpFresh, trackerValid;
        const char* source;
        double senderRatio;
        bool senderValid;
        double shown;
    };
    const double ptp = 1.00002;
    const double arr = 0.99997;
    for (const Case& c : {
             Case{true, true, true, "ptp", ptp, true, ptp},
             Case{true, true, false, "ptp", ptp, true, ptp},
             Case{false, false, true, "arr", arr, true, arr},
             Case{true, false, true, "arr+stale", arr, true, arr},
             Case{true, false, false, "none+stale", 1.0, false, arr},
             Case{false, false, false, "--", 1.0, false, arr},
         }) {
        SCOPED_TRACE(c.source);
        const ClockChoice choice =
            chooseClock(ClockReadings{ptp, c.ptpValid, c.ptpFresh, arr, c.trackerValid});
        EXPECT_STREQ(choice.source, c.source);
        EXPECT_EQ(choice.senderRatio, c.senderRatio);
        EXPECT_EQ(choice.senderRatioValid, c.senderValid);
        EXPECT_EQ(choice.shownRatio, c.shown);
    }
}

TEST(ClockChoice, ReadsTheLiveEstimators) {
    ClockTracker tracker;
    PtpClock ptp;
    const PtpPhone phone{20.0};
    const int64_t now = kStart + 30 * kSecond;

    EXPECT_STREQ(chooseClock(ptp, tracker, now).source, "--");

    // A USB phone: only arrival times.
    feed(tracker, PhoneStream{-50.0, 0, kStart}, 0, 3000);
    ClockChoice choice = chooseClock(ptp, tracker, now);
    EXPECT_STREQ(choice.source, "arr");
    EXPECT_NEAR(choice.senderRatio, 0.99995, 1e-8);
    EXPECT_TRUE(choice.senderRatioValid);

    // Time sync joins: fresh, so it wins.
    for (int64_t i = 0; i < 120; ++i) {
        phone.exchange(ptp, i, kMs, kMs);
    }
    const int64_t last = ptp.lastT4();
    choice = chooseClock(ptp, tracker, last + kSecond);
    EXPECT_STREQ(choice.source, "ptp");
    EXPECT_NEAR(choice.senderRatio, 1.00002, 1e-8);
    EXPECT_EQ(choice.shownRatio, choice.senderRatio);

    // A `now` read just before the latest answer landed counts as fresh too.
    EXPECT_STREQ(chooseClock(ptp, tracker, last - kMs).source, "ptp");
    EXPECT_STREQ(chooseClock(ptp, tracker, last + 5 * kSecond - 1).source, "ptp");

    // Five seconds without an answer: back to arrival times.
    choice = chooseClock(ptp, tracker, last + 5 * kSecond);
    EXPECT_STREQ(choice.source, "arr+stale");
    EXPECT_EQ(choice.senderRatio, tracker.ratio());

    tracker.reset();
    choice = chooseClock(ptp, tracker, last + 5 * kSecond);
    EXPECT_STREQ(choice.source, "none+stale");
    EXPECT_FALSE(choice.senderRatioValid);
    EXPECT_EQ(choice.senderRatio, 1.0);
}

// ---------------------------------------------------------------------------------------------
// Threads and the heap

TEST(Clocks, EstimatesNeedNoHeap) {
    ClockTracker tracker;
    PtpClock ptp;
    const PtpPhone phone{20.0};
    const long before = test::allocationsOnThisThread();
    feed(tracker, PhoneStream{50.0}, 0, 15000);
    for (int64_t i = 0; i < 600; ++i) {
        phone.exchange(ptp, i, kMs, kMs);
        chooseClock(ptp, tracker, ptp.lastT4());
        ptp.offsetAt(ptp.lastT4());
    }
    const long made = test::allocationsOnThisThread() - before;
    EXPECT_TRUE(tracker.valid());
    EXPECT_TRUE(ptp.valid());
    EXPECT_EQ(made, 0);
}

TEST(Clocks, ReadersOnOtherThreadsSeeWholeLines) {
    // A 1000 ppm phone: the line's offset moves 250 µs between fits, so a reader that mixed one
    // fit's offset with another's time would be far off the true offset.
    const PtpPhone phone{1000.0, 0.0};
    PtpClock ptp;
    ClockTracker tracker;
    std::atomic<bool> done{false};

    std::thread writer([&] {
        for (int64_t i = 0; i < 2000; ++i) {
            phone.exchange(ptp, i, kMs, kMs);
            tracker.onPacket(static_cast<uint32_t>(i * 25), kFrames, kStart + i * 250 * kMs);
        }
        done.store(true);
    });
    struct Seen {
        long reads = 0;
        double worstErrorNs = 0.0;
    };
    auto reader = [&](Seen& seen) {
        while (!done.load()) {
            const PtpClock::Fit line = ptp.fit();
            const ClockChoice choice = chooseClock(ptp, tracker, ptp.lastT4());
            EXPECT_NE(choice.source, nullptr);
            if (!line.valid) {
                continue;
            }
            const auto at = static_cast<double>(line.timeNs);
            seen.worstErrorNs =
                std::max(seen.worstErrorNs, std::abs(line.offsetNs - phone.trueOffset(at)));
            ++seen.reads;
        }
    };
    Seen seenA;
    Seen seenB;
    std::thread readerA(reader, std::ref(seenA));
    std::thread readerB(reader, std::ref(seenB));
    writer.join();
    readerA.join();
    readerB.join();
    EXPECT_GT(seenA.reads + seenB.reads, 0);
    EXPECT_LT(std::max(seenA.worstErrorNs, seenB.worstErrorNs), 5'000.0);
    EXPECT_NEAR(ptp.ratio(), 1.001, 1e-8);
}

}  // namespace
}  // namespace vocari
