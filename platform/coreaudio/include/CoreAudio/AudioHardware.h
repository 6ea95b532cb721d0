#pragma once

// The hardware layer's C interface: properties of the system object and of devices.
//
// Objects: kAudioObjectSystemObject, and one object per device. Device IDs stay the same for a
// device UID for the life of the process; a device that is unplugged answers
// kAudioHardwareBadObjectError. Size arguments follow the usual in/out rule: on input the room
// in the caller's buffer, on output the bytes written. Strings read from properties follow the
// Copy rule: the caller owns them and must CFRelease them.
//
// System object properties (global scope, main element):
//   kAudioHardwarePropertyDevices             AudioObjectID[]  every device, in list order
//   kAudioHardwarePropertyDefaultOutputDevice AudioObjectID    0 when there is none
// Device properties:
//   kAudioObjectPropertyName, kAudioDevicePropertyDeviceUID  CFStringRef    global scope
//   kAudioDevicePropertyTransportType                        UInt32         global scope
//   kAudioDevicePropertyNominalSampleRate                    Float64        global scope
//   kAudioDevicePropertyDeviceIsAlive                        UInt32         global scope
//   kAudioDevicePropertyBufferFrameSize                      UInt32         any scope
//   kAudioDevicePropertyStreamConfiguration                  AudioBufferList input/output scope
//   kAudioDevicePropertyVolumeScalar (settable)              Float32 0..1   input/output scope,
//       main element; present only on devices that have that volume control.

#include <CoreAudio/AudioHardwareBase.h>
#include <CoreFoundation/CoreFoundation.h>

enum : AudioObjectID {
    kAudioObjectSystemObject = 1,
};

enum : AudioObjectPropertySelector {
    kAudioHardwarePropertyDevices = vocari::coreaudio_detail::fourCC("dev#"),
    kAudioHardwarePropertyDefaultOutputDevice = vocari::coreaudio_detail::fourCC("dOut"),
};

extern "C" {

// Any thread. Reads the device list afresh.
Boolean AudioObjectHasProperty(AudioObjectID objectId, const AudioObjectPropertyAddress* address);

// Any thread.
OSStatus AudioObjectIsPropertySettable(AudioObjectID objectId,
                                       const AudioObjectPropertyAddress* address,
                                       Boolean* outIsSettable);

// Any thread. Bytes the property's value takes now.
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID objectId,
                                        const AudioObjectPropertyAddress* address,
                                        UInt32 qualifierDataSize, const void* qualifierData,
                                        UInt32* outDataSize);

// Any thread. Array-valued properties are cut to the whole items that fit in *ioDataSize;
// fixed-size values need at least their size (else kAudioHardwareBadPropertySizeError).
OSStatus AudioObjectGetPropertyData(AudioObjectID objectId,
                                    const AudioObjectPropertyAddress* address,
                                    UInt32 qualifierDataSize, const void* qualifierData,
                                    UInt32* ioDataSize, void* outData);

// Any thread. Settable here: volume scalars, which persist for every process.
OSStatus AudioObjectSetPropertyData(AudioObjectID objectId,
                                    const AudioObjectPropertyAddress* address,
                                    UInt32 qualifierDataSize, const void* qualifierData,
                                    UInt32 dataSize, const void* data);

}  // extern "C"
