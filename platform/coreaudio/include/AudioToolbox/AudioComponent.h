#pragma once

// Finding audio components and making instances of them. The one component here is the HAL
// output unit (kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple).

#include <CoreAudio/CoreAudioTypes.h>

typedef struct OpaqueAudioComponent* AudioComponent;
typedef struct ComponentInstanceRecord* AudioComponentInstance;

// Zero in componentType, componentSubType or componentManufacturer matches anything.
struct AudioComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
};

extern "C" {

// The component after `after` (null: the first) that matches the description; null at the end.
AudioComponent AudioComponentFindNext(AudioComponent after,
                                      const AudioComponentDescription* description);
// Creates an instance into *outInstance. Any thread.
OSStatus AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* outInstance);
// Stops, uninitialises and frees the instance. Not from its own render callback.
OSStatus AudioComponentInstanceDispose(AudioComponentInstance instance);

}  // extern "C"
