#pragma once

// The daemon's one output unit: every Active phone played into its own stereo pair of one
// (normally loopback) device. The render callback runs on the audio system's real-time thread.

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices.h"
#include "lines.h"

namespace vocari {

class SessionTable;

// What the render callback does with one device buffer: measure the device clock, free closing
// slots, and pull every Active session into its channel pair. Separate from the unit so tests
// can drive it with buffers of their own.
class OutputRenderer {
  public:
    // Every slot can be pulled for up to `maxFrames` frames per callback; larger callbacks play
    // silence. `channels` is the device's channel count.
    OutputRenderer(SessionTable* table, double nominalRate, uint32_t channels, uint64_t maxFrames);

    // Render thread only. Lock-free; allocates nothing; no system call. Always noErr.
    OSStatus render(const AudioTimeStamp* timestamp, UInt32 frames, AudioBufferList* buffers);

    // Any thread.
    double measuredRatio() const { return measuredRatio_.load(std::memory_order_relaxed); }
    bool measuredRatioValid() const { return measuredRatioValid_.load(std::memory_order_relaxed); }
    uint32_t channels() const { return channels_; }
    uint64_t maxFrames() const { return maxFrames_; }

  private:
    void measureDeviceClock(const AudioTimeStamp& timestamp);
    void renderSessions(float* out, UInt32 frames);
    int64_t nowNs(const AudioTimeStamp* timestamp) const;

    SessionTable* const table_;
    const double nominalRate_;
    const uint32_t channels_;
    const uint64_t maxFrames_;
    std::vector<float> scratch_;  // one session's stereo frames per pull

    // Render thread only.
    bool measuring_ = false;
    double firstSampleTime_ = 0.0;
    uint64_t firstHostTime_ = 0;
    double hostTicksToNs_ = 1.0;

    std::atomic<double> measuredRatio_{1.0};
    std::atomic<bool> measuredRatioValid_{false};
};

class AudioOut {
  public:
    // Smallest scratch the render callback gets, in frames.
    static constexpr uint64_t kMinMaxFrames = 4096;

    AudioOut(LineSink& out = stdoutLines(), LineSink& err = stderrLines());
    ~AudioOut();
    AudioOut(const AudioOut&) = delete;
    AudioOut& operator=(const AudioOut&) = delete;

    // Main thread. Chooses the device, opens and starts the output unit. False, after one line on
    // the error sink saying why, when any step fails.
    bool start(SessionTable* table, double rate, const OutputTarget& target);
    // Main thread. Stops and disposes of the unit; nothing when there is none.
    void stop();

    // The unit's render callback; `ref` is the AudioOut.
    static OSStatus render(void* ref, AudioUnitRenderActionFlags* flags,
                           const AudioTimeStamp* timestamp, UInt32 bus, UInt32 frames,
                           AudioBufferList* buffers);

    // Written before the unit starts, read-only afterwards.
    const std::string& deviceName() const { return deviceName_; }
    const std::string& deviceUid() const { return deviceUid_; }
    bool isVirtual() const { return isVirtual_; }
    uint32_t channels() const { return channels_; }
    int pairs() const { return static_cast<int>(channels_ / 2); }
    uint64_t maxFrames() const { return maxFrames_; }
    // Any thread.
    double measuredRatio() const { return renderer_ ? renderer_->measuredRatio() : 1.0; }
    bool measuredRatioValid() const { return renderer_ && renderer_->measuredRatioValid(); }
    // Any thread but the render thread, while the unit is started: whether its device has gone
    // away (a JACK or PipeWire server that quit), so that nothing will be heard again.
    bool deviceLost() const;

  private:
    bool fail(const char* line);

    LineSink& out_;
    LineSink& err_;
    AudioUnit unit_ = nullptr;
    std::unique_ptr<OutputRenderer> renderer_;
    std::string deviceName_;
    std::string deviceUid_;
    bool isVirtual_ = false;
    uint32_t channels_ = 2;
    uint64_t maxFrames_ = 0;
};

}  // namespace vocari
