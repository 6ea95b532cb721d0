#pragma once

// Properties of the HAL output unit.
//
//   kAudioOutputUnitProperty_CurrentDevice   global scope   AudioDeviceID (default: the
//                                             default output device when initialised)
//   kAudioOutputUnitProperty_IsRunning       global scope   UInt32, read only
//   kAudioUnitProperty_MaximumFramesPerSlice global scope   UInt32
//   kAudioUnitProperty_StreamFormat          input scope, element 0: what the render callback
//                                             supplies (48000 Hz, Float32, packed, interleaved);
//                                             output scope, element 0: the device side, read only
//   kAudioUnitProperty_SetRenderCallback     input scope, element 0  AURenderCallbackStruct,
//                                             write only

#include <AudioToolbox/AUComponent.h>

enum : AudioUnitScope {
    kAudioUnitScope_Global = 0,
    kAudioUnitScope_Input = 1,
    kAudioUnitScope_Output = 2,
};

enum : AudioUnitPropertyID {
    kAudioUnitProperty_StreamFormat = 8,
    kAudioUnitProperty_MaximumFramesPerSlice = 14,
    kAudioUnitProperty_SetRenderCallback = 23,
    kAudioOutputUnitProperty_CurrentDevice = 2000,
    kAudioOutputUnitProperty_IsRunning = 2001,
};

struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
};
