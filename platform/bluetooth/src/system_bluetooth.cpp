#include <cstdlib>

#include "bluez_bluetooth.h"
#include "vocari/bluetooth.h"

namespace vocari::bt {

std::unique_ptr<Bluetooth> systemBluetooth(MainQueue& main) {
    if (const char* folder = std::getenv("VOCARI_BLUETOOTH_DIR"); folder != nullptr && *folder) {
        return simulatedBluetooth(folder, main);
    }
    return bluezBluetooth(main);
}

}  // namespace vocari::bt
