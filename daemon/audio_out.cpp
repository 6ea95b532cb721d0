#include "audio_out.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <cstring>

#include "session_table.h"

namespace vocari {

namespace {

// The device clock is judged over at least this long before a ratio is believed.
constexpr double kMeasureAfterSeconds = 30.0;

void zero(AudioBuffer& buffer) {
    if (buffer.mData != nullptr) {
        std::memset(buffer.mData, 0, buffer.mDataByteSize);
    }
}

template <typename T>
OSStatus setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, const T& value) {
    return AudioUnitSetProperty(unit, id, scope, 0, &value, sizeof value);
}

}  // namespace

OutputRenderer::OutputRenderer(SessionTable* table, double nominalRate, uint32_t channels,
                               uint64_t maxFrames)
    : table_(table),
      nominalRate_(nominalRate),
      channels_(channels),
      maxFrames_(maxFrames),
      scratch_(2 * maxFrames, 0.0f) {
    // Known before the first callback, so a host time can be read even before a full timestamp
    // starts the clock measurement.
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    hostTicksToNs_ = static_cast<double>(timebase.numer) / static_cast<double>(timebase.denom);
}

void OutputRenderer::measureDeviceClock(const AudioTimeStamp& timestamp) {
    if (!measuring_) {
        firstSampleTime_ = timestamp.mSampleTime;
        firstHostTime_ = timestamp.mHostTime;
        measuring_ = true;
        return;
    }
    const double elapsed =
        hostTicksToNs_ * static_cast<double>(timestamp.mHostTime - firstHostTime_) / 1e9;
    if (elapsed <= kMeasureAfterSeconds) {
        return;
    }
    const double ratio = (timestamp.mSampleTime - firstSampleTime_) / elapsed / nominalRate_;
    if (ratio > 0.99 && ratio < 1.01) {
        measuredRatio_.store(ratio, std::memory_order_relaxed);
        measuredRatioValid_.store(true, std::memory_order_relaxed);
    }
}

bool AudioOut::deviceLost() const {
    if (unit_ == nullptr) {
        return false;
    }
    UInt32 running = 0;
    UInt32 size = sizeof running;
    return AudioUnitGetProperty(unit_, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global,
                                0, &running, &size) == noErr &&
           running == 0;
}

int64_t OutputRenderer::nowNs(const AudioTimeStamp* timestamp) const {
    // The buffer's host time is CLOCK_MONOTONIC already; reading the clock is the fallback.
    if (timestamp != nullptr && (timestamp->mFlags & kAudioTimeStampHostTimeValid) != 0) {
        return static_cast<int64_t>(hostTicksToNs_ * static_cast<double>(timestamp->mHostTime));
    }
    return static_cast<int64_t>(hostTicksToNs_ * static_cast<double>(mach_absolute_time()));
}

OSStatus OutputRenderer::render(const AudioTimeStamp* timestamp, UInt32 frames,
                                AudioBufferList* buffers) {
    constexpr UInt32 kBothValid = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    if (timestamp != nullptr && (timestamp->mFlags & kBothValid) == kBothValid) {
        measureDeviceClock(*timestamp);
    }
    if (buffers == nullptr || buffers->mNumberBuffers == 0) {
        return noErr;
    }
    if (buffers->mNumberBuffers > 1) {
        for (UInt32 i = 0; i < buffers->mNumberBuffers; ++i) {
            zero(buffers->mBuffers[i]);
        }
        return noErr;
    }
    AudioBuffer& buffer = buffers->mBuffers[0];
    if (buffer.mData == nullptr) {
        return noErr;
    }
    // The device frames this callback may write: never more than the buffer holds.
    const uint64_t capacityFrames = buffer.mDataByteSize / (sizeof(float) * channels_);
    if (buffer.mNumberChannels != channels_ || table_ == nullptr || capacityFrames < frames) {
        zero(buffer);
        return noErr;
    }
    auto* out = static_cast<float*>(buffer.mData);

    table_->lastRenderNs.store(nowNs(timestamp), std::memory_order_relaxed);
    table_->beginRender();
    renderSessions(out, frames);
    table_->endRender();
    return noErr;
}

void OutputRenderer::renderSessions(float* out, UInt32 frames) {
    table_->releaseClosing();

    const double ratio = measuredRatio_.load(std::memory_order_relaxed);
    const bool measured =
        measuredRatioValid_.load(std::memory_order_relaxed) && ratio > 0.9 && ratio < 1.1;
    const double deviceRatio = measured ? ratio : 1.0;

    if (channels_ == 2) {
        Session* only = nullptr;
        int active = 0;
        for (int i = 0; i < SessionTable::kSlots && active < 2; ++i) {
            if (table_->session(i).isActive()) {
                only = &table_->session(i);
                ++active;
            }
        }
        if (active == 1) {
            only->jitter->setDeviceRatio(deviceRatio, measured);
            only->jitter->pull(out, frames);
            return;
        }
    }

    std::fill(out, out + static_cast<size_t>(channels_) * frames, 0.0f);
    if (maxFrames_ < frames) {
        return;
    }
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        Session& session = table_->session(i);
        if (!session.isActive()) {
            continue;
        }
        const auto base = static_cast<uint32_t>(session.channel.load(std::memory_order_relaxed));
        // Widened: in 32 bits a base just below 2^32 would wrap round, pass and write far
        // outside the buffer.
        if (static_cast<uint64_t>(base) + 2 > channels_) {
            continue;
        }
        session.jitter->setDeviceRatio(deviceRatio, measured);
        session.jitter->pull(scratch_.data(), frames);
        // Phones that share a pair (a pin can put them there) are mixed, on every width.
        for (UInt32 f = 0; f < frames; ++f) {
            float* frame = out + static_cast<size_t>(f) * channels_ + base;
            frame[0] += scratch_[2 * f];
            frame[1] += scratch_[2 * f + 1];
        }
    }
}

AudioOut::AudioOut(LineSink& out, LineSink& err) : out_(out), err_(err) {}

AudioOut::~AudioOut() {
    stop();
}

bool AudioOut::fail(const char* line) {
    err_.write(line);
    // A failed start leaves no unit behind: disposing of it later, from the destructor of an
    // output that outlives the audio system's own state at exit, would free it twice.
    stop();
    return false;
}

bool AudioOut::start(SessionTable* table, double rate, const OutputTarget& target) {
    const auto loopbacks = loopbackDevices();
    AudioObjectID device = kAudioObjectUnknown;
    if (const DeviceInfo* chosen = chooseLoopbackDevice(loopbacks, target.uid)) {
        isVirtual_ = true;
        device = chosen->id;
        deviceName_ = chosen->name;
        deviceUid_ = chosen->uid;
        channels_ = chosen->outputChannels;
    } else {
        const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        UInt32 size = sizeof device;
        if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                       &device) != noErr) {
            device = kAudioObjectUnknown;
        }
        isVirtual_ = false;
        channels_ = 2;
        deviceName_ = devices_detail::stringProperty(device, kAudioObjectPropertyName);
        deviceUid_ = devices_detail::stringProperty(device, kAudioDevicePropertyDeviceUID);
    }
    if (device == kAudioObjectUnknown) {
        return fail("no output device\n");
    }

    AudioComponentDescription description{};
    description.componentType = kAudioUnitType_Output;
    description.componentSubType = kAudioUnitSubType_HALOutput;
    description.componentManufacturer = kAudioUnitManufacturer_Apple;
    AudioComponent component = AudioComponentFindNext(nullptr, &description);
    if (component == nullptr) {
        return fail("no HAL output component\n");
    }
    if (AudioComponentInstanceNew(component, &unit_) != noErr) {
        unit_ = nullptr;
        return fail("AU new failed\n");
    }
    if (setProperty(unit_, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                    device) != noErr) {
        return fail("set current device failed\n");
    }

    const AudioObjectPropertyAddress bufferSize{kAudioDevicePropertyBufferFrameSize,
                                                kAudioObjectPropertyScopeOutput,
                                                kAudioObjectPropertyElementMain};
    UInt32 deviceFrames = 0;
    UInt32 size = sizeof deviceFrames;
    const bool sizeRead =
        AudioObjectGetPropertyData(device, &bufferSize, 0, nullptr, &size, &deviceFrames) == noErr;
    maxFrames_ = sizeRead && deviceFrames > kMinMaxFrames ? deviceFrames : kMinMaxFrames;
    setProperty(unit_, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global,
                static_cast<UInt32>(maxFrames_));
    renderer_ = std::make_unique<OutputRenderer>(table, rate, channels_, maxFrames_);

    AudioStreamBasicDescription format{};
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 4 * channels_;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4 * channels_;
    format.mChannelsPerFrame = channels_;
    format.mBitsPerChannel = 32;
    if (setProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, format) !=
        noErr) {
        return fail("set stream format failed\n");
    }
    const AURenderCallbackStruct callback{&AudioOut::render, this};
    if (setProperty(unit_, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, callback) !=
        noErr) {
        return fail("set render callback failed\n");
    }
    if (AudioUnitInitialize(unit_) != noErr) {
        return fail("AU init failed\n");
    }
    if (AudioOutputUnitStart(unit_) != noErr) {
        return fail("AU start failed\n");
    }

    printLine(out_, "routing to %s device: \"%s\" @ %.0f Hz, %u channels = %u phone slots\n",
              isVirtual_ ? "VIRTUAL" : "default-output", deviceName_.c_str(), rate, channels_,
              channels_ / 2);
    if (isVirtual_) {
        printLine(out_, "  --> select \"%s\" as the INPUT device in your app to hear the phones\n",
                  deviceName_.c_str());
    } else {
        out_.write(
            "  (no loopback audio device found \u2014 install BlackHole, then apps can select the "
            "phone as a mic)\n");
    }
    return true;
}

void AudioOut::stop() {
    if (unit_ == nullptr) {
        return;
    }
    AudioOutputUnitStop(unit_);
    AudioUnitUninitialize(unit_);
    AudioComponentInstanceDispose(unit_);
    unit_ = nullptr;
}

OSStatus AudioOut::render(void* ref, AudioUnitRenderActionFlags*, const AudioTimeStamp* timestamp,
                          UInt32, UInt32 frames, AudioBufferList* buffers) {
    return static_cast<AudioOut*>(ref)->renderer_->render(timestamp, frames, buffers);
}

}  // namespace vocari
