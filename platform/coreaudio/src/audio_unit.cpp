#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "device_list.h"
#include "jack_backend.h"
#include "output_engine.h"
#include "pipewire_backend.h"
#include "sim_output.h"
#include "vocari/sim_audio.h"

// The HAL output unit. Control calls on one unit are serialised by its mutex; the render
// callback runs on the engine's thread and never takes that mutex.
struct ComponentInstanceRecord {
    std::mutex mutex;
    bool deviceChosen = false;
    AudioDeviceID device = kAudioObjectUnknown;
    UInt32 maxFrames = 4096;
    AudioStreamBasicDescription format{};
    AURenderCallbackStruct callback{};
    std::unique_ptr<vocari::coreaudio::OutputEngine> engine;  // set while initialised
    bool running = false;
};

struct OpaqueAudioComponent {
    AudioComponentDescription description;
};

namespace vocari::coreaudio {
namespace {

constexpr UInt32 kMaxClientChannels = 256;
constexpr UInt32 kMaxFramesPerSlice = 16384;

OpaqueAudioComponent halOutput{
    {kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0}};

AudioStreamBasicDescription floatFormat(UInt32 channels) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = kSimSampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagsNativeFloatPacked;
    format.mBytesPerPacket = 4 * channels;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4 * channels;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

// The one client format the unit converts from: interleaved packed Float32 at 48000 Hz.
bool supported(const AudioStreamBasicDescription& format) {
    const UInt32 channels = format.mChannelsPerFrame;
    return format.mSampleRate == kSimSampleRate && format.mFormatID == kAudioFormatLinearPCM &&
           (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
           (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0 &&
           (format.mFormatFlags & kAudioFormatFlagIsBigEndian) == 0 &&
           format.mBitsPerChannel == 32 && format.mFramesPerPacket == 1 && channels >= 1 &&
           channels <= kMaxClientChannels && format.mBytesPerFrame == 4 * channels &&
           format.mBytesPerPacket == 4 * channels;
}

std::mutex liveUnitsMutex;
std::set<AudioUnit>& liveUnits() {
    static std::set<AudioUnit> units;
    return units;
}

bool isLive(AudioUnit unit) {
    const std::lock_guard lock(liveUnitsMutex);
    return unit != nullptr && liveUnits().count(unit) != 0;
}

// Completes a stop that the render callback asked for.
void settleStop(AudioUnit unit) {
    if (unit->running && unit->engine && unit->engine->stopRequested()) {
        unit->engine->stop();
        unit->running = false;
    }
}

void stopLocked(AudioUnit unit) {
    if (unit->engine) {
        unit->engine->stop();
    }
    unit->running = false;
}

void uninitializeLocked(AudioUnit unit) {
    stopLocked(unit);
    unit->engine.reset();
}

AudioDeviceID chosenDevice(AudioUnit unit) {
    if (unit->deviceChosen) {
        return unit->device;
    }
    return defaultOutputDevice(currentDevices());
}

template <typename T>
OSStatus copyOut(const T& value, void* outData, UInt32* ioDataSize) {
    if (*ioDataSize < sizeof value) {
        return kAudioUnitErr_InvalidParameter;
    }
    std::memcpy(outData, &value, sizeof value);
    *ioDataSize = sizeof value;
    return noErr;
}

template <typename T>
bool copyIn(const void* data, UInt32 dataSize, T* value) {
    if (dataSize != sizeof *value) {
        return false;
    }
    std::memcpy(value, data, sizeof *value);
    return true;
}

OSStatus initializeLocked(AudioUnit unit) {
    if (unit->engine) {
        return noErr;
    }
    const AudioDeviceID id = chosenDevice(unit);
    const auto device = findDevice(id);
    if (!device || device->outputChannels == 0) {
        return kAudioHardwareBadDeviceError;
    }
    EngineSetup setup;
    setup.unit = unit;
    setup.callback = unit->callback;
    setup.clientChannels = unit->format.mChannelsPerFrame;
    if (device->kind == HalDevice::Kind::Jack) {
        unit->engine = makeJackOutput(device->jackServer, device->outputChannels, setup);
    } else if (device->kind == HalDevice::Kind::PipeWire) {
        unit->engine = makePipeWireOutput(device->outputChannels, setup);
    } else {
        SimOutputConfig config;
        config.ringPath = ringFilePath(device->folder, device->uid);
        config.deviceChannels = device->outputChannels;
        config.bufferFrames = device->bufferFrames;
        config.ratePpm = device->ratePpm;
        unit->engine = makeSimOutput(config, setup);
    }
    const OSStatus status = unit->engine->prepare();
    if (status != noErr) {
        unit->engine.reset();
    }
    return status;
}

OSStatus setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                     AudioUnitElement element, const void* data, UInt32 dataSize) {
    switch (id) {
        case kAudioOutputUnitProperty_CurrentDevice: {
            if (scope != kAudioUnitScope_Global) {
                return kAudioUnitErr_InvalidScope;
            }
            AudioDeviceID device;
            if (!copyIn(data, dataSize, &device)) {
                return kAudioUnitErr_InvalidParameter;
            }
            if (unit->engine) {
                return kAudioUnitErr_Initialized;
            }
            const auto found = findDevice(device);
            if (!found || found->outputChannels == 0) {
                return kAudioUnitErr_InvalidPropertyValue;
            }
            unit->device = device;
            unit->deviceChosen = true;
            return noErr;
        }
        case kAudioUnitProperty_MaximumFramesPerSlice: {
            if (scope != kAudioUnitScope_Global) {
                return kAudioUnitErr_InvalidScope;
            }
            UInt32 frames;
            if (!copyIn(data, dataSize, &frames)) {
                return kAudioUnitErr_InvalidParameter;
            }
            if (unit->engine) {
                return kAudioUnitErr_Initialized;
            }
            if (frames == 0 || frames > kMaxFramesPerSlice) {
                return kAudioUnitErr_InvalidPropertyValue;
            }
            unit->maxFrames = frames;
            return noErr;
        }
        case kAudioUnitProperty_StreamFormat: {
            if (scope == kAudioUnitScope_Output) {
                return kAudioUnitErr_PropertyNotWritable;
            }
            if (scope != kAudioUnitScope_Input) {
                return kAudioUnitErr_InvalidScope;
            }
            if (element != 0) {
                return kAudioUnitErr_InvalidElement;
            }
            AudioStreamBasicDescription format;
            if (!copyIn(data, dataSize, &format)) {
                return kAudioUnitErr_InvalidParameter;
            }
            if (unit->engine) {
                return kAudioUnitErr_Initialized;
            }
            if (!supported(format)) {
                return kAudioUnitErr_FormatNotSupported;
            }
            unit->format = format;
            return noErr;
        }
        case kAudioUnitProperty_SetRenderCallback: {
            if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Global) {
                return kAudioUnitErr_InvalidScope;
            }
            if (element != 0) {
                return kAudioUnitErr_InvalidElement;
            }
            AURenderCallbackStruct callback;
            if (!copyIn(data, dataSize, &callback)) {
                return kAudioUnitErr_InvalidParameter;
            }
            // The engine copies the callback when it is made; it changes with re-initialising.
            if (unit->engine) {
                return kAudioUnitErr_Initialized;
            }
            unit->callback = callback;
            return noErr;
        }
        case kAudioOutputUnitProperty_IsRunning:
            return kAudioUnitErr_PropertyNotWritable;
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                     AudioUnitElement element, void* outData, UInt32* ioDataSize) {
    switch (id) {
        case kAudioOutputUnitProperty_CurrentDevice:
            if (scope != kAudioUnitScope_Global) {
                return kAudioUnitErr_InvalidScope;
            }
            return copyOut(chosenDevice(unit), outData, ioDataSize);
        case kAudioUnitProperty_MaximumFramesPerSlice:
            if (scope != kAudioUnitScope_Global) {
                return kAudioUnitErr_InvalidScope;
            }
            return copyOut(unit->maxFrames, outData, ioDataSize);
        case kAudioOutputUnitProperty_IsRunning: {
            if (scope != kAudioUnitScope_Global) {
                return kAudioUnitErr_InvalidScope;
            }
            // A unit whose device has gone away runs no more, as on a Mac.
            const bool lost = unit->engine && unit->engine->deviceLost();
            const UInt32 running = unit->running && !lost ? 1 : 0;
            return copyOut(running, outData, ioDataSize);
        }
        case kAudioUnitProperty_StreamFormat: {
            if (element != 0) {
                return kAudioUnitErr_InvalidElement;
            }
            if (scope == kAudioUnitScope_Input) {
                return copyOut(unit->format, outData, ioDataSize);
            }
            if (scope == kAudioUnitScope_Output) {
                const auto device = findDevice(chosenDevice(unit));
                if (!device) {
                    return kAudioUnitErr_NoConnection;
                }
                return copyOut(floatFormat(device->outputChannels), outData, ioDataSize);
            }
            return kAudioUnitErr_InvalidScope;
        }
        case kAudioUnitProperty_SetRenderCallback:
            return kAudioUnitErr_PropertyNotInUse;
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

}  // namespace
}  // namespace vocari::coreaudio

using namespace vocari::coreaudio;

extern "C" {

AudioComponent AudioComponentFindNext(AudioComponent after,
                                      const AudioComponentDescription* description) {
    if (description == nullptr || after != nullptr) {
        return nullptr;
    }
    const auto& mine = halOutput.description;
    const auto matches = [](OSType wanted, OSType have) { return wanted == 0 || wanted == have; };
    if (matches(description->componentType, mine.componentType) &&
        matches(description->componentSubType, mine.componentSubType) &&
        matches(description->componentManufacturer, mine.componentManufacturer) &&
        (mine.componentFlags & description->componentFlagsMask) ==
            (description->componentFlags & description->componentFlagsMask)) {
        return &halOutput;
    }
    return nullptr;
}

OSStatus AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* outInstance) {
    if (component != &halOutput || outInstance == nullptr) {
        return kAudio_ParamError;
    }
    auto* unit = new ComponentInstanceRecord;
    unit->format = floatFormat(2);
    {
        const std::lock_guard lock(liveUnitsMutex);
        liveUnits().insert(unit);
    }
    *outInstance = unit;
    return noErr;
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance unit) {
    {
        const std::lock_guard lock(liveUnitsMutex);
        if (unit == nullptr || liveUnits().erase(unit) == 0) {
            return kAudio_ParamError;
        }
    }
    {
        const std::lock_guard lock(unit->mutex);
        uninitializeLocked(unit);
    }
    delete unit;
    return noErr;
}

OSStatus AudioUnitInitialize(AudioUnit unit) {
    if (!isLive(unit)) {
        return kAudio_ParamError;
    }
    const std::lock_guard lock(unit->mutex);
    settleStop(unit);
    return initializeLocked(unit);
}

OSStatus AudioUnitUninitialize(AudioUnit unit) {
    if (!isLive(unit)) {
        return kAudio_ParamError;
    }
    const std::lock_guard lock(unit->mutex);
    uninitializeLocked(unit);
    return noErr;
}

OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, const void* data, UInt32 dataSize) {
    if (!isLive(unit) || data == nullptr) {
        return kAudio_ParamError;
    }
    const std::lock_guard lock(unit->mutex);
    settleStop(unit);
    return setProperty(unit, id, scope, element, data, dataSize);
}

OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, void* outData, UInt32* ioDataSize) {
    if (!isLive(unit) || outData == nullptr || ioDataSize == nullptr) {
        return kAudio_ParamError;
    }
    const std::lock_guard lock(unit->mutex);
    settleStop(unit);
    return getProperty(unit, id, scope, element, outData, ioDataSize);
}

OSStatus AudioOutputUnitStart(AudioUnit unit) {
    if (!isLive(unit)) {
        return kAudio_ParamError;
    }
    const std::lock_guard lock(unit->mutex);
    settleStop(unit);
    if (!unit->engine) {
        return kAudioUnitErr_Uninitialized;
    }
    if (unit->running) {
        return noErr;
    }
    const OSStatus status = unit->engine->start();
    unit->running = status == noErr;
    return status;
}

OSStatus AudioOutputUnitStop(AudioUnit unit) {
    // The render thread's own unit is live while its callback runs; asking the registry would
    // take a lock on the real-time thread.
    if (unit != nullptr && currentRenderUnit() == unit) {
        // Joining the render thread from itself would never return: only ask it to stop.
        // Reading the engine pointer is safe here: it cannot change while this callback runs,
        // because every change stops the engine (and so waits for this callback) first.
        unit->engine->requestStop();
        return noErr;
    }
    if (!isLive(unit)) {
        return kAudio_ParamError;
    }
    const std::lock_guard lock(unit->mutex);
    stopLocked(unit);
    return noErr;
}

}  // extern "C"
