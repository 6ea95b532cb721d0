#pragma once

// The devices behind the hardware layer: the simulated devices of the folder, then the PipeWire
// device and the JACK device while their servers are reachable. Read afresh on every call.

#include <CoreAudio/CoreAudio.h>

#include <optional>
#include <string>
#include <vector>

namespace vocari::coreaudio {

struct HalDevice {
    enum class Kind { Simulated, PipeWire, Jack };

    AudioObjectID id = kAudioObjectUnknown;
    Kind kind = Kind::Simulated;
    std::string uid;
    std::string name;
    UInt32 transport = kAudioDeviceTransportTypeUnknown;
    UInt32 inputChannels = 0;
    UInt32 outputChannels = 0;
    UInt32 bufferFrames = 512;
    Float64 sampleRate = 48000.0;
    double ratePpm = 0.0;
    std::optional<Float32> outputVolume;
    std::optional<Float32> inputVolume;
    bool defaultOutput = false;
    std::string folder;      // simulated: the folder holding the device file
    std::string jackServer;  // JACK: the server name
};

// Any thread. The current device list with stable IDs.
std::vector<HalDevice> currentDevices();

// Any thread. The device with this ID now, if it is present.
std::optional<HalDevice> findDevice(AudioObjectID id);

// Any thread. The default output device's ID, or kAudioObjectUnknown.
AudioObjectID defaultOutputDevice(const std::vector<HalDevice>& devices);

}  // namespace vocari::coreaudio
