// The ring on its own, on one thread; jitter_stress_test races a writer against the reader.

#include "sample_ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace vocari {
namespace {

TEST(SampleRingTest, WritesWholeFramesAndDropsWhatDoesNotFit) {
    SampleRing ring;
    std::vector<float> block(SampleRing::kCapacity + 10, 0.5f);
    // The ring holds capacity - 1 floats at most; an odd remainder would split a frame.
    EXPECT_EQ(ring.write(block.data(), block.size()), SampleRing::kCapacity - 2);
    EXPECT_EQ(ring.write(block.data(), 4), 0u);
    EXPECT_EQ(ring.depth(), SampleRing::kCapacity - 2);
    double frame[2];
    ASSERT_TRUE(ring.takeFrame(frame));
    EXPECT_EQ(ring.write(block.data(), 3), 2u);  // whole frames only
    EXPECT_EQ(ring.writeIndex() % 2, 0u);
}

TEST(SampleRingTest, WrapsAroundInOrder) {
    SampleRing ring;
    float value = 0.0f;
    float expected = 0.0f;
    std::vector<float> block(2000);
    double frame[2];
    const auto drainTo = [&](uint64_t depth) {
        while (ring.depth() > depth) {
            ASSERT_TRUE(ring.takeFrame(frame));
            ASSERT_EQ(frame[0], expected);
            ASSERT_EQ(frame[1], expected + 1.0f);
            expected += 2.0f;
        }
    };
    // Three and a half laps of the storage, about half full all the time.
    for (int round = 0; round < 230; ++round) {
        for (float& v : block) {
            v = value;
            value += 1.0f;
        }
        ASSERT_EQ(ring.write(block.data(), block.size()), block.size());
        drainTo(60000);
    }
    drainTo(0);
    EXPECT_FALSE(ring.takeFrame(frame));
    EXPECT_EQ(expected, value);
    EXPECT_GT(ring.readIndex(), 3 * SampleRing::kCapacity);
}

TEST(SampleRingTest, BacklogTrimKeepsTheNewest300Ms) {
    SampleRing ring;
    std::vector<float> block(67200);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i);
    }
    ring.write(block.data(), block.size());
    EXPECT_FALSE(ring.trimBacklog());  // 700 ms exactly is tolerated
    EXPECT_EQ(ring.depth(), 67200u);

    const float more[2] = {67200.0f, 67201.0f};
    ring.write(more, 2);
    EXPECT_TRUE(ring.trimBacklog());
    EXPECT_EQ(ring.depth(), 28800u);
    double frame[2];
    ASSERT_TRUE(ring.takeFrame(frame));
    EXPECT_EQ(frame[0], 67202.0 - 28800.0);
    EXPECT_FALSE(ring.trimBacklog());
}

TEST(SampleRingTest, BatchesComeInOrderAndNeverBeyondWhatIsQueued) {
    SampleRing ring;
    std::vector<float> block(2 * 700);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i);
    }
    ring.write(block.data(), block.size());
    float batch[2 * 256];
    EXPECT_EQ(ring.takeFrames(batch, 256), 256u);
    EXPECT_EQ(batch[0], 0.0f);
    EXPECT_EQ(batch[511], 511.0f);
    double frame[2];
    ASSERT_TRUE(ring.takeFrame(frame));  // single frames and batches share one read position
    EXPECT_EQ(frame[0], 512.0);
    EXPECT_EQ(ring.takeFrames(batch, 256), 256u);
    EXPECT_EQ(batch[0], 514.0f);
    EXPECT_EQ(ring.takeFrames(batch, 256), 187u);  // what is left
    EXPECT_EQ(batch[2 * 187 - 1], 1399.0f);
    EXPECT_EQ(ring.takeFrames(batch, 256), 0u);
    EXPECT_EQ(ring.depth(), 0u);
}

}  // namespace
}  // namespace vocari
