// Simulated hours of two phones with drifting clocks, played out by a device whose clock is
// off too. Everything runs in simulated time: packet arrivals, time-sync exchanges and render
// callbacks are events on one timeline, so an hour takes seconds and every run is the same.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "clocks.h"
#include "jitter.h"

namespace vocari {
namespace {

constexpr double kRate = 48000.0;
constexpr int64_t kSecond = 1'000'000'000;
constexpr int kPacketFrames = 480;  // 10 ms
constexpr double kDevicePpm = 100.0;
constexpr int64_t kSimulatedNs = 3600 * kSecond;
constexpr int64_t kSettledAfterNs = 300 * kSecond;
constexpr int64_t kStartNs = 50 * kSecond;  // CLOCK_MONOTONIC is never near 0

// One phone: its clock, its network path, its estimators and its jitter buffer.
struct SimulatedPhone {
    int callbackFrames;
    int64_t jitterNs;
    double ppm;
    int64_t phoneEpochNs;  // the phone clock's reading at simulated time 0
    std::mt19937_64 random;
    SampleRing ring;
    JitterConsumer consumer{ring, kRate, 45.0};
    ClockTracker tracker{kRate};
    PtpClock ptp;

    uint32_t sequence = 0xFFFFFF00;  // wraps during the run
    int64_t nextSendNs = kStartNs;
    int64_t lastArrivalNs = 0;
    int64_t nextExchangeNs = kStartNs + kSecond / 4;
    std::vector<float> packet = std::vector<float>(2 * kPacketFrames);
    float sampleValue = 0.0f;

    // Statistics once settled.
    double worstDeviationMs = 0.0;
    double deviationSumMs = 0.0;
    uint64_t settledPulls = 0;
    uint32_t underrunsWhenPrimed = 0;
    bool everPrimed = false;

    SimulatedPhone(int callback, int64_t jitter, double clockPpm, uint64_t seed)
        : callbackFrames(callback),
          jitterNs(jitter),
          ppm(clockPpm),
          phoneEpochNs(static_cast<int64_t>(seed % 1000) * kSecond),
          random(seed) {
        consumer.setDepthCap(28800);
    }

    int64_t phoneTime(int64_t macNs) const {
        return phoneEpochNs + static_cast<int64_t>(static_cast<double>(macNs) * (1.0 + ppm * 1e-6));
    }
    int64_t macTime(int64_t phoneNs) const {
        return static_cast<int64_t>(static_cast<double>(phoneNs - phoneEpochNs) /
                                    (1.0 + ppm * 1e-6));
    }
    // One-way network delay: 4 ms plus up to `jitterNs` of jitter.
    int64_t pathDelay() {
        std::uniform_int_distribution<int64_t> jitter(0, jitterNs);
        return 4'000'000 + jitter(random);
    }
    int64_t sendPeriodNs() const {
        return static_cast<int64_t>(kPacketFrames / kRate * 1e9 / (1.0 + ppm * 1e-6));
    }

    // The next packet's arrival; packets are delivered in order.
    int64_t nextArrivalNs() { return std::max(lastArrivalNs, nextSendNs + pathDelay()); }

    void deliverPacket(int64_t arrivalNs) {
        for (auto& sample : packet) {
            sample = sampleValue;
            sampleValue = sampleValue > 0.9f ? -0.9f : sampleValue + 0.001f;
        }
        ring.write(packet.data(), packet.size());
        ring.trimBacklog();
        consumer.setPacketFrames(kPacketFrames);
        tracker.onPacket(sequence++, kPacketFrames, arrivalNs);
        const auto choice = chooseClock(ptp, tracker, arrivalNs);
        consumer.setSenderRatio(choice.senderRatio, choice.senderRatioValid);
        lastArrivalNs = arrivalNs;
        nextSendNs += sendPeriodNs();
    }

    void exchangeTime(int64_t t1) {
        const int64_t t2 = phoneTime(t1 + pathDelay());
        const int64_t t3 = t2 + 50'000;
        const int64_t t4 = macTime(t3) + pathDelay();
        ptp.addSample(t1, t2, t3, t4);
        const auto choice = chooseClock(ptp, tracker, t4);
        consumer.setSenderRatio(choice.senderRatio, choice.senderRatioValid);
        nextExchangeNs += kSecond / 4;
    }

    void render(int64_t now, double deviceRatio, float* out) {
        const uint32_t before = consumer.underruns();
        const bool wasPrimed = consumer.primed();
        consumer.setDeviceRatio(deviceRatio, deviceRatio != 1.0);
        consumer.pull(out, static_cast<size_t>(callbackFrames));
        everPrimed = everPrimed || consumer.primed();
        if (wasPrimed && consumer.underruns() != before) {
            ++underrunsWhenPrimed;
        }
        if (now >= kSettledAfterNs) {
            const double deviation =
                consumer.depthMs(consumer.slowDepth()) -
                consumer.depthMs(static_cast<double>(consumer.effectiveTarget()));
            worstDeviationMs = std::max(worstDeviationMs, std::abs(deviation));
            deviationSumMs += std::abs(deviation);
            ++settledPulls;
        }
    }
};

// Two phones, +300 and -300 ppm, with 10 ms packets over an hour; the device clock 100 ppm fast.
void playAnHour(int callbackFrames, SimulatedPhone& fast, SimulatedPhone& slow) {
    SimulatedPhone* phones[] = {&fast, &slow};
    std::vector<float> out(2 * static_cast<size_t>(callbackFrames));

    const double callbackNs = callbackFrames / (kRate * (1.0 + kDevicePpm * 1e-6)) * 1e9;
    double nextCallbackNs = static_cast<double>(kStartNs);
    int64_t arrival[2] = {fast.nextArrivalNs(), slow.nextArrivalNs()};

    while (nextCallbackNs < static_cast<double>(kStartNs + kSimulatedNs)) {
        const auto callbackAt = static_cast<int64_t>(nextCallbackNs);
        // Everything due before this callback happens first, in time order per phone.
        for (int p = 0; p < 2; ++p) {
            SimulatedPhone& phone = *phones[p];
            while (arrival[p] <= callbackAt || phone.nextExchangeNs <= callbackAt) {
                if (arrival[p] <= phone.nextExchangeNs) {
                    phone.deliverPacket(arrival[p]);
                    arrival[p] = phone.nextArrivalNs();
                } else {
                    phone.exchangeTime(phone.nextExchangeNs);
                }
            }
        }
        // The render side measures the device clock only after 30 s, as the output unit does.
        const double deviceRatio =
            callbackAt - kStartNs > 30 * kSecond ? 1.0 + kDevicePpm * 1e-6 : 1.0;
        for (SimulatedPhone* phone : phones) {
            phone->render(callbackAt - kStartNs, deviceRatio, out.data());
        }
        nextCallbackNs += callbackNs;
    }

    for (SimulatedPhone* phone : phones) {
        const auto choice = chooseClock(phone->ptp, phone->tracker, kStartNs + kSimulatedNs);
        const double estimatePpm = (choice.senderRatio - 1.0) * 1e6;
        std::printf(
            "%d-frame callbacks, %.0f ms jitter, phone %+5.0f ppm: estimate %+8.2f ppm (%s), "
            "tracker %+8.2f ppm, trim %+d ppm, target %.1f ms, worst |buffer - target| %.3f ms, "
            "mean %.3f ms, underruns after priming %u, total underruns %u\n",
            callbackFrames, static_cast<double>(phone->jitterNs) / 1e6, phone->ppm, estimatePpm,
            choice.source, (phone->tracker.ratio() - 1.0) * 1e6, phone->consumer.trimPpm(),
            phone->consumer.depthMs(static_cast<double>(phone->consumer.effectiveTarget())),
            phone->worstDeviationMs,
            phone->deviationSumMs / static_cast<double>(phone->settledPulls),
            phone->underrunsWhenPrimed, phone->consumer.underruns());
        EXPECT_TRUE(phone->everPrimed);
        EXPECT_STREQ(choice.source, "ptp");
        EXPECT_NEAR(estimatePpm, phone->ppm, 5.0);
    }
}

// Small device buffers and a short jitter, so the adaptive target settles at its minimum
// without underruns: this run is about clock control.
TEST(PlayoutSimulation, TwoDriftingPhonesStayOnTargetForAnHour) {
    SimulatedPhone fast(128, 2'000'000, +300.0, 11);
    SimulatedPhone slow(128, 2'000'000, -300.0, 23);
    playAnHour(128, fast, slow);
    for (const SimulatedPhone* phone : {&fast, &slow}) {
        EXPECT_EQ(phone->underrunsWhenPrimed, 0u);
        EXPECT_LE(phone->worstDeviationMs, 2.0);
    }
}

// 512-frame callbacks and up to 4 ms of jitter: an adaptive target that probed below a packet
// plus a callback underran about every 100 s (34 times an hour); it must not go there.
TEST(PlayoutSimulation, AdaptiveTargetStaysAboveWhatCarriesTheStream) {
    SimulatedPhone fast(512, 4'000'000, +300.0, 5);
    SimulatedPhone slow(512, 4'000'000, -300.0, 7);
    playAnHour(512, fast, slow);
    for (const SimulatedPhone* phone : {&fast, &slow}) {
        EXPECT_EQ(phone->underrunsWhenPrimed, 0u);
        EXPECT_GE(phone->consumer.target(), 2u * (480 + 512));
    }
}

}  // namespace
}  // namespace vocari
