// The app's reading of the daemon's output: any bytes, cut anywhere into chunks, as the pipe
// may deliver them.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "daemon_output.h"

namespace {

class Ignore final : public vocari::app::OutputEffects {
  public:
    void rebuildDeviceMenu() override {}
    void rebuildPhoneMenu() override {}
    void setStatus(const std::string&, bool) override {}
    void refreshVolumeWarning(const std::string&, const std::string&) override {}
    void showAlignment(bool) override {}
    void showPairingCode(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vocari::app::DaemonOutput output;
    Ignore effects;
    // The first byte says where the chunks are cut.
    const size_t step = size == 0 ? 1 : 1 + data[0] % 64;
    while (!bytes.empty()) {
        const std::string_view read = bytes.substr(0, step);
        bytes.remove_prefix(read.size());
        const std::string_view whole = read.substr(0, vocari::app::completeUtf8Length(read));
        if (vocari::app::isValidUtf8(whole)) {
            output.take(whole, effects);
        }
        output.take(read, effects);
    }
    return 0;
}
