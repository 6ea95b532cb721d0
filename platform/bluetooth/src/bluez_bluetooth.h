#pragma once

#include <memory>

#include "vocari/bluetooth.h"

namespace vocari::bt {

// The system's Bluetooth through BlueZ: devices from bluetoothd over D-Bus, SDP queries and RFCOMM
// sockets through the kernel. With no bus, no bluetoothd or no adapter it has no paired devices.
std::unique_ptr<Bluetooth> bluezBluetooth(MainQueue& main);

}  // namespace vocari::bt
