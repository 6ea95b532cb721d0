#include <CoreAudio/CoreAudio.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "device_list.h"
#include "vocari/sim_audio.h"

namespace vocari::coreaudio {
namespace {

// A property's current value as the hardware layer hands it out.
struct Property {
    std::vector<unsigned char> bytes;  // fixed-size value, or the items of an array
    std::optional<std::string> text;   // string properties: a new CFString per read
    bool array = false;                // item size 4; reads are cut to whole items
    bool settable = false;
};

template <typename T>
Property fixed(const T& value, bool settable = false) {
    Property property;
    property.bytes.resize(sizeof value);
    std::memcpy(property.bytes.data(), &value, sizeof value);
    property.settable = settable;
    return property;
}

Property text(const std::string& value) {
    Property property;
    property.text = value;
    return property;
}

// One stream per direction holding all of its channels, as a loopback driver presents it.
Property streamConfiguration(UInt32 channels) {
    Property property;
    if (channels == 0) {
        AudioBufferList list{};
        property.bytes.resize(offsetof(AudioBufferList, mBuffers));
        std::memcpy(property.bytes.data(), &list, property.bytes.size());
        return property;
    }
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = AudioBuffer{channels, 0, nullptr};
    return fixed(list);
}

bool isDirectional(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

bool anyScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeGlobal || isDirectional(scope) ||
           scope == kAudioObjectPropertyScopeWildcard;
}

bool mainElement(AudioObjectPropertyElement element) {
    return element == kAudioObjectPropertyElementMain ||
           element == kAudioObjectPropertyElementWildcard;
}

std::optional<Property> systemProperty(const AudioObjectPropertyAddress& address,
                                       const std::vector<HalDevice>& devices) {
    if (!anyScope(address.mScope) || !mainElement(address.mElement)) {
        return std::nullopt;
    }
    switch (address.mSelector) {
        case kAudioHardwarePropertyDevices: {
            Property property;
            property.array = true;
            for (const auto& device : devices) {
                const auto* raw = reinterpret_cast<const unsigned char*>(&device.id);
                property.bytes.insert(property.bytes.end(), raw, raw + sizeof device.id);
            }
            return property;
        }
        case kAudioHardwarePropertyDefaultOutputDevice:
            return fixed(defaultOutputDevice(devices));
        default:
            return std::nullopt;
    }
}

std::optional<Property> deviceProperty(const AudioObjectPropertyAddress& address,
                                       const HalDevice& device) {
    if (!anyScope(address.mScope) || !mainElement(address.mElement)) {
        return std::nullopt;
    }
    const bool input = address.mScope == kAudioObjectPropertyScopeInput;
    switch (address.mSelector) {
        case kAudioObjectPropertyName:
            return text(device.name);
        case kAudioDevicePropertyDeviceUID:
            return text(device.uid);
        case kAudioObjectPropertyManufacturer:
            return text(device.kind == HalDevice::Kind::Jack       ? "JACK"
                        : device.kind == HalDevice::Kind::PipeWire ? "PipeWire"
                                                                   : "Vocari");
        case kAudioDevicePropertyTransportType:
            return fixed(device.transport);
        case kAudioDevicePropertyDeviceIsAlive:
            return fixed(UInt32{1});
        case kAudioDevicePropertyNominalSampleRate:
            return fixed(device.sampleRate);
        case kAudioDevicePropertyBufferFrameSize:
            return fixed(device.bufferFrames);
        case kAudioDevicePropertyStreamConfiguration:
            if (!isDirectional(address.mScope)) {
                return std::nullopt;
            }
            return streamConfiguration(input ? device.inputChannels : device.outputChannels);
        case kAudioDevicePropertyVolumeScalar: {
            if (!isDirectional(address.mScope) ||
                address.mElement != kAudioObjectPropertyElementMain) {
                return std::nullopt;
            }
            const auto& volume = input ? device.inputVolume : device.outputVolume;
            if (!volume) {
                return std::nullopt;
            }
            return fixed(*volume, true);
        }
        default:
            return std::nullopt;
    }
}

struct Lookup {
    OSStatus status = kAudioHardwareNoError;
    Property property;
    std::optional<HalDevice> device;
};

Lookup lookUp(AudioObjectID objectId, const AudioObjectPropertyAddress* address) {
    Lookup result;
    if (address == nullptr) {
        result.status = kAudio_ParamError;
        return result;
    }
    const auto devices = currentDevices();
    std::optional<Property> property;
    if (objectId == kAudioObjectSystemObject) {
        property = systemProperty(*address, devices);
    } else {
        for (const auto& device : devices) {
            if (device.id == objectId) {
                result.device = device;
            }
        }
        if (!result.device) {
            result.status = kAudioHardwareBadObjectError;
            return result;
        }
        property = deviceProperty(*address, *result.device);
    }
    if (!property) {
        result.status = kAudioHardwareUnknownPropertyError;
        return result;
    }
    result.property = std::move(*property);
    return result;
}

UInt32 sizeOf(const Property& property) {
    return property.text ? static_cast<UInt32>(sizeof(CFStringRef))
                         : static_cast<UInt32>(property.bytes.size());
}

}  // namespace
}  // namespace vocari::coreaudio

using vocari::coreaudio::lookUp;
using vocari::coreaudio::sizeOf;

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID objectId, const AudioObjectPropertyAddress* address) {
    return lookUp(objectId, address).status == kAudioHardwareNoError;
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID objectId,
                                       const AudioObjectPropertyAddress* address,
                                       Boolean* outIsSettable) {
    if (outIsSettable == nullptr) {
        return kAudio_ParamError;
    }
    const auto found = lookUp(objectId, address);
    if (found.status != kAudioHardwareNoError) {
        return found.status;
    }
    *outIsSettable = found.property.settable;
    return kAudioHardwareNoError;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID objectId,
                                        const AudioObjectPropertyAddress* address, UInt32,
                                        const void*, UInt32* outDataSize) {
    if (outDataSize == nullptr) {
        return kAudio_ParamError;
    }
    const auto found = lookUp(objectId, address);
    if (found.status != kAudioHardwareNoError) {
        return found.status;
    }
    *outDataSize = sizeOf(found.property);
    return kAudioHardwareNoError;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID objectId,
                                    const AudioObjectPropertyAddress* address, UInt32, const void*,
                                    UInt32* ioDataSize, void* outData) {
    if (ioDataSize == nullptr || outData == nullptr) {
        return kAudio_ParamError;
    }
    const auto found = lookUp(objectId, address);
    if (found.status != kAudioHardwareNoError) {
        return found.status;
    }
    const auto& property = found.property;
    if (property.text) {
        if (*ioDataSize < sizeof(CFStringRef)) {
            return kAudioHardwareBadPropertySizeError;
        }
        CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, property.text->c_str(),
                                                       kCFStringEncodingUTF8);
        if (string == nullptr) {
            return kAudioHardwareUnspecifiedError;
        }
        std::memcpy(outData, &string, sizeof string);
        *ioDataSize = sizeof string;
        return kAudioHardwareNoError;
    }
    UInt32 bytes = sizeOf(property);
    if (property.array) {
        // The list may have grown since the caller asked for its size: hand out what fits.
        bytes = std::min(bytes, *ioDataSize / 4 * 4);
    } else if (*ioDataSize < bytes) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::memcpy(outData, property.bytes.data(), bytes);
    *ioDataSize = bytes;
    return kAudioHardwareNoError;
}

OSStatus AudioObjectSetPropertyData(AudioObjectID objectId,
                                    const AudioObjectPropertyAddress* address, UInt32, const void*,
                                    UInt32 dataSize, const void* data) {
    const auto found = lookUp(objectId, address);
    if (found.status != kAudioHardwareNoError) {
        return found.status;
    }
    if (!found.property.settable || !found.device) {
        return kAudioHardwareIllegalOperationError;
    }
    if (data == nullptr) {
        return kAudio_ParamError;
    }
    if (dataSize != sizeof(Float32)) {
        return kAudioHardwareBadPropertySizeError;
    }
    Float32 volume;
    std::memcpy(&volume, data, sizeof volume);
    if (std::isnan(volume)) {
        return kAudio_ParamError;
    }
    switch (vocari::writeSimDeviceVolume(found.device->folder, found.device->uid,
                                         address->mScope == kAudioObjectPropertyScopeInput,
                                         volume)) {
        case vocari::VolumeWrite::Written:
            return kAudioHardwareNoError;
        case vocari::VolumeWrite::NoSuchDevice:
            return kAudioHardwareBadObjectError;
        case vocari::VolumeWrite::NoSuchControl:
            return kAudioHardwareUnknownPropertyError;
        case vocari::VolumeWrite::Failed:
            break;
    }
    return kAudioHardwareUnspecifiedError;
}

}  // extern "C"
