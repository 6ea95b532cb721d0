#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "vocari/cf_objects.h"

struct __CFString {
    std::atomic<long> references;
    bool immortal;
    std::string utf8;
    CFIndex utf16Length;
};

namespace {

std::atomic<long> liveStrings{0};

// Number of UTF-16 units of valid UTF-8 text, or -1 when the bytes are not valid UTF-8.
CFIndex utf16LengthOf(std::string_view text) {
    CFIndex units = 0;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t codePoint;
        if (lead < 0x80) {
            extra = 0;
            codePoint = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            codePoint = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            codePoint = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            codePoint = lead & 0x07u;
        } else {
            return -1;
        }
        if (i + extra >= text.size()) {
            return -1;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return -1;
            }
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[extra] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return -1;
        }
        units += codePoint >= 0x10000 ? 2 : 1;
        i += extra + 1;
    }
    return units;
}

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

CFStringRef makeString(std::string text, CFIndex utf16Length, bool immortal) {
    auto* string = new (std::nothrow) __CFString{{1}, immortal, std::move(text), utf16Length};
    if (string != nullptr && !immortal) {
        liveStrings.fetch_add(1, std::memory_order_relaxed);
    }
    return string;
}

}  // namespace

namespace vocari {

long liveCFStrings() {
    return liveStrings.load(std::memory_order_relaxed);
}

}  // namespace vocari

extern "C" {

CFTypeRef CFRetain(CFTypeRef object) {
    if (object != nullptr) {
        const auto* string = static_cast<const __CFString*>(object);
        const_cast<__CFString*>(string)->references.fetch_add(1, std::memory_order_relaxed);
    }
    return object;
}

void CFRelease(CFTypeRef object) {
    if (object == nullptr) {
        return;
    }
    auto* string = const_cast<__CFString*>(static_cast<const __CFString*>(object));
    if (string->immortal) {
        return;
    }
    if (string->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        liveStrings.fetch_sub(1, std::memory_order_relaxed);
        delete string;
    }
}

CFIndex CFGetRetainCount(CFTypeRef object) {
    if (object == nullptr) {
        return 0;
    }
    return static_cast<const __CFString*>(object)->references.load(std::memory_order_relaxed);
}

Boolean CFEqual(CFTypeRef first, CFTypeRef second) {
    if (first == second) {
        return true;
    }
    if (first == nullptr || second == nullptr) {
        return false;
    }
    return static_cast<const __CFString*>(first)->utf8 ==
           static_cast<const __CFString*>(second)->utf8;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding encoding) {
    if (text == nullptr) {
        return nullptr;
    }
    const std::string_view view(text);
    if (encoding == kCFStringEncodingASCII && !isAscii(view)) {
        return nullptr;
    }
    if (encoding != kCFStringEncodingASCII && encoding != kCFStringEncodingUTF8) {
        return nullptr;
    }
    const CFIndex length = utf16LengthOf(view);
    if (length < 0) {
        return nullptr;
    }
    return makeString(std::string(view), length, false);
}

CFIndex CFStringGetLength(CFStringRef string) {
    return string == nullptr ? 0 : string->utf16Length;
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    if (buffer == nullptr || bufferSize <= 0) {
        return false;
    }
    buffer[0] = '\0';
    if (string == nullptr) {
        return false;
    }
    if (encoding == kCFStringEncodingASCII && !isAscii(string->utf8)) {
        return false;
    }
    if (encoding != kCFStringEncodingASCII && encoding != kCFStringEncodingUTF8) {
        return false;
    }
    const size_t bytes = string->utf8.size();
    if (bytes + 1 > static_cast<size_t>(bufferSize)) {
        return false;
    }
    std::memcpy(buffer, string->utf8.c_str(), bytes + 1);
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding) {
    if (string == nullptr || encoding != kCFStringEncodingUTF8) {
        return nullptr;
    }
    return string->utf8.c_str();
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (length < 0) {
        return 0;
    }
    return encoding == kCFStringEncodingUTF8 ? length * 3 : length;
}

CFStringRef __CFStringMakeConstantString(const char* text) {
    // Constant strings live for the whole process, as on a Mac; the table is never destroyed, so
    // they stay reachable to the end.
    static std::mutex mutex;
    static auto& constants = *new std::map<std::string, CFStringRef, std::less<>>;
    const std::lock_guard lock(mutex);
    const auto found = constants.find(std::string_view(text));
    if (found != constants.end()) {
        return found->second;
    }
    const CFIndex length = utf16LengthOf(text);
    CFStringRef string = makeString(text, length < 0 ? 0 : length, true);
    constants.emplace(text, string);
    return string;
}

}  // extern "C"
