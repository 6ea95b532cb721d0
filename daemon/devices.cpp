#include "devices.h"

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vocari {

namespace devices_detail {

std::string stringProperty(unsigned int object, unsigned int selector) {
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    CFStringRef value = nullptr;
    UInt32 size = sizeof value;
    if (AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value) != noErr ||
        value == nullptr) {
        return {};
    }
    char text[512] = {};
    CFStringGetCString(value, text, sizeof text, kCFStringEncodingUTF8);
    CFRelease(value);
    return std::string(text, strnlen(text, sizeof text));
}

bool namesBlackHole(std::string_view name) {
    constexpr std::string_view kWord = "blackhole";
    if (name.size() < kWord.size()) {
        return false;
    }
    for (size_t at = 0; at + kWord.size() <= name.size(); ++at) {
        bool match = true;
        for (size_t i = 0; i < kWord.size() && match; ++i) {
            match = std::tolower(static_cast<unsigned char>(name[at + i])) == kWord[i];
        }
        if (match) {
            return true;
        }
    }
    return false;
}

}  // namespace devices_detail

namespace {

uint32_t channelCount(AudioObjectID device, AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != noErr || size == 0) {
        return 0;
    }
    std::vector<std::byte> storage(size);
    auto* buffers = reinterpret_cast<AudioBufferList*>(storage.data());
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, buffers) != noErr) {
        return 0;
    }
    uint32_t channels = 0;
    for (UInt32 i = 0; i < buffers->mNumberBuffers; ++i) {
        channels += buffers->mBuffers[i].mNumberChannels;
    }
    return channels;
}

bool isVirtual(AudioObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyTransportType,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    UInt32 transport = 0;
    UInt32 size = sizeof transport;
    return AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &transport) == noErr &&
           transport == kAudioDeviceTransportTypeVirtual;
}

}  // namespace

std::vector<DeviceInfo> allDevices() {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDevices,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size) !=
        noErr) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                   ids.data()) != noErr) {
        return {};
    }
    ids.resize(size / sizeof(AudioObjectID));
    std::vector<DeviceInfo> devices;
    for (const AudioObjectID id : ids) {
        DeviceInfo info;
        info.id = id;
        info.uid = devices_detail::stringProperty(id, kAudioDevicePropertyDeviceUID);
        info.name = devices_detail::stringProperty(id, kAudioObjectPropertyName);
        info.inputChannels = channelCount(id, kAudioDevicePropertyScopeInput);
        info.outputChannels = channelCount(id, kAudioDevicePropertyScopeOutput);
        devices.push_back(std::move(info));
    }
    return devices;
}

std::vector<DeviceInfo> loopbackDevices() {
    std::vector<DeviceInfo> loopbacks;
    for (auto& device : allDevices()) {
        if (device.inputChannels >= 2 && device.outputChannels >= 2 && isVirtual(device.id)) {
            loopbacks.push_back(std::move(device));
        }
    }
    std::stable_sort(loopbacks.begin(), loopbacks.end(), [](const auto& a, const auto& b) {
        const bool aBlackHole = devices_detail::namesBlackHole(a.name);
        const bool bBlackHole = devices_detail::namesBlackHole(b.name);
        if (aBlackHole != bBlackHole) {
            return aBlackHole;
        }
        return static_cast<int32_t>(a.outputChannels) > static_cast<int32_t>(b.outputChannels);
    });
    // Where PipeWire runs, its device is what a user records from: every phone its own source,
    // where a JACK device (most likely PipeWire's own JACK) needs a patchbay and the simulated
    // device only a capture tool. So it goes ahead of every device but a BlackHole.
    const auto pipeWire = std::find_if(loopbacks.begin(), loopbacks.end(), [](const auto& d) {
        return d.uid == devices_detail::kPipeWireUid;
    });
    const auto firstOther = std::find_if(loopbacks.begin(), pipeWire, [](const auto& d) {
        return !devices_detail::namesBlackHole(d.name);
    });
    if (pipeWire != loopbacks.end()) {
        std::rotate(firstOther, pipeWire, pipeWire + 1);
    }
    return loopbacks;
}

const DeviceInfo* chooseLoopbackDevice(const std::vector<DeviceInfo>& loopbacks,
                                       const std::string& uid) {
    if (loopbacks.empty()) {
        return nullptr;
    }
    if (!uid.empty()) {
        for (const auto& device : loopbacks) {
            if (device.uid == uid) {
                return &device;
            }
        }
    }
    return &loopbacks.front();
}

OutputTarget parseOutputTarget(std::string_view text) {
    OutputTarget target;
    // Lines are read in pieces of at most 511 bytes, as a fixed line buffer would give them.
    constexpr size_t kPiece = 511;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        end = std::min(end, start + kPiece);
        std::string_view piece = text.substr(start, end - start);
        start = end;
        while (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r')) {
            piece.remove_suffix(1);
        }
        const size_t equals = piece.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = piece.substr(0, equals);
        const std::string value(piece.substr(equals + 1));
        if (key == "uid") {
            target.uid = value;
        } else if (key == "channel") {
            target.channel = std::max(static_cast<int>(std::strtol(value.c_str(), nullptr, 10)), 0);
        } else if (key == "align") {
            target.align = !(value == "0" || value == "false");
        }
    }
    return target;
}

OutputTarget loadOutputTarget(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return {};
    }
    std::string text;
    char piece[4096];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) {
        text.append(piece, got);
    }
    std::fclose(file);
    return parseOutputTarget(text);
}

}  // namespace vocari
