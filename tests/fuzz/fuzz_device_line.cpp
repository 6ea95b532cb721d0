// A device line from the daemon's output: any text parses or is refused without a crash, and a
// parsed record printed back the way the daemon prints it parses to the same record.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "records.h"

namespace {

std::string printed(const vocari::app::LoopbackDevice& device) {
    const char* format = "device:\t%d\t%d\t%d\t%s\t%s";
    const int isActive = device.isActive ? 1 : 0;
    std::string line(std::snprintf(nullptr, 0, format, isActive, device.outChannels,
                                   device.firstChannel, device.uid.c_str(), device.name.c_str()),
                     '\0');
    std::snprintf(line.data(), line.size() + 1, format, isActive, device.outChannels,
                  device.firstChannel, device.uid.c_str(), device.name.c_str());
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto device = vocari::app::LoopbackDevice::parse(line);
    // %s ends at a NUL byte, so such a record has no printed form to compare.
    if (!device || device->uid.find('\0') != std::string::npos ||
        device->name.find('\0') != std::string::npos) {
        return 0;
    }
    if (vocari::app::LoopbackDevice::parse(printed(*device)) != device) {
        std::abort();
    }
    return 0;
}
