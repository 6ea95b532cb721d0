#pragma once

// Audio data types shared by the hardware layer and audio units: buffers, time stamps, formats.

#include <MacTypes.h>

enum : OSStatus {
    kAudio_UnimplementedError = -4,
    kAudio_FileNotFoundError = -43,
    kAudio_FilePermissionError = -54,
    kAudio_TooManyFilesOpenError = -42,
    kAudio_BadFilePathError = vocari::coreaudio_detail::fourCCStatus("!pth"),
    kAudio_ParamError = -50,
    kAudio_MemFullError = -108,
};

// One buffer of samples; for interleaved data mNumberChannels channels share it.
struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
};

// A variable-length list of buffers: mNumberBuffers entries follow, of which one is declared.
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};

typedef UInt32 SMPTETimeType;
typedef UInt32 SMPTETimeFlags;

struct SMPTETime {
    SInt16 mSubframes;
    SInt16 mSubframeDivisor;
    UInt32 mCounter;
    SMPTETimeType mType;
    SMPTETimeFlags mFlags;
    SInt16 mHours;
    SInt16 mMinutes;
    SInt16 mSeconds;
    SInt16 mFrames;
};

typedef UInt32 AudioTimeStampFlags;

enum : AudioTimeStampFlags {
    kAudioTimeStampNothingValid = 0,
    kAudioTimeStampSampleTimeValid = 1U << 0,
    kAudioTimeStampHostTimeValid = 1U << 1,
    kAudioTimeStampRateScalarValid = 1U << 2,
    kAudioTimeStampWordClockTimeValid = 1U << 3,
    kAudioTimeStampSMPTETimeValid = 1U << 4,
    kAudioTimeStampSampleHostTimeValid = (1U << 0) | (1U << 1),
};

// When a buffer plays: its first frame's device sample count and host time (mach ticks).
struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt64 mHostTime;
    Float64 mRateScalar;
    UInt64 mWordClockTime;
    SMPTETime mSMPTETime;
    AudioTimeStampFlags mFlags;
    UInt32 mReserved;
};

typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;

enum : AudioFormatID {
    kAudioFormatLinearPCM = vocari::coreaudio_detail::fourCC("lpcm"),
};

enum : AudioFormatFlags {
    kAudioFormatFlagIsFloat = 1U << 0,
    kAudioFormatFlagIsBigEndian = 1U << 1,
    kAudioFormatFlagIsSignedInteger = 1U << 2,
    kAudioFormatFlagIsPacked = 1U << 3,
    kAudioFormatFlagIsAlignedHigh = 1U << 4,
    kAudioFormatFlagIsNonInterleaved = 1U << 5,
    kAudioFormatFlagIsNonMixable = 1U << 6,
    kAudioFormatFlagsAreAllClear = 0x80000000U,
    kAudioFormatFlagsNativeEndian = 0,
    kAudioFormatFlagsNativeFloatPacked = (1U << 0) | (1U << 3),

    kLinearPCMFormatFlagIsFloat = 1U << 0,
    kLinearPCMFormatFlagIsBigEndian = 1U << 1,
    kLinearPCMFormatFlagIsSignedInteger = 1U << 2,
    kLinearPCMFormatFlagIsPacked = 1U << 3,
    kLinearPCMFormatFlagIsAlignedHigh = 1U << 4,
    kLinearPCMFormatFlagIsNonInterleaved = 1U << 5,
    kLinearPCMFormatFlagIsNonMixable = 1U << 6,
};

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};
