#pragma once

// The hardware object model: objects, property addresses, selectors, scopes and status codes.

#include <CoreAudio/CoreAudioTypes.h>

typedef UInt32 AudioObjectID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;
typedef AudioObjectID AudioDeviceID;
typedef AudioObjectID AudioStreamID;

// Names one property: what (selector), which side (scope) and which channel (element, 0 = main).
struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};

enum : OSStatus {
    kAudioHardwareNoError = 0,
    kAudioHardwareNotRunningError = vocari::coreaudio_detail::fourCCStatus("stop"),
    kAudioHardwareUnspecifiedError = vocari::coreaudio_detail::fourCCStatus("what"),
    kAudioHardwareUnknownPropertyError = vocari::coreaudio_detail::fourCCStatus("who?"),
    kAudioHardwareBadPropertySizeError = vocari::coreaudio_detail::fourCCStatus("!siz"),
    kAudioHardwareIllegalOperationError = vocari::coreaudio_detail::fourCCStatus("nope"),
    kAudioHardwareBadObjectError = vocari::coreaudio_detail::fourCCStatus("!obj"),
    kAudioHardwareBadDeviceError = vocari::coreaudio_detail::fourCCStatus("!dev"),
    kAudioHardwareBadStreamError = vocari::coreaudio_detail::fourCCStatus("!str"),
    kAudioHardwareUnsupportedOperationError = vocari::coreaudio_detail::fourCCStatus("unop"),
    kAudioDeviceUnsupportedFormatError = vocari::coreaudio_detail::fourCCStatus("!dat"),
    kAudioDevicePermissionsError = vocari::coreaudio_detail::fourCCStatus("!hog"),
};

enum : AudioObjectID {
    kAudioObjectUnknown = 0,
};

enum : AudioObjectPropertyScope {
    kAudioObjectPropertyScopeGlobal = vocari::coreaudio_detail::fourCC("glob"),
    kAudioObjectPropertyScopeInput = vocari::coreaudio_detail::fourCC("inpt"),
    kAudioObjectPropertyScopeOutput = vocari::coreaudio_detail::fourCC("outp"),
    kAudioObjectPropertyScopePlayThrough = vocari::coreaudio_detail::fourCC("ptru"),
    kAudioObjectPropertyScopeWildcard = vocari::coreaudio_detail::fourCC("****"),
};

enum : AudioObjectPropertyElement {
    kAudioObjectPropertyElementMain = 0,
    kAudioObjectPropertyElementMaster = 0,
    kAudioObjectPropertyElementWildcard = 0xFFFFFFFFU,
};

enum : AudioObjectPropertySelector {
    kAudioObjectPropertySelectorWildcard = vocari::coreaudio_detail::fourCC("****"),
    kAudioObjectPropertyName = vocari::coreaudio_detail::fourCC("lnam"),
    kAudioObjectPropertyManufacturer = vocari::coreaudio_detail::fourCC("lmak"),
};

enum : AudioObjectPropertyScope {
    kAudioDevicePropertyScopeInput = vocari::coreaudio_detail::fourCC("inpt"),
    kAudioDevicePropertyScopeOutput = vocari::coreaudio_detail::fourCC("outp"),
    kAudioDevicePropertyScopePlayThrough = vocari::coreaudio_detail::fourCC("ptru"),
};

enum : AudioObjectPropertySelector {
    kAudioDevicePropertyDeviceUID = vocari::coreaudio_detail::fourCC("uid "),
    kAudioDevicePropertyTransportType = vocari::coreaudio_detail::fourCC("tran"),
    kAudioDevicePropertyDeviceIsAlive = vocari::coreaudio_detail::fourCC("livn"),
    kAudioDevicePropertyNominalSampleRate = vocari::coreaudio_detail::fourCC("nsrt"),
    kAudioDevicePropertyStreamConfiguration = vocari::coreaudio_detail::fourCC("slay"),
    kAudioDevicePropertyBufferFrameSize = vocari::coreaudio_detail::fourCC("fsiz"),
    kAudioDevicePropertyVolumeScalar = vocari::coreaudio_detail::fourCC("volm"),
};

// What a device's kAudioDevicePropertyTransportType reads as.
enum : UInt32 {
    kAudioDeviceTransportTypeUnknown = 0,
    kAudioDeviceTransportTypeBuiltIn = vocari::coreaudio_detail::fourCC("bltn"),
    kAudioDeviceTransportTypeAggregate = vocari::coreaudio_detail::fourCC("grup"),
    kAudioDeviceTransportTypeVirtual = vocari::coreaudio_detail::fourCC("virt"),
    kAudioDeviceTransportTypePCI = vocari::coreaudio_detail::fourCC("pci "),
    kAudioDeviceTransportTypeUSB = vocari::coreaudio_detail::fourCC("usb "),
    kAudioDeviceTransportTypeBluetooth = vocari::coreaudio_detail::fourCC("blue"),
};
