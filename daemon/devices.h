#pragma once

// The audio devices the daemon can play into, and the `device` settings file through which the
// app picks one. Every call asks the audio system afresh: devices come and go while the daemon
// runs.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vocari {

struct DeviceInfo {
    uint32_t id = 0;
    std::string uid;
    std::string name;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
};

// The contents of the `device` file.
struct OutputTarget {
    std::string uid;  // empty: the best loopback device
    int channel = 0;  // first device channel for phones; pairs start at channel / 2
    bool align = true;
};

// Every device, in the order the audio system lists them; empty when the list cannot be read.
std::vector<DeviceInfo> allDevices();

// The loopback devices (virtual, at least 2 in and 2 out), best first: names containing
// "blackhole" before others, then wider devices first, otherwise in list order; except that
// the PipeWire device goes ahead of every JACK device.
std::vector<DeviceInfo> loopbackDevices();

// The device the output should use among `loopbacks`: the one whose UID is `uid`, else the
// first. Null when the list is empty.
const DeviceInfo* chooseLoopbackDevice(const std::vector<DeviceInfo>& loopbacks,
                                       const std::string& uid);

// Reads the `device` file; the defaults when it is missing or empty.
OutputTarget loadOutputTarget(const std::string& path);
// The same from the file's text, for tests and fuzzing.
OutputTarget parseOutputTarget(std::string_view text);

namespace devices_detail {

// A string property of an audio object; empty on any failure.
std::string stringProperty(unsigned int object, unsigned int selector);

// The UIDs the audio layer gives its PipeWire device and its JACK devices ("jack:<server>").
inline constexpr std::string_view kPipeWireUid = "pipewire";
inline constexpr std::string_view kJackUidPrefix = "jack:";

// Whether `name` contains "blackhole", ASCII letters compared without case.
bool namesBlackHole(std::string_view name);

}  // namespace devices_detail

}  // namespace vocari
