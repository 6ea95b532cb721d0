#pragma once

// The PipeWire side of the stand-in: whether a server is reachable, and an output engine that
// gives every stereo pair of the device its own PipeWire audio source, so that any program can
// record one phone as its microphone.

#include <CoreAudio/CoreAudio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "output_engine.h"

namespace vocari::coreaudio {

inline constexpr const char* kPipeWireUid = "pipewire";
inline constexpr const char* kPipeWireDeviceName = "Vocari phones (PipeWire)";
inline constexpr uint32_t kPipeWireChannels = 16;
// The quantum the pair streams ask the graph for.
inline constexpr uint32_t kPipeWireBufferFrames = 256;

// The socket a client would connect to: $PIPEWIRE_REMOTE (absolute, or under the runtime
// folder), else pipewire-0 in $PIPEWIRE_RUNTIME_DIR, $XDG_RUNTIME_DIR or $USERPROFILE.
std::string pipeWireSocketPath();

// Any thread. True while a PipeWire server accepts clients; probed at most once a second.
bool pipeWireReachable();

// "Vocari phones 1–2" for pair 0, and so on.
std::string pipeWirePairDescription(uint32_t pair);
// "vocari-phones-1-2" for pair 0: the node name programs address the pair's source by.
std::string pipeWirePairNodeName(uint32_t pair);

// One graph cycle as the graph's clock tells it.
struct GraphCycle {
    uint64_t position = 0;  // the clock's position, in ticks of `rate`
    uint64_t nsec = 0;      // CLOCK_MONOTONIC time of the cycle
    uint32_t rate = 48000;  // ticks per second
};

// The timestamps the render callback is given for a cycle, at the unit's 48000 Hz. The sample
// time never goes backwards: a cycle that does not move the clock on (read twice, or a clock
// that was reset) follows straight on from the last. A cycle whose driver has not stamped it
// (nsec 0) gives no host time, so the device's rate is never measured from it.
class GraphClock {
  public:
    // Render thread only. Lock-free; allocates nothing.
    AudioTimeStamp stamp(const GraphCycle& cycle, uint32_t frames);

  private:
    bool started_ = false;
    int64_t nextSampleTime_ = 0;
    int64_t nextHostNs_ = 0;
};

std::unique_ptr<OutputEngine> makePipeWireOutput(uint32_t channels, const EngineSetup& setup);

}  // namespace vocari::coreaudio
