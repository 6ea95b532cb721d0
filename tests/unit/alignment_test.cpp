#include "alignment.h"

#include <gtest/gtest.h>

#include "session_table.h"

namespace vocari {
namespace {

constexpr int64_t kNow = 1'000'000'000'000;

class Alignment : public ::testing::Test {
  protected:
    SessionTable table{48000.0, 45.0};

    // A phone with audio 100 ms ago and, when `netMs` is not negative, a known network delay.
    Session& phone(double netMs) {
        Session& s = *table.claim(0, 8, 0, kNow);
        s.lastAudioNs.store(kNow - 100'000'000);
        s.netDelayMs.store(netMs);
        s.netDelayValid.store(netMs >= 0.0);
        return s;
    }
};

TEST_F(Alignment, ShortPathsAreRaisedToTheLongestLatency) {
    Session& far = phone(30.0);
    Session& near = phone(5.0);
    alignStreams(table, true, kNow);
    EXPECT_EQ(far.jitter->alignFloor(), 4320u);   // 45 ms: it sets the pace
    EXPECT_EQ(near.jitter->alignFloor(), 6720u);  // 70 ms = 30 + 45 - 5
    // A phone whose delay is not known counts with none; it becomes the one furthest behind.
    Session& unknown = phone(-1.0);
    alignStreams(table, true, kNow);
    EXPECT_EQ(unknown.jitter->alignFloor(), 2 * 48 * 75u);
    EXPECT_EQ(far.jitter->alignFloor(), 4320u);
}

TEST_F(Alignment, FloorsAreClearedWhenOffOrAloneAndKeptWhileSilent) {
    Session& far = phone(30.0);
    Session& near = phone(5.0);
    alignStreams(table, true, kNow);
    ASSERT_EQ(near.jitter->alignFloor(), 6720u);
    alignStreams(table, false, kNow);
    EXPECT_EQ(near.jitter->alignFloor(), 0u);
    EXPECT_EQ(far.jitter->alignFloor(), 0u);

    alignStreams(table, true, kNow);
    far.lastAudioNs.store(kNow - 2'000'000'000);  // silent for 2 s: no longer takes part
    alignStreams(table, true, kNow);
    EXPECT_EQ(near.jitter->alignFloor(), 0u);    // alone now
    EXPECT_EQ(far.jitter->alignFloor(), 4320u);  // kept until its slot is reset
    far.close();
    table.releaseClosing();
    EXPECT_EQ(table.claim(0, 8, 0, kNow), &far);
    EXPECT_EQ(far.jitter->alignFloor(), 0u);
}

}  // namespace
}  // namespace vocari
