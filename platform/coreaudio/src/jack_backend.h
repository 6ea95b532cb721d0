#pragma once

// The JACK side of the stand-in: whether a server is reachable, and an output engine that is a
// JACK client with one output port per device channel.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "output_engine.h"

namespace vocari::coreaudio {

struct JackServerInfo {
    std::string serverName;
    uint32_t sampleRate = 0;
    uint32_t bufferFrames = 0;
};

// $JACK_DEFAULT_SERVER, else "default".
std::string jackServerName();

// $VOCARI_JACK_CHANNELS (1 to 256), else 16.
uint32_t jackDeviceChannels();

// Any thread. The server, when one answers; probed at most once a second.
std::optional<JackServerInfo> reachableJackServer();

std::unique_ptr<OutputEngine> makeJackOutput(const std::string& serverName, uint32_t channels,
                                             const EngineSetup& setup);

}  // namespace vocari::coreaudio
