#pragma once

// Immutable CoreFoundation strings, held as UTF-8.

#include <CoreFoundation/CFBase.h>

typedef UInt32 CFStringEncoding;

enum : CFStringEncoding {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingUTF8 = 0x08000100,
};

extern "C" {

// A new string (+1 reference) from a zero-terminated C string in UTF-8 or ASCII; null when the
// bytes are not valid in that encoding or the encoding is not supported.
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text,
                                      CFStringEncoding encoding);
// Length in UTF-16 code units.
CFIndex CFStringGetLength(CFStringRef string);
// Copies the text, zero-terminated, into `buffer` of `bufferSize` bytes. False when it does not
// fit (the buffer then holds an empty string) or cannot be expressed in the encoding.
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
// The string's own UTF-8 bytes when asked for UTF-8, else null. Valid while the string lives.
const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding);
// Bytes needed for `length` UTF-16 units in the encoding, without the terminator.
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);

// Backs CFSTR: one immortal string per distinct literal.
CFStringRef __CFStringMakeConstantString(const char* text);

}  // extern "C"

#define CFSTR(literal) __CFStringMakeConstantString("" literal "")
