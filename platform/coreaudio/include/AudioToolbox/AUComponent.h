#pragma once

// Audio unit types, status codes and the render callback contract.

#include <AudioToolbox/AudioComponent.h>

typedef AudioComponentInstance AudioUnit;
typedef UInt32 AudioUnitPropertyID;
typedef UInt32 AudioUnitScope;
typedef UInt32 AudioUnitElement;
typedef UInt32 AudioUnitRenderActionFlags;

enum : OSType {
    kAudioUnitType_Output = vocari::coreaudio_detail::fourCC("auou"),
    kAudioUnitSubType_HALOutput = vocari::coreaudio_detail::fourCC("ahal"),
    kAudioUnitManufacturer_Apple = vocari::coreaudio_detail::fourCC("appl"),
};

enum : AudioUnitRenderActionFlags {
    kAudioUnitRenderAction_PreRender = 1U << 2,
    kAudioUnitRenderAction_PostRender = 1U << 3,
    kAudioUnitRenderAction_OutputIsSilence = 1U << 4,
    kAudioOfflineUnitRenderAction_Preflight = 1U << 5,
    kAudioOfflineUnitRenderAction_Render = 1U << 6,
    kAudioOfflineUnitRenderAction_Complete = 1U << 7,
    kAudioUnitRenderAction_PostRenderError = 1U << 8,
    kAudioUnitRenderAction_DoNotCheckRenderArgs = 1U << 9,
};

enum : OSStatus {
    kAudioUnitErr_InvalidProperty = -10879,
    kAudioUnitErr_InvalidParameter = -10878,
    kAudioUnitErr_InvalidElement = -10877,
    kAudioUnitErr_NoConnection = -10876,
    kAudioUnitErr_FailedInitialization = -10875,
    kAudioUnitErr_TooManyFramesToProcess = -10874,
    kAudioUnitErr_FormatNotSupported = -10868,
    kAudioUnitErr_Uninitialized = -10867,
    kAudioUnitErr_InvalidScope = -10866,
    kAudioUnitErr_PropertyNotWritable = -10865,
    kAudioUnitErr_CannotDoInCurrentContext = -10863,
    kAudioUnitErr_InvalidPropertyValue = -10851,
    kAudioUnitErr_PropertyNotInUse = -10850,
    kAudioUnitErr_Initialized = -10849,
};

// Called on the unit's I/O thread for every device buffer: fill ioData (one interleaved buffer
// of channels x inNumberFrames Float32 for the formats this unit takes) for the buffer whose
// first frame plays at inTimeStamp. Must not block, lock or allocate. Return noErr; any other
// status plays silence.
typedef OSStatus (*AURenderCallback)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                     const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                     UInt32 inNumberFrames, AudioBufferList* ioData);

extern "C" {

// Control thread (not the render callback). Sets up the unit for its device and format.
OSStatus AudioUnitInitialize(AudioUnit unit);
// Control thread. Stops the unit first when it runs.
OSStatus AudioUnitUninitialize(AudioUnit unit);
// Control thread. Size rules: *ioDataSize in, bytes written out.
OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, void* outData, UInt32* ioDataSize);
// Control thread. Size must match the property's type.
OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, const void* data, UInt32 dataSize);

}  // extern "C"
