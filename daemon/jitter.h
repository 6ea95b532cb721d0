#pragma once

// The per-phone jitter buffer: a lock-free ring of decoded interleaved stereo floats, written by
// the phone's receiving thread, and the consumer that the render callback pulls from. The
// consumer primes to a target depth, resamples the ring to the device clock by linear
// interpolation, and trims the playback rate so the ring's fill stays at its target.
//
// Threads:
//   writer  - the session's receiving thread (UDP or TCP client): SampleRing::write,
//             SampleRing::trimBacklog, JitterConsumer::requestPreset, setSenderRatio (the time-sync
//             thread also calls setSenderRatio).
//   reader  - the render thread: JitterConsumer::pull and everything it calls.
//   status  - the status thread: reads the published statistics, writes the alignment floor.
//   claim   - the thread that claims a free slot: JitterConsumer::resetForNewPeer.
//
// Moving the read index from two threads. The writer cuts a backlog by moving the read index
// forward while the reader may be consuming. If both simply stored their new index, a reader
// that loaded the index before the cut would store its older value back over it: frames would
// be played again, and since the writer has already refilled the space the cut freed, the
// depth would exceed the capacity and the reader would read overwritten samples. So every
// move of the read index is a compare-and-swap that only ever moves it forward:
//   - the reader reads a frame at index r, then swaps r -> r + 2. If the swap fails, the writer
//     has cut in between; the frame just read is discarded and the reader retries at the new
//     index. A successful swap proves the index was still r when the frame was taken, so no
//     cut had freed that space and the writer cannot have overwritten it.
//   - the writer's cut swaps r -> writeIndex - kBacklogKeep and retries while the backlog
//     still exceeds kBacklogKeep, so a cut can never undo the reader's progress.
// Samples are copied with relaxed atomic accesses (std::atomic_ref), which compile to plain
// loads and stores; the reader's discarded read of a slot being refilled is thus well defined.
// Every index is a count of floats and always even: the writer stores whole frames only, so a
// channel swap cannot happen.
//
// Invariants: 0 <= writeIndex - readIndex <= capacity - 1 (the writer sizes each write from a
// read index no newer than the current one, and the read index never moves back); a float is
// handed to the reader at most once and in write order (each is claimed by one successful swap
// of the read index, which only grows). The reader's swap is a release and the writer learns
// of freed space by an acquire load, so a slot is refilled only after the reader's read of it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vocari {

// The buffering style a phone asks for in its HELLO (the wire values).
enum class BufferPreset : uint32_t { Low = 0, Balanced = 1, Safe = 2, Fixed = 3 };

// "low", "balanced", "safe" or "fixed"; any other value is shown as "balanced".
const char* bufferPresetName(uint32_t preset);

class SampleRing {
  public:
    static constexpr uint64_t kCapacity = 131072;
    static constexpr uint64_t kMask = kCapacity - 1;
    // A backlog above this many floats (700 ms at 48000 Hz stereo) is cut by the writer ...
    static constexpr uint64_t kBacklogLimit = 67200;
    // ... down to the newest this many (300 ms).
    static constexpr uint64_t kBacklogKeep = 28800;

    // Allocates and zero-fills the storage; the only allocation the ring ever makes.
    SampleRing();
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    // Writer thread only. Appends whole frames from `samples` (n floats, interleaved stereo) as
    // far as they fit; the rest and any odd trailing float are dropped. Returns the floats
    // written. Lock-free; allocates nothing.
    std::size_t write(const float* samples, std::size_t n);

    // Writer thread only, once after the writes of a packet. When more than kBacklogLimit floats
    // are queued, drops the oldest so that the newest kBacklogKeep remain. Returns whether it
    // cut. Lock-free; allocates nothing.
    bool trimBacklog();

    // Reader thread only. Takes the oldest frame into `frame` (L, R). False, with nothing taken,
    // when less than one frame is queued. Lock-free; allocates nothing.
    bool takeFrame(double frame[2]);

    // Reader thread only. Drops the oldest floats so that at most `keep` remain (`keep` even).
    void dropOldest(uint64_t keep);

    // Claim thread or reader thread. Drops everything queued.
    void discardAll();

    // Any thread. Floats queued, within [0, kCapacity - 1].
    uint64_t depth() const;
    // Any thread. Floats ever written / consumed (including those dropped by cuts).
    uint64_t writeIndex() const { return writeIndex_.load(std::memory_order_acquire); }
    uint64_t readIndex() const { return readIndex_.load(std::memory_order_acquire); }
    static constexpr uint64_t capacity() { return kCapacity; }

  private:
    std::vector<float> data_;
    // Written by the writer only; published with release stores.
    alignas(64) std::atomic<uint64_t> writeIndex_{0};
    // Moved forward by compare-and-swap from both sides (see the top of this file).
    alignas(64) std::atomic<uint64_t> readIndex_{0};
};

class JitterConsumer {
  public:
    // The trim steers the fill toward the target by reading a little faster or slower. It acts
    // on the fill error in milliseconds, so every target settles equally fast: about 4 s for a
    // small error, and at most 3 ms of buffer per second (the limit) for a large one, such as
    // a new alignment floor. The integral only takes up a clock error the estimators leave,
    // and only near the target, so a large step never winds it up into an overshoot.
    static constexpr double kTrimLimit = 0.003;                  // +-3000 ppm in all
    static constexpr double kTrimPerErrorMs = 2.5e-4;            // 250 ppm per ms of fill error
    static constexpr double kIntegralGainPerMsSecond = 1.25e-5;  // per ms x s of fill error
    static constexpr double kIntegralTrimLimit = 0.0006;         // +-600 ppm from the integral
    static constexpr double kIntegrateWithinMs = 2.0;            // only this close to the target
    static constexpr double kSlowDepthSeconds = 1.0;             // averaging time of the fill
    static constexpr int kMinFixedMs = 20;
    static constexpr int kMaxFixedMs = 400;

    // `ring` outlives the consumer. At 48000 Hz and 45 ms: target 4320, bounds 1152 to 24000.
    JitterConsumer(SampleRing& ring, double sampleRate, double targetMs);
    JitterConsumer(const JitterConsumer&) = delete;
    JitterConsumer& operator=(const JitterConsumer&) = delete;

    // Render thread only. Writes `frames` interleaved stereo frames to `out` (silence while
    // priming and from an underrun on). Lock-free; allocates nothing; no system call.
    void pull(float* out, std::size_t frames);

    // Render thread only (pull calls it on a new request). Takes the preset's bounds and
    // initial target and re-primes. Unknown presets act as "balanced"; `fixedMs` is clamped to
    // [20, 400].
    void applyPreset(int preset, int fixedMs);

    // Render thread only (pull calls it when the depth reaches the target). Starts playback at
    // the oldest queued frame.
    void primeStart();

    // Render thread only, before each pull. The output device's clock ratio; one that is not a
    // number in (0.5, 2) counts as 1.0.
    void setDeviceRatio(double ratio) { deviceRatio_ = ratio > 0.5 && ratio < 2.0 ? ratio : 1.0; }

    // Writer thread (on HELLO). Asks for a preset; the next pull applies it. `fixedMs` is
    // clamped to [20, 400]. Lock-free.
    void requestPreset(uint32_t preset, int fixedMs);

    // Writer or time-sync thread. The phone's clock ratio and whether it comes from a valid
    // estimate; a ratio that is not a number in (0.5, 2) counts as 1.0, not valid. Lock-free.
    void setSenderRatio(double ratio, bool valid);

    // Status thread. The alignment pass's minimum depth in floats (rounded down to whole
    // frames); 0 removes it. The next pull applies it, within the depth cap. Lock-free.
    void setAlignFloor(uint64_t floats);

    // Start-up only, before any pull. A ceiling for every target; 0 = none. Lowers the
    // current maximum and target to it.
    void setDepthCap(uint64_t floats);

    // Claim thread, on a slot no pull is using. Empties the ring and restarts the consumer for
    // a new phone; the preset and its bounds stay.
    void resetForNewPeer();

    // Any thread. Lock-free statistics for the status output, heartbeats and alignment pass.
    double sampleRate() const { return sampleRate_; }
    double fastDepth() const { return fastDepth_.load(std::memory_order_relaxed); }
    uint64_t effectiveTarget() const { return effectiveTarget_.load(std::memory_order_relaxed); }
    uint64_t target() const { return target_.load(std::memory_order_relaxed); }
    int32_t trimPpm() const { return trimPpm_.load(std::memory_order_relaxed); }
    uint32_t underruns() const { return underruns_.load(std::memory_order_relaxed); }
    uint32_t appliedPreset() const { return appliedPreset_.load(std::memory_order_relaxed); }
    uint64_t alignFloor() const { return alignFloor_.load(std::memory_order_relaxed); }
    // Milliseconds of a depth in floats: floats x 0.5 / rate x 1000.
    double depthMs(double floats) const { return floats * 0.5 / sampleRate_ * 1000.0; }

    // Render thread, or any thread while no pull runs (tests, start-up).
    bool primed() const { return primed_; }
    bool adaptive() const { return adaptive_; }
    uint64_t minTarget() const { return minTarget_; }
    uint64_t maxTarget() const { return maxTarget_; }
    uint64_t stepUp() const { return stepUp_; }
    uint64_t depthCap() const { return depthCap_; }
    int32_t appliedFixedMs() const { return appliedFixedMs_; }
    double slowDepth() const { return slowDepth_; }
    double integral() const { return integral_; }
    double step() const { return step_; }
    double phase() const { return phase_; }

  private:
    uint64_t depthFor(double seconds) const;
    void boundTarget(uint64_t candidate);
    void underrun(float* out, std::size_t from, std::size_t frames);

    SampleRing* ring_;
    const double sampleRate_;
    const double initialTargetMs_;
    const uint64_t stepDown_;
    const uint64_t overflowSlack_;
    const uint64_t stepInterval_;

    // Render thread only.
    bool primed_ = false;
    bool adaptive_ = true;
    bool lastSenderRatioValid_ = false;
    uint64_t minTarget_;
    uint64_t maxTarget_;
    uint64_t stepUp_;
    uint64_t depthCap_ = 0;
    uint64_t framesSinceStep_ = 0;
    double slowDepth_ = 0.0;
    double step_ = 1.0;
    double phase_ = 0.0;
    double integral_ = 0.0;  // the trim's integral part, a rate ratio like the trim itself
    double deviceRatio_ = 1.0;
    double prevFrame_[2] = {0.0, 0.0};
    double nextFrame_[2] = {0.0, 0.0};
    int32_t appliedFixedMs_ = 40;

    // Written by the render thread, read by the status thread.
    std::atomic<uint64_t> target_;
    std::atomic<uint64_t> effectiveTarget_{0};
    std::atomic<double> fastDepth_{0.0};
    std::atomic<int32_t> trimPpm_{0};
    std::atomic<uint32_t> underruns_{0};
    std::atomic<uint32_t> appliedPreset_{1};

    // Written by other threads, read by the render thread at its next pull.
    std::atomic<uint32_t> requestedPreset_{1};
    std::atomic<int32_t> requestedFixedMs_{40};
    // The sender ratio and its validity as one word, so a pull never mixes a ratio with the
    // other estimate's flag: a valid ratio as it is, 0.0 for "none, play at 1.0".
    std::atomic<double> senderRatio_{0.0};
    std::atomic<uint64_t> alignFloor_{0};
};

}  // namespace vocari
