// The `channels` file's text: any content gives pins with a non-zero device ID and a pair the
// device has, and no crash.

#include <cstdlib>
#include <string_view>

#include "session_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const int pairs = 1 + data[0] % 12;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    for (const auto& pin : vocari::parseChannelPins(text, pairs)) {
        if (pin.deviceId == 0 || pin.pair < 0 || pin.pair >= pairs) {
            std::abort();
        }
    }
    return 0;
}
