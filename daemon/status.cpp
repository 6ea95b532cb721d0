#include "status.h"

#include <cstdio>

#include "audio_out.h"
#include "devices.h"
#include "runtime.h"
#include "session_table.h"

namespace vocari {

namespace {

// The app reads one line per device; a line never exceeds this many bytes, its line feed
// included, so a very long name is shortened rather than losing the line's end.
constexpr size_t kDeviceLineLimit = 1023;

}  // namespace

void statsLoop(Runtime& runtime) {
    const std::string channelsPath = runtime.settingsFolder + "channels";
    while (sleepWhileRunning(runtime, std::chrono::seconds(1))) {
        runtime.sessions->housekeeping(runtime.clock->nowNs(), channelsPath,
                                       pairsForClaims(runtime), *runtime.out);
        std::fflush(stdout);
    }
}

std::string deviceInventory(const AudioOut* output, int firstPair) {
    const auto devices = loopbackDevices();
    std::string block = "devices: " + std::to_string(devices.size()) + "\n";
    for (const auto& device : devices) {
        const bool inUse =
            output != nullptr && output->isVirtual() && device.uid == output->deviceUid();
        char line[kDeviceLineLimit + 1];
        int length =
            std::snprintf(line, sizeof line, "device:\t%d\t%d\t%d\t%s\t%s\n", inUse ? 1 : 0,
                          static_cast<int>(device.outputChannels), inUse ? firstPair * 2 : 0,
                          device.uid.c_str(), device.name.c_str());
        if (length < 0) {
            continue;
        }
        if (static_cast<size_t>(length) > kDeviceLineLimit) {
            line[kDeviceLineLimit - 1] = '\n';
            length = static_cast<int>(kDeviceLineLimit);
        }
        block.append(line, static_cast<size_t>(length));
    }
    return block;
}

}  // namespace vocari
