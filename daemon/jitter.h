#pragma once

// The consumer of a phone's SampleRing, pulled by the render callback: playout control. It
// primes to a target depth, adapts that target to how the network behaves, resamples the ring to
// the device clock (LinearResampler) and trims the playback rate so the ring's fill stays at its
// target. Every tunable is in PlayoutConfig.
//
// Threads:
//   writer  - the session's receiving thread (UDP or TCP client): SampleRing::write,
//             SampleRing::trimBacklog, JitterConsumer::requestPreset, setPacketFrames,
//             setSenderRatio (the time-sync thread also calls setSenderRatio).
//   reader  - the render thread: JitterConsumer::pull and everything it calls.
//   status  - the status thread: reads the published statistics, writes the alignment floor.
//   claim   - the thread that claims a free slot: JitterConsumer::resetForNewPeer.
//
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "playout_config.h"
#include "protocol.h"
#include "resampler.h"
#include "sample_ring.h"

namespace vocari {

using protocol::BufferPreset;

// "low", "balanced", "safe" or "fixed"; any other value is shown as "balanced".
const char* bufferPresetName(uint32_t preset);

class JitterConsumer {
  public:
    // `ring` outlives the consumer. At 48000 Hz and 45 ms: target 4320, bounds 1152 to 24000.
    JitterConsumer(SampleRing& ring, double sampleRate, double targetMs,
                   const PlayoutConfig& config = kPlayout);
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

    // Render thread only, before each pull. The output device's clock ratio, and whether it was
    // measured (false: 1.0 is assumed); one that is not a number in (0.5, 2) counts as an
    // assumed 1.0. The integral starts again when a measured ratio takes over from the assumed
    // one or gives way to it: until then it was making up for the device clock, which the ratio
    // now does, and kept it would play the difference twice for some twenty seconds.
    void setDeviceRatio(double ratio, bool measured = true);

    // Writer thread (on HELLO). Asks for a preset; the next pull applies it. `fixedMs` is
    // clamped to [20, 400]. Lock-free.
    void requestPreset(uint32_t preset, int fixedMs);

    // Writer thread, per packet. How many frames the phone's packets carry. An adaptive target
    // never goes below one packet plus one device callback: less cannot carry the stream
    // from one packet to the next. Lock-free.
    void setPacketFrames(uint32_t frames) {
        packetFrames_.store(frames, std::memory_order_relaxed);
    }

    // Writer thread. A packet came after its place in the stream had already been concealed
    // because the buffer could wait no longer: like an underrun, it says the buffer is too
    // small, and the next pull grows an adaptive target by one step, unless the fill is still
    // climbing to the last raise. Lock-free.
    void reportLatePacket() { latePackets_.fetch_add(1, std::memory_order_relaxed); }

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
    // Whether audio is being played (primed), and the frames the last pull took: what the
    // writer needs to know when the buffer will run dry.
    bool playing() const { return playing_.load(std::memory_order_relaxed); }
    uint32_t pullFrames() const { return pullFrames_.load(std::memory_order_relaxed); }
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
    double phase() const { return resampler_.phase(); }

  private:
    uint64_t depthFor(double seconds) const;
    void boundTarget(uint64_t candidate);
    // The lowest an adaptive target may go with packets and callbacks of these sizes.
    uint64_t carryingMinimum(std::size_t callbackFrames) const;
    void updateTrim(double effective, std::size_t frames);
    void underrun(float* out, std::size_t from, std::size_t frames);
    void growTarget();

    SampleRing* ring_;
    const PlayoutConfig config_;
    const double sampleRate_;
    const double initialTargetMs_;
    const uint64_t stepDown_;
    const uint64_t overflowSlack_;
    const uint64_t stepInterval_;

    // Render thread only.
    LinearResampler resampler_;
    bool primed_ = false;
    bool adaptive_ = true;
    bool lastSenderRatioValid_ = false;
    bool deviceRatioMeasured_ = false;
    uint64_t minTarget_;
    uint64_t maxTarget_;
    uint64_t stepUp_;
    uint64_t depthCap_ = 0;
    uint64_t framesSinceStep_ = 0;
    double slowDepth_ = 0.0;
    double step_ = 1.0;
    double integral_ = 0.0;  // the trim's integral part, a rate ratio like the trim itself
    double deviceRatio_ = 1.0;
    int32_t appliedFixedMs_ = 40;
    uint32_t latePacketsSeen_ = 0;

    // Written by the render thread, read by the status thread.
    std::atomic<uint64_t> target_;
    std::atomic<uint64_t> effectiveTarget_{0};
    std::atomic<double> fastDepth_{0.0};
    std::atomic<int32_t> trimPpm_{0};
    std::atomic<uint32_t> underruns_{0};
    std::atomic<uint32_t> appliedPreset_{1};
    std::atomic<bool> playing_{false};
    std::atomic<uint32_t> pullFrames_{0};

    // Written by other threads, read by the render thread at its next pull.
    std::atomic<uint32_t> requestedPreset_{1};
    std::atomic<int32_t> requestedFixedMs_{40};
    std::atomic<uint32_t> packetFrames_{0};
    std::atomic<uint32_t> latePackets_{0};
    // The sender ratio and its validity as one word, so a pull never mixes a ratio with the
    // other estimate's flag: a valid ratio as it is, 0.0 for "none, play at 1.0".
    std::atomic<double> senderRatio_{0.0};
    std::atomic<uint64_t> alignFloor_{0};
};

}  // namespace vocari
