// Two threads on one ring: a writer that outruns the reader and cuts its backlog, and a reader
// that consumes at the same time. The writer writes a counting ramp, frame k = (k, -k), so the
// reader can tell a repeated, reordered, torn or channel-swapped frame. Sized to run in a few
// seconds under ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "jitter.h"

namespace vocari {
namespace {

// Float ramp values stay exact integers far beyond this.
constexpr uint64_t kFramesToWrite = 3'000'000;

struct Writer {
    SampleRing& ring;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> cuts{0};
    std::atomic<uint64_t> worstDepthAfterCut{0};
    std::atomic<uint64_t> worstDepth{0};
    std::atomic<uint64_t> framesMade{0};
    // The read index the latest cut left, published after the cut.
    std::atomic<uint64_t> lastCut{0};
    std::atomic<bool> shortWrite{false};

    // Blocks of 1 to 1024 frames from a fixed pseudo-random sequence; a frame that does not fit
    // is dropped like audio arriving at a full ring, and the ramp goes on.
    void run() {
        std::vector<float> block(2048);
        uint32_t seed = 12345;
        float value = 1.0f;
        uint64_t written = 0;
        while (written < kFramesToWrite) {
            seed = seed * 1664525u + 1013904223u;
            const uint64_t frames = 1 + (seed >> 8) % 1024;
            for (uint64_t i = 0; i < frames; ++i) {
                block[2 * i] = value;
                block[2 * i + 1] = -value;
                value += 1.0f;
            }
            if (ring.write(block.data(), 2 * frames) != 2 * frames) {
                shortWrite.store(true, std::memory_order_relaxed);
            }
            written += frames;
            note(worstDepth, ring.depth());
            if (ring.trimBacklog()) {
                lastCut.store(ring.writeIndex() - SampleRing::kBacklogKeep,
                              std::memory_order_release);
                cuts.fetch_add(1, std::memory_order_relaxed);
                note(worstDepthAfterCut, ring.depth());
            }
            if ((seed >> 4) % 8 == 0) {
                std::this_thread::yield();
            }
        }
        framesMade.store(written, std::memory_order_relaxed);
        done.store(true, std::memory_order_release);
    }

    static void note(std::atomic<uint64_t>& worst, uint64_t depth) {
        if (depth > worst.load(std::memory_order_relaxed)) {
            worst.store(depth, std::memory_order_relaxed);
        }
    }
};

// The reader pauses until the writer has cut, as a session whose pair is not rendered would,
// which makes the writer cut its backlog; the reader also runs slower than the writer for a
// while, so that cuts land in the middle of its consumption.
void pauseUntilCut(const Writer& writer) {
    const uint64_t cuts = writer.cuts.load(std::memory_order_relaxed);
    while (writer.cuts.load(std::memory_order_relaxed) == cuts &&
           !writer.done.load(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
}

TEST(JitterStressTest, RingTakesEveryFrameOnceInOrderWhileTheWriterCuts) {
    SampleRing ring;
    Writer writer{ring};
    uint64_t taken = 0;
    uint64_t jumps = 0;
    uint64_t worstDepth = 0;
    bool ordered = true;
    bool whole = true;
    bool cutKept = true;
    std::thread producer([&] { writer.run(); });
    double last = 0.0;
    double frame[2];
    uint32_t seed = 777;
    std::atomic<uint64_t> busy{0};
    uint64_t slowFrames = 0;
    while (!writer.done.load(std::memory_order_acquire) || ring.depth() >= 2) {
        worstDepth = std::max(worstDepth, ring.depth());
        // A frame taken after a cut became visible must come from the part the cut kept.
        const uint64_t cut = writer.lastCut.load(std::memory_order_acquire);
        if (!ring.takeFrame(frame)) {
            std::this_thread::yield();
            continue;
        }
        ++taken;
        ordered = ordered && frame[0] > last;
        whole = whole && frame[1] == -frame[0];
        cutKept = cutKept && 2 * (static_cast<uint64_t>(frame[0]) - 1) >= cut;
        jumps += frame[0] != last + 1.0 ? 1 : 0;
        last = frame[0];
        if (slowFrames > 0) {
            --slowFrames;
            for (int i = 0; i < 40; ++i) {
                busy.fetch_add(1, std::memory_order_relaxed);
            }
        }
        seed = seed * 1664525u + 1013904223u;
        if (seed % 100000 == 0) {
            pauseUntilCut(writer);
        } else if (seed % 20000 == 1) {
            slowFrames = 100000;
        }
    }
    producer.join();

    ASSERT_FALSE(writer.shortWrite.load()) << "the ring filled up; frame values lost their index";
    EXPECT_TRUE(ordered) << "a frame came twice or out of order";
    EXPECT_TRUE(whole) << "a frame was torn or its channels swapped";
    EXPECT_TRUE(cutKept) << "a cut was undone: the reader took a frame the cut had dropped";
    EXPECT_LE(worstDepth, SampleRing::kCapacity - 1);
    EXPECT_LE(writer.worstDepth.load(), SampleRing::kCapacity - 1);
    EXPECT_LE(writer.worstDepthAfterCut.load(), SampleRing::kBacklogKeep);
    EXPECT_GT(writer.cuts.load(), 0u);
    EXPECT_GT(jumps, 0u);
    EXPECT_GT(taken, 0u);
    // Cuts drop the oldest audio only: the newest frame always comes through.
    EXPECT_EQ(last, static_cast<double>(writer.framesMade.load()));
}

TEST(JitterStressTest, PullPlaysARisingRampWhileTheWriterCuts) {
    SampleRing ring;
    JitterConsumer consumer(ring, 48000.0, 45.0);
    consumer.setDepthCap(28800);
    Writer writer{ring};
    std::vector<float> out(2 * 256);
    float last = 0.0f;
    uint64_t audible = 0;
    uint64_t worstDepth = 0;
    bool rising = true;
    bool whole = true;
    uint32_t seed = 99;
    std::thread producer([&] { writer.run(); });
    for (;;) {
        const bool finished = writer.done.load(std::memory_order_acquire);
        if (finished && !consumer.primed() && ring.depth() < consumer.effectiveTarget()) {
            break;
        }
        consumer.pull(out.data(), 256);
        worstDepth = std::max(worstDepth, ring.depth());
        for (std::size_t i = 0; i < 256; ++i) {
            const float left = out[2 * i];
            if (left == 0.0f) {
                continue;  // priming or after an underrun
            }
            ++audible;
            rising = rising && left > last;
            whole = whole && out[2 * i + 1] == -left;
            last = left;
        }
        seed = seed * 1664525u + 1013904223u;
        if (seed % 500 == 0) {
            pauseUntilCut(writer);
        }
    }
    producer.join();

    EXPECT_TRUE(rising) << "output went back: a frame was played twice or out of order";
    EXPECT_TRUE(whole) << "left and right came from different frames";
    EXPECT_LE(worstDepth, SampleRing::kCapacity - 1);
    EXPECT_LE(writer.worstDepthAfterCut.load(), SampleRing::kBacklogKeep);
    EXPECT_GT(writer.cuts.load(), 0u);
    EXPECT_GT(audible, 0u);
}

}  // namespace
}  // namespace vocari
