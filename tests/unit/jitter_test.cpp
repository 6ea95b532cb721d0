#include "jitter.h"

#include <gtest/gtest.h>

#include "allocation_counter.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

namespace vocari {
namespace {

constexpr double kRate = 48000.0;

// A consumer on its own ring, fed with a ramp: frame k holds (k, -k), k counting from 1, so
// every output value tells which input position it came from and a swapped channel shows.
class JitterTest : public ::testing::Test {
  protected:
    SampleRing ring;
    JitterConsumer consumer{ring, kRate, 45.0};
    float nextValue = 1.0f;

    void writeFrames(uint64_t frames) {
        std::vector<float> block;
        for (uint64_t i = 0; i < frames; ++i) {
            block.push_back(nextValue);
            block.push_back(-nextValue);
            nextValue += 1.0f;
        }
        ASSERT_EQ(ring.write(block.data(), block.size()), block.size());
    }

    // Tops the ring up to `floats` (never drains it).
    void fillTo(uint64_t floats) {
        const uint64_t depth = ring.depth();
        if (depth < floats) {
            writeFrames((floats - depth) / 2);
        }
    }

    std::vector<float> pull(std::size_t frames) {
        std::vector<float> out(2 * frames, 123.0f);
        consumer.pull(out.data(), frames);
        return out;
    }

    // Pulls `frames` frames of output in callbacks of `block`, holding the depth seen by every
    // pull at `depth` floats.
    void runHeldAt(uint64_t depth, uint64_t frames, std::size_t block = 480) {
        std::vector<float> out(2 * block);
        for (uint64_t done = 0; done < frames; done += block) {
            fillTo(depth);
            consumer.pull(out.data(), block);
        }
    }

    // Primes the consumer so that the slow average starts at exactly `depth` floats, which is
    // at most the target (priming cuts what lies beyond it).
    void primeAt(uint64_t depth) {
        fillTo(depth + 4);  // priming takes two frames out
        pull(0);
        ASSERT_TRUE(consumer.primed());
        ASSERT_EQ(consumer.slowDepth(), static_cast<double>(depth));
    }
};

TEST_F(JitterTest, ConstructionAndDepthCap) {
    EXPECT_EQ(consumer.target(), 4320u);
    EXPECT_EQ(consumer.minTarget(), 1152u);
    EXPECT_EQ(consumer.maxTarget(), 24000u);
    EXPECT_EQ(consumer.stepUp(), 2400u);
    EXPECT_TRUE(consumer.adaptive());
    EXPECT_STREQ(bufferPresetName(consumer.appliedPreset()), "balanced");

    JitterConsumer wide(ring, kRate, 500.0);  // 48000 floats, above the cap
    wide.setDepthCap(28800);
    EXPECT_EQ(wide.target(), 28800u);
    EXPECT_EQ(wide.maxTarget(), 24000u);  // already below the cap
}

TEST_F(JitterTest, SilentUntilPrimedThenStartsAtFirstBufferedFrame) {
    writeFrames(2159);  // 4318 floats: one frame short of 45 ms
    auto out = pull(256);
    EXPECT_FALSE(consumer.primed());
    for (float v : out) {
        ASSERT_EQ(v, 0.0f);
    }
    EXPECT_EQ(ring.depth(), 4318u);  // nothing consumed while priming

    writeFrames(1);
    out = pull(256);
    EXPECT_TRUE(consumer.primed());
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], -1.0f);
    EXPECT_NEAR(out[2], 2.0f, 1e-3);
}

TEST_F(JitterTest, AtTargetStepIsExactlyOneAndOutputIsInputDelayed) {
    primeAt(4320);
    float expected = 1.0f;
    for (int callback = 0; callback < 50; ++callback) {
        // The writer replaces what the last callback consumed: the buffer holds 45 ms.
        fillTo(4320);
        const auto out = pull(480);
        ASSERT_EQ(consumer.step(), 1.0);
        ASSERT_EQ(consumer.trimPpm(), 0);
        for (std::size_t i = 0; i < 480; ++i) {
            ASSERT_EQ(out[2 * i], expected) << "callback " << callback << " frame " << i;
            ASSERT_EQ(out[2 * i + 1], -expected);
            expected += 1.0f;
        }
        // Output lags input by exactly the buffered 2160 frames plus the two being
        // interpolated.
        ASSERT_EQ(nextValue - expected, 2160.0f + 2.0f - 480.0f);
    }
}

// The trim reads a fill error in milliseconds the same at any target: 4 ms over gives
// 250 ppm per ms, the integral working only within 2 ms of the target.
TEST_F(JitterTest, TrimIsTheSameForTheSameErrorInMillisecondsAtAnyTarget) {
    std::vector<int32_t> trims;
    for (const int fixedMs : {45, 200}) {
        SampleRing own;
        JitterConsumer fixed(own, kRate, 45.0);
        fixed.requestPreset(3, fixedMs);
        const auto target = static_cast<uint64_t>(2 * 48 * fixedMs);
        std::vector<float> block(2 * 48000, 0.5f);
        std::vector<float> out(2 * 256);
        own.write(block.data(), target + 4);
        fixed.pull(out.data(), 0);
        ASSERT_TRUE(fixed.primed());
        ASSERT_EQ(fixed.slowDepth(), static_cast<double>(target));
        // Held 4 ms over the target for 20 s, ten times the averaging time.
        for (int callback = 0; callback < 20 * 48000 / 256; ++callback) {
            own.write(block.data(), target + 384 - own.depth());
            fixed.pull(out.data(), 256);
        }
        trims.push_back(fixed.trimPpm());
    }
    // Whatever the integral took while the average rose through the last 2 ms is the same too.
    EXPECT_EQ(trims[0], trims[1]);
    EXPECT_NEAR(trims[0], 1000, 25);
}

// A phone whose clock the estimators have not measured (here 450 ppm fast) fills the buffer a
// little faster than it plays. The integral takes the difference up near the target, so the
// buffer settles on the target itself; a large error, such as a new alignment floor 25 ms above,
// is closed at up to 3 ms a second without winding the integral up into an overshoot.
TEST_F(JitterTest, ClosedLoopSettlesOnTheTargetAndStepsWithoutOvershoot) {
    consumer.requestPreset(3, 60);
    std::vector<float> block(2 * 4096, 0.25f);
    double owed = 0.0;  // fractional frames the fast phone has yet to deliver
    const auto play = [&](double seconds, double* highest) {
        std::vector<float> out(2 * 512);
        for (int callback = 0; callback < static_cast<int>(seconds * 48000 / 512); ++callback) {
            owed += 512 * 1.00045;
            const auto frames = static_cast<size_t>(owed);
            owed -= static_cast<double>(frames);
            ASSERT_EQ(ring.write(block.data(), 2 * frames), 2 * frames);
            consumer.pull(out.data(), 512);
            ASSERT_EQ(consumer.underruns(), 0u);
            if (highest != nullptr) {
                *highest = std::max(*highest, consumer.slowDepth());
            }
        }
    };
    ring.write(block.data(), 5764);
    play(60.0, nullptr);
    EXPECT_NEAR(consumer.slowDepth(), 5760.0, 10.0);  // within 0.1 ms
    EXPECT_NEAR(consumer.integral(), 450e-6, 20e-6);

    consumer.setAlignFloor(5760 + 2400);
    double highest = 0.0;
    play(20.0, &highest);
    EXPECT_NEAR(consumer.slowDepth(), 8160.0, 96.0);  // within 1 ms after 20 s
    EXPECT_LT(highest, 8160.0 + 48.0);                // never more than 0.5 ms over
}

// A device 300 ppm fast, played first by the trim alone, whose integral learns the rate, then
// with the rate measured: the measurement takes over without the buffer moving. (Kept, the
// integral would play the rate twice: 1.2 ms off target, for some twenty seconds.)
TEST_F(JitterTest, MeasuredDeviceClockTakesOverFromTheIntegralWithoutMovingTheBuffer) {
    consumer.requestPreset(3, 60);
    std::vector<float> block(2 * 4096, 0.25f);
    double owed = 0.0;  // fractional frames the phone has yet to deliver
    const auto play = [&](double seconds, bool measured) {
        double furthest = 0.0;
        std::vector<float> out(2 * 512);
        for (int callback = 0; callback < static_cast<int>(seconds * 48000 / 512); ++callback) {
            owed += 512 / 1.0003;
            const auto frames = static_cast<size_t>(owed);
            owed -= static_cast<double>(frames);
            EXPECT_EQ(ring.write(block.data(), 2 * frames), 2 * frames);
            consumer.setDeviceRatio(measured ? 1.0003 : 1.0, measured);
            consumer.pull(out.data(), 512);
            furthest = std::max(furthest, std::abs(consumer.slowDepth() - 5760.0));
        }
        return furthest;
    };
    ring.write(block.data(), 5764);
    play(60.0, false);
    ASSERT_NEAR(consumer.slowDepth(), 5760.0, 10.0);
    ASSERT_NEAR(consumer.integral(), -300e-6, 20e-6);

    EXPECT_LT(play(20.0, true), 10.0);  // 0.1 ms
    EXPECT_NEAR(consumer.integral(), 0.0, 10e-6);
    EXPECT_NEAR(consumer.trimPpm(), 0, 10);
    EXPECT_EQ(consumer.underruns(), 0u);
}

// Only one limit is reached at a time: the integral's own, then the trim's.
TEST_F(JitterTest, IntegralAndTrimStopAtTheirLimits) {
    consumer.requestPreset(3, 45);
    pull(0);
    primeAt(4320);
    runHeldAt(4320 + 150, 60 * 48000, 512);  // 1.6 ms over for a minute
    EXPECT_EQ(consumer.integral(), 0.0006);
    EXPECT_EQ(consumer.trimPpm(), 990);  // 600 + 250 x 1.5625
    runHeldAt(4320 - 150, 120 * 48000, 512);
    EXPECT_EQ(consumer.integral(), -0.0006);
    runHeldAt(4320 + 4800, 20 * 48000, 512);  // 50 ms over
    EXPECT_EQ(consumer.trimPpm(), 3000);
    // Far from the target the integral is left alone; it only moved while the average passed.
    EXPECT_NEAR(consumer.integral(), -0.0006, 2e-5);
}

TEST_F(JitterTest, PrimingStartsAtTheTargetAndOverflowCutsBackToIt) {
    // 7304 floats queued when the first call comes: playback starts 45 ms before the newest.
    fillTo(7304);
    float newest = nextValue - 1.0f;
    pull(0);
    EXPECT_EQ(ring.depth(), 4320u);
    EXPECT_EQ(consumer.slowDepth(), 4320.0);
    auto out = pull(1);
    EXPECT_EQ(out[0], newest - 2161.0f);

    // While playing, a slow average more than 30 ms over the target cuts to the newest 45 ms.
    int callbacks = 0;
    do {
        fillTo(4320 + 2880 + 240);
        pull(256);
        ++callbacks;
    } while (consumer.slowDepth() != 4320.0 && callbacks < 1000);
    EXPECT_GT(callbacks, 200);  // the average needs a few seconds to get there
    EXPECT_LT(callbacks, 1000);
    // Cut to 4320, then this callback's 256 frames (and a few for the trim) played.
    EXPECT_LE(ring.depth(), 4320u - 512);
    EXPECT_GE(ring.depth(), 4320u - 512 - 8);
}

TEST_F(JitterTest, SenderRatioHandOverRestartsTheIntegral) {
    primeAt(4320);
    runHeldAt(4416, 5 * 48000, 256);  // 1 ms over
    ASSERT_GT(consumer.integral(), 2e-5);
    const int32_t trimBefore = consumer.trimPpm();

    consumer.setSenderRatio(1.0001, true);
    fillTo(4416);
    pull(256);
    // This callback still plays the trim built up so far; only the integral starts again.
    EXPECT_EQ(consumer.integral(), 0.0);
    EXPECT_NEAR(consumer.trimPpm(), trimBefore, 5);
    EXPECT_NEAR(consumer.step(), (1.0 + consumer.trimPpm() * 1e-6) * 1.0001, 1.1e-6);

    fillTo(4416);
    pull(256);
    EXPECT_GT(consumer.integral(), 0.0);  // same source: integrating again

    consumer.setSenderRatio(std::nan(""), true);  // a broken estimate counts as none
    fillTo(4416);
    pull(0);
    EXPECT_EQ(consumer.integral(), 0.0);
    EXPECT_NEAR(consumer.step(), 1.0 + consumer.trimPpm() * 1e-6, 1.1e-6);

    // Nor does a broken device clock reach the phase, where it would stay for good.
    consumer.setDeviceRatio(std::nan(""));
    fillTo(4416);
    pull(256);
    EXPECT_TRUE(std::isfinite(consumer.phase()));
    EXPECT_NEAR(consumer.step(), 1.0 + consumer.trimPpm() * 1e-6, 1.1e-6);
}

TEST_F(JitterTest, InterpolatesBetweenInputFrames) {
    consumer.setSenderRatio(1.25, true);
    consumer.setDeviceRatio(1.0);
    primeAt(4320);
    const uint64_t before = ring.readIndex();
    const auto played = pull(400);
    ASSERT_EQ(consumer.step(), 1.25);
    for (std::size_t i = 0; i < 400; ++i) {
        ASSERT_EQ(played[2 * i], 1.0f + 1.25f * static_cast<float>(i)) << i;
        ASSERT_EQ(played[2 * i + 1], -played[2 * i]);
    }
    // 400 frames at 1.25 advance 500 input frames, all from the ring.
    EXPECT_EQ(ring.readIndex() - before, 2u * 500);
}

TEST_F(JitterTest, UnderrunSilencesTheRestCountsOnceAndRaisesTheTarget) {
    primeAt(4320);  // frames 1 ... 2162 written
    // Nothing more arrives: the buffered audio plays out, in order, then silence.
    std::vector<float> out;
    for (int callback = 0; callback < 5; ++callback) {
        const auto block = pull(480);
        out.insert(out.end(), block.begin(), block.end());
    }
    std::size_t sounding = 0;
    while (sounding < 2400 && out[2 * sounding] != 0.0f) {
        ASSERT_GE(out[2 * sounding], static_cast<float>(sounding));  // never a frame twice
        ++sounding;
    }
    EXPECT_GE(sounding, 2155u);  // all of it but what the trim's slowing left unread
    EXPECT_GE(out[2 * (sounding - 1)], 2158.0f);
    for (std::size_t i = sounding; i < 2400; ++i) {
        ASSERT_EQ(out[2 * i], 0.0f) << i;
        ASSERT_EQ(out[2 * i + 1], 0.0f) << i;
    }
    EXPECT_EQ(consumer.underruns(), 1u);
    EXPECT_FALSE(consumer.primed());
    EXPECT_EQ(consumer.target(), 6720u);  // 45 ms + 25 ms

    // Re-priming now waits for 70 ms.
    fillTo(6718);
    EXPECT_EQ(pull(64)[0], 0.0f);
    EXPECT_FALSE(consumer.primed());
    fillTo(6720);
    EXPECT_NE(pull(64)[0], 0.0f);
    EXPECT_EQ(consumer.underruns(), 1u);
}

// A packet that came after its slot was concealed raises the target a step; more of them while
// the fill is still climbing to that raise do not wind it further up; once the fill is there,
// the next one raises it again.
TEST_F(JitterTest, LatePacketsRaiseTheTargetOnlyOnceTheFillHasCaughtUp) {
    primeAt(4320);
    consumer.reportLatePacket();
    pull(64);
    EXPECT_EQ(consumer.target(), 6720u);  // 45 ms + 25 ms
    for (int late = 0; late < 5; ++late) {
        consumer.reportLatePacket();
        runHeldAt(4320, 4800);
    }
    EXPECT_EQ(consumer.target(), 6720u);
    EXPECT_EQ(consumer.underruns(), 0u);
    runHeldAt(6720, 3 * 48000);  // the fill reaches the raised target
    consumer.reportLatePacket();
    pull(64);
    EXPECT_EQ(consumer.target(), 9120u);
}

TEST_F(JitterTest, UnderrunsRaiseTheTargetOnlyUpToMaximumAndCap) {
    std::vector<float> out(2 * 4096);
    const auto starve = [&](JitterConsumer& c) {
        for (int i = 0; i < 20; ++i) {
            fillTo(c.target() + 4);
            c.pull(out.data(), 0);  // prime
            ring.discardAll();
            c.pull(out.data(), 16);  // underrun
        }
    };
    consumer.setDepthCap(28800);
    consumer.requestPreset(2, 40);  // "safe": maximum 400 ms, capped at 300 ms
    consumer.pull(out.data(), 0);
    EXPECT_EQ(consumer.target(), 8640u);
    starve(consumer);
    EXPECT_EQ(consumer.underruns(), 20u);
    EXPECT_EQ(consumer.target(), 28800u);

    JitterConsumer low(ring, kRate, 45.0);
    low.requestPreset(0, 40);
    low.pull(out.data(), 0);
    starve(low);
    EXPECT_EQ(low.target(), 8640u);  // "low" stops at 90 ms

    JitterConsumer fixed(ring, kRate, 45.0);
    fixed.requestPreset(3, 50);
    fixed.pull(out.data(), 0);
    starve(fixed);
    EXPECT_EQ(fixed.target(), 4800u);  // a fixed buffer does not grow
}

TEST_F(JitterTest, CleanRunStepsTheTargetDownToTheMinimum) {
    primeAt(4320);
    // One block short of 8 s of clean output: no change yet.
    runHeldAt(4320, 384000 - 480);
    EXPECT_EQ(consumer.target(), 4320u);
    runHeldAt(4320, 480);
    EXPECT_EQ(consumer.target(), 4128u);  // - 2 ms

    // 17 more intervals would pass 1152 floats; the target stops at the preset minimum.
    for (int interval = 0; interval < 17; ++interval) {
        runHeldAt(consumer.target(), 384000);
    }
    EXPECT_EQ(consumer.target(), 1152u);
    EXPECT_EQ(consumer.underruns(), 0u);
}

// 10 ms packets and 512-frame callbacks need 992 frames to carry the stream from one packet to
// the next: an adaptive target never steps down below that, and one already below is raised.
// A fixed buffer stays what the phone asked for.
TEST_F(JitterTest, AdaptiveTargetsKeepAPacketAndACallback) {
    consumer.setPacketFrames(480);
    primeAt(4320);
    for (int interval = 0; interval < 20; ++interval) {
        runHeldAt(consumer.target(), 384000, 512);
    }
    EXPECT_EQ(consumer.target(), 1984u);
    consumer.setPacketFrames(960);  // the phone moves to 20 ms packets
    runHeldAt(1984, 512, 512);
    EXPECT_EQ(consumer.target(), 2944u);
    EXPECT_EQ(consumer.underruns(), 0u);

    consumer.requestPreset(3, 20);
    pull(512);
    EXPECT_EQ(consumer.target(), 1920u);
}

TEST_F(JitterTest, PresetRequestsWithTheCap) {
    consumer.setDepthCap(28800);
    struct Case {
        uint32_t preset;
        int fixedMs;
        uint64_t target, minTarget, maxTarget, stepUp;
        bool adaptive;
    };
    const Case cases[] = {
        {2, 40, 8640, 5760, 28800, 2880, true},   // "safe": 400 ms maximum capped
        {0, 40, 2400, 768, 8640, 1440, true},     // "low"
        {3, 400, 28800, 38400, 28800, 0, false},  // fixed 400 ms capped
        {3, 5, 1920, 1920, 1920, 0, false},       // fixed below 20 ms asks for 20
        {9, 40, 4320, 1152, 24000, 2400, true},   // unknown: "balanced"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preset);
        fillTo(consumer.target() + 4);
        pull(0);
        ASSERT_TRUE(consumer.primed());
        consumer.requestPreset(c.preset, c.fixedMs);
        pull(0);
        EXPECT_EQ(consumer.target(), c.target);
        EXPECT_EQ(consumer.minTarget(), c.minTarget);
        EXPECT_EQ(consumer.maxTarget(), c.maxTarget);
        EXPECT_EQ(consumer.stepUp(), c.stepUp);
        EXPECT_EQ(consumer.adaptive(), c.adaptive);
        EXPECT_EQ(consumer.appliedPreset(), c.preset);
        // Playback restarts once the new target is buffered.
        EXPECT_EQ(consumer.primed(), ring.depth() >= c.target);
    }
    EXPECT_STREQ(bufferPresetName(consumer.appliedPreset()), "balanced");
}

TEST_F(JitterTest, ChangingTheFixedBufferRePrimes) {
    consumer.requestPreset(3, 40);
    pull(0);
    EXPECT_EQ(consumer.target(), 3840u);
    fillTo(3840 + 4);
    pull(16);
    ASSERT_TRUE(consumer.primed());

    consumer.requestPreset(3, 60);
    EXPECT_EQ(pull(16)[0], 0.0f);
    EXPECT_FALSE(consumer.primed());
    EXPECT_EQ(consumer.target(), 5760u);
    EXPECT_EQ(consumer.appliedFixedMs(), 60);
    EXPECT_EQ(consumer.appliedPreset(), 3u);
    EXPECT_STREQ(bufferPresetName(consumer.appliedPreset()), "fixed");
}

TEST_F(JitterTest, AlignmentFloorRaisesTheEffectiveTargetWithinTheCap) {
    consumer.setDepthCap(28800);
    consumer.setAlignFloor(6720);
    fillTo(6718);
    pull(16);
    EXPECT_FALSE(consumer.primed());  // 45 ms buffered is not enough any more
    EXPECT_EQ(consumer.effectiveTarget(), 6720u);
    EXPECT_DOUBLE_EQ(consumer.depthMs(static_cast<double>(consumer.effectiveTarget())), 70.0);
    fillTo(6720 + 4);
    pull(0);
    ASSERT_TRUE(consumer.primed());
    runHeldAt(6720, 48000);
    EXPECT_EQ(consumer.trimPpm(), 0);  // held at 70 ms, not pulled down to 45
    EXPECT_EQ(consumer.target(), 4320u);

    consumer.setAlignFloor(40000);
    pull(0);
    EXPECT_EQ(consumer.effectiveTarget(), 28800u);
    consumer.setAlignFloor(2000);  // below the target: no effect
    pull(0);
    EXPECT_EQ(consumer.effectiveTarget(), 4320u);
}

TEST_F(JitterTest, ResetForNewPeerDropsAudioAndKeepsThePreset) {
    consumer.setDepthCap(28800);
    consumer.requestPreset(3, 100);
    primeAt(9600);
    consumer.setAlignFloor(12000);
    consumer.setSenderRatio(1.0002, true);
    ring.discardAll();
    pull(64);  // underrun
    fillTo(20000);
    pull(0);
    ASSERT_EQ(consumer.underruns(), 1u);

    consumer.resetForNewPeer();
    EXPECT_EQ(ring.depth(), 0u);
    EXPECT_FALSE(consumer.primed());
    EXPECT_EQ(consumer.underruns(), 0u);
    EXPECT_EQ(consumer.alignFloor(), 0u);
    EXPECT_EQ(consumer.fastDepth(), 0.0);
    EXPECT_EQ(consumer.trimPpm(), 0);
    EXPECT_EQ(consumer.integral(), 0.0);
    EXPECT_EQ(consumer.step(), 1.0);
    EXPECT_EQ(consumer.appliedPreset(), 3u);
    // The fixed 100 ms stays the depth, rather than the 45 ms a new slot starts with.
    EXPECT_EQ(consumer.target(), 9600u);

    // A new phone's audio starts from its own first frame.
    const float first = nextValue;
    fillTo(9600 + 4);
    EXPECT_EQ(pull(1)[0], first);
    EXPECT_EQ(consumer.step(), 1.0);  // the old sender ratio is gone
}

TEST_F(JitterTest, RealTimePathAllocatesNothing) {
    std::vector<float> out(2 * 4096);
    std::vector<float> block(1920, 0.25f);
    consumer.setDepthCap(28800);
    const long before = test::allocationsInProcess();
    // Priming, playing, trimming, overflow, preset changes, an underrun, and the writer side.
    for (int i = 0; i < 200; ++i) {
        ring.write(block.data(), block.size());
        ring.trimBacklog();
        consumer.pull(out.data(), i % 3 == 0 ? 4096 : 256);
        if (i == 50) {
            consumer.requestPreset(3, 60);
        }
        if (i == 100) {
            consumer.requestPreset(0, 40);
            consumer.setAlignFloor(20000);
        }
        if (i == 150) {
            consumer.setSenderRatio(1.001, true);
        }
    }
    for (int i = 0; i < 60; ++i) {
        ring.write(block.data(), block.size());
    }
    ring.trimBacklog();
    consumer.pull(out.data(), 4096);
    const long after = test::allocationsInProcess();
    EXPECT_EQ(after - before, 0);
    EXPECT_GT(consumer.underruns(), 0u);
}

}  // namespace
}  // namespace vocari
