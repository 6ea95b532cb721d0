// What adb prints, as the USB tunnel's probe reads it: any text as the device list, the reverse
// list and the model name. The probe must never fail, and must map and name only a phone that
// the device list shows in state "device".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "adb_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Three outputs, cut where the input has its first two NUL bytes.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t first = input.find('\0');
    const size_t second = first == std::string::npos ? first : input.find('\0', first + 1);
    const std::string devices = input.substr(0, first);
    const std::string reverses =
        first == std::string::npos ? "" : input.substr(first + 1, second - first - 1);
    const std::string model = second == std::string::npos ? "" : input.substr(second + 1);

    const vocari::app::AdbDevices parsed = vocari::app::parseAdbDevices(devices);
    for (const bool suspended : {false, true}) {
        const vocari::app::AdbState state = vocari::app::probeAdb(
            [&](const std::vector<std::string>& args) -> std::optional<std::string> {
                if (args.size() >= 2 && args[0] == "-s" && args[1] != parsed.served) {
                    std::abort();  // a command for a phone the list did not serve
                }
                if (args.size() == 1) {
                    return devices;
                }
                return args.back() == "--list" ? reverses : model;
            },
            suspended, 5555);
        if ((state.kind == vocari::app::AdbState::Kind::Ready ||
             state.kind == vocari::app::AdbState::Kind::Yielded) &&
            (!parsed.served || state.phone.empty())) {
            std::abort();
        }
    }
    return 0;
}
