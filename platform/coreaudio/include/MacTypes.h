#pragma once

// Basic Mac scalar types, with the widths and signedness the Mac headers give them.

#include <cstdint>

typedef unsigned char UInt8;
typedef signed char SInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned long long UInt64;
typedef signed long long SInt64;
typedef float Float32;
typedef double Float64;
typedef SInt32 OSStatus;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef unsigned char Boolean;
typedef UInt8 Byte;

enum : OSStatus { noErr = 0 };

namespace vocari::coreaudio_detail {

// The 32-bit value of a four-character code such as 'dev#': first character in the high byte.
constexpr UInt32 fourCC(const char (&code)[5]) {
    return (static_cast<UInt32>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<UInt32>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<UInt32>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<UInt32>(static_cast<unsigned char>(code[3]));
}

constexpr OSStatus fourCCStatus(const char (&code)[5]) {
    return static_cast<OSStatus>(fourCC(code));
}

}  // namespace vocari::coreaudio_detail
