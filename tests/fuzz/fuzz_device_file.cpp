// The `device` settings file: any text gives a target with a non-negative channel, and no crash.

#include <cstdlib>
#include <string_view>

#include "devices.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto target =
        vocari::parseOutputTarget(std::string_view(reinterpret_cast<const char*>(data), size));
    if (target.channel < 0 || target.uid.size() > size) {
        std::abort();
    }
    return 0;
}
