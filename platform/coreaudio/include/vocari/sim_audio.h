#pragma once

// The simulated audio system: a folder of `*.device` files, one per device, which every process
// reads afresh, and one ring file per played device holding the last seconds of its output.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vocari {

// One `*.device` file.
struct SimDevice {
    std::string file;  // full path of the file
    std::string uid;
    std::string name;
    std::string transport;  // virtual | builtin | usb | bluetooth (anything else: unknown)
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    uint32_t bufferFrames = 512;
    double ratePpm = 0.0;               // clock deviation: +500 runs 0.05 % fast
    std::optional<float> outputVolume;  // absent: the device has no such volume control
    std::optional<float> inputVolume;
    bool defaultOutput = false;
};

// Every sample rate here: the devices' nominal rate.
inline constexpr double kSimSampleRate = 48000.0;

// $VOCARI_AUDIO_DIR, else $XDG_RUNTIME_DIR/vocari-audio, else /tmp/vocari-audio-<uid>.
std::string simAudioFolder();

// Creates the folder with its two default devices when it does not exist (atomically, so that
// several processes may race). False when it neither exists nor can be made.
bool ensureSimAudioFolder(const std::string& folder);

// Parses one device file; nullopt when it cannot be read or names no device. Malformed values
// fall back to their defaults; a missing uid is the file name without `.device`.
std::optional<SimDevice> readSimDeviceFile(const std::string& path);

// Every device in the folder, ordered by file name; a later file repeating a uid is ignored.
std::vector<SimDevice> listSimDevices(const std::string& folder);

enum class VolumeWrite { Written, NoSuchDevice, NoSuchControl, Failed };

// Sets a volume (clamped to 0..1) of the device with this uid by rewriting its file
// atomically; other lines are kept as they are. Any thread; serialised across processes.
VolumeWrite writeSimDeviceVolume(const std::string& folder, const std::string& uid, bool input,
                                 float value);

// A form of `uid` that is safe as a file name: bytes outside [A-Za-z0-9._-], and a leading
// dot, become %XX, so different uids never share a name.
std::string fileSafeName(const std::string& uid);

// <folder>/<fileSafeName(uid)>.ring
std::string ringFilePath(const std::string& folder, const std::string& uid);

}  // namespace vocari
