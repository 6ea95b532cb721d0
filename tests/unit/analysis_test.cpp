#include "analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace vocari {
namespace {

// Four channels, 3 s: a 440 Hz tone on 1-2, 1234.5 Hz on the left of 3-4 only.
TEST(RecordingAnalysis, FindsEachChannelsToneLevelAndSilence) {
    constexpr int kFrames = 3 * 48000;
    std::vector<float> samples(4 * kFrames, 0.0f);
    for (int f = 0; f < kFrames; ++f) {
        const double t = f / 48000.0;
        const auto a = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440.0 * t));
        samples[4 * f] = samples[4 * f + 1] = a;
        samples[4 * f + 2] =
            f < 48000 ? 0.0f
                      : static_cast<float>(0.25 * std::sin(2 * std::numbers::pi * 1234.5 * t));
    }
    const auto channels = summariseChannels(samples, 4, 48000.0);
    ASSERT_EQ(channels.size(), 4u);
    EXPECT_NEAR(channels[0].dominantHz, 440.0, 0.1);
    EXPECT_NEAR(channels[0].rmsDbfs(), 20 * std::log10(0.5 / std::sqrt(2.0)), 0.01);
    EXPECT_NEAR(channels[2].dominantHz, 1234.5, 0.1);  // found in its loud part
    EXPECT_NEAR(channels[2].peak, 0.25, 1e-4);
    EXPECT_TRUE(channels[3].silent());
    EXPECT_EQ(channels[3].dominantHz, 0.0);
    EXPECT_EQ(describePairs(channels),
              "channels 1-2: 440.0 Hz at -9.0 dBFS (peak 0.500)\n"
              "channels 3-4: left 1234.5 Hz at -16.8 dBFS (peak 0.250), right silent\n");
}

}  // namespace
}  // namespace vocari
