// The PipeWire device's timestamps, which the daemon measures the device's rate by.

#include <gtest/gtest.h>

#include "pipewire_backend.h"

namespace vocari::coreaudio {
namespace {

TEST(GraphClock, AFirstCycleTheDriverHasNotStampedGivesNoHostTime) {
    GraphClock clock;
    // The first cycle of a new driver can come with no time: measuring from it would take the
    // device to have played a few frames in the whole time since the machine started.
    EXPECT_EQ(clock.stamp({0, 0, 48000}, 256).mFlags & kAudioTimeStampHostTimeValid, 0U);
    const AudioTimeStamp stamp = clock.stamp({47360, 5'000'000'000, 48000}, 256);
    EXPECT_NE(stamp.mFlags & kAudioTimeStampHostTimeValid, 0U);
    EXPECT_EQ(stamp.mSampleTime, 47360.0);
    EXPECT_EQ(stamp.mHostTime, 5'000'000'000U);
    // A graph at 96000 Hz, in the unit's frames.
    EXPECT_EQ(clock.stamp({95232, 5'005'333'333, 96000}, 256).mSampleTime, 47616.0);
}

}  // namespace
}  // namespace vocari::coreaudio
