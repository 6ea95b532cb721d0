#pragma once

#include <memory>
#include <string>

#include "output_engine.h"

namespace vocari::coreaudio {

struct SimOutputConfig {
    std::string ringPath;
    uint32_t deviceChannels = 2;
    uint32_t bufferFrames = 512;
    double ratePpm = 0.0;
};

// Plays a simulated device: a thread that calls the render callback once per device buffer at
// the device's own clock rate and appends what it rendered to the device's ring file.
std::unique_ptr<OutputEngine> makeSimOutput(const SimOutputConfig& config,
                                            const EngineSetup& setup);

}  // namespace vocari::coreaudio
