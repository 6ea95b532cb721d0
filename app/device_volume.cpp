#include "device_volume.h"

#include <CoreAudio/CoreAudio.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vocari::app::DeviceVolume {

namespace {

std::string deviceUid(AudioObjectID id) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyDeviceUID,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    CFStringRef uid = nullptr;
    UInt32 size = sizeof uid;
    if (AudioObjectGetPropertyData(id, &address, 0, nullptr, &size, &uid) != noErr ||
        uid == nullptr) {
        return {};
    }
    char text[512] = {};
    const bool read = CFStringGetCString(uid, text, sizeof text, kCFStringEncodingUTF8);
    CFRelease(uid);
    return read ? std::string(text, strnlen(text, sizeof text)) : std::string();
}

AudioObjectPropertyAddress volumeAddress(bool input) {
    return {kAudioDevicePropertyVolumeScalar,
            input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput,
            kAudioObjectPropertyElementMain};
}

std::optional<float> readVolume(AudioObjectID id, bool input) {
    const AudioObjectPropertyAddress address = volumeAddress(input);
    if (!AudioObjectHasProperty(id, &address)) {
        return std::nullopt;
    }
    Float32 volume = 0;
    UInt32 size = sizeof volume;
    if (AudioObjectGetPropertyData(id, &address, 0, nullptr, &size, &volume) != noErr ||
        size != sizeof volume) {
        return std::nullopt;
    }
    return volume;
}

bool writeUnity(AudioObjectID id, bool input) {
    const AudioObjectPropertyAddress address = volumeAddress(input);
    if (!AudioObjectHasProperty(id, &address)) {
        return false;
    }
    const Float32 full = 1.0f;
    return AudioObjectSetPropertyData(id, &address, 0, nullptr, sizeof full, &full) == noErr;
}

}  // namespace

std::optional<uint32_t> device(const std::string& uid) {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDevices,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size) !=
        noErr) {
        return std::nullopt;
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    size = static_cast<UInt32>(ids.size() * sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                   ids.data()) != noErr) {
        return std::nullopt;
    }
    ids.resize(std::min<size_t>(ids.size(), size / sizeof(AudioObjectID)));
    for (const AudioObjectID id : ids) {
        if (deviceUid(id) == uid) {
            return id;
        }
    }
    return std::nullopt;
}

std::optional<float> lowestScalar(const std::string& uid) {
    const std::optional<uint32_t> id = device(uid);
    if (!id) {
        return std::nullopt;
    }
    const std::optional<float> output = readVolume(*id, false);
    const std::optional<float> input = readVolume(*id, true);
    if (input) {
        return output ? std::min(*input, *output) : *input;
    }
    return output;
}

bool setUnity(const std::string& uid) {
    const std::optional<uint32_t> id = device(uid);
    if (!id) {
        return false;
    }
    const bool output = writeUnity(*id, false);
    const bool input = writeUnity(*id, true);
    return output || input;
}

}  // namespace vocari::app::DeviceVolume
