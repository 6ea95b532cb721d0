#include "output_engine.h"

#include <algorithm>

namespace vocari::coreaudio {
namespace {

thread_local AudioUnit renderingUnit = nullptr;

}  // namespace

AudioUnit currentRenderUnit() {
    return renderingUnit;
}

void setCurrentRenderUnit(AudioUnit unit) {
    renderingUnit = unit;
}

bool renderInterleaved(const EngineSetup& setup, const AudioTimeStamp& stamp, uint32_t frames,
                       float* buffer) {
    const size_t samples = static_cast<size_t>(frames) * setup.clientChannels;
    std::fill(buffer, buffer + samples, 0.0f);
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] =
        AudioBuffer{setup.clientChannels, static_cast<UInt32>(samples * sizeof(float)), buffer};
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp given = stamp;
    const OSStatus status =
        setup.callback.inputProc(setup.callback.inputProcRefCon, &flags, &given, 0, frames, &list);
    return status == noErr && (flags & kAudioUnitRenderAction_OutputIsSilence) == 0;
}

}  // namespace vocari::coreaudio
