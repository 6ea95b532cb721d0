#pragma once

// What drives an initialised output unit: the simulated device's pacing thread, the PipeWire
// pair sources or a JACK client. Control methods are called with the unit's lock held, never from
// the render thread.

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

#include <cstdint>
#include <memory>
#include <string>

namespace vocari::coreaudio {

struct EngineSetup {
    AudioUnit unit = nullptr;           // passed to nothing; marks the render thread
    AURenderCallbackStruct callback{};  // may be empty: then the unit plays silence
    uint32_t clientChannels = 2;        // channels per frame the callback fills
};

class OutputEngine {
  public:
    virtual ~OutputEngine() = default;
    // Control thread. Acquires what the engine needs; prints the reason for a refusal.
    virtual OSStatus prepare() = 0;
    // Control thread.
    virtual OSStatus start() = 0;
    // Control thread: returns when the callback will not run again.
    virtual void stop() = 0;
    // Any thread, including the render thread. Lock-free.
    virtual void requestStop() = 0;
    // Any thread. True from a stop request (or stop) until the next start.
    virtual bool stopRequested() const = 0;
    // Any thread. True once the device behind the engine has gone away (its server quit): the
    // callback will not run again.
    virtual bool deviceLost() const { return false; }
};

// Render thread only. Zeroes `frames` frames of `setup.clientChannels` interleaved floats in
// `buffer` and has the unit's callback fill them; false when the callback failed or said it
// rendered silence. Lock-free; allocates nothing.
bool renderInterleaved(const EngineSetup& setup, const AudioTimeStamp& stamp, uint32_t frames,
                       float* buffer);

// The unit whose callback the current thread is running, or null.
AudioUnit currentRenderUnit();
// Render thread only. Marks the calling thread as rendering for `unit`.
void setCurrentRenderUnit(AudioUnit unit);

}  // namespace vocari::coreaudio
