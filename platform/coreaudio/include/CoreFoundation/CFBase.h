#pragma once

// CoreFoundation object basics: reference counting under the Create/Copy rule.

#include <MacTypes.h>

typedef long CFIndex;
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;

// The default allocator; every CoreFoundation object here uses the process heap.
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

extern "C" {

// Adds a reference; returns its argument. Any thread.
CFTypeRef CFRetain(CFTypeRef object);
// Drops a reference and frees the object with the last one. Null is ignored. Any thread.
void CFRelease(CFTypeRef object);
// Current number of references (0 for null). Any thread.
CFIndex CFGetRetainCount(CFTypeRef object);
// True when both are strings with the same characters (or the same object).
Boolean CFEqual(CFTypeRef first, CFTypeRef second);

}  // extern "C"
