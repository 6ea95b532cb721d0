#pragma once

#include <optional>
#include <string>
#include <vector>

struct sd_bus;

namespace vocari::bt {

// What BlueZ says of one device object (org.bluez.Device1).
struct DeviceProperties {
    std::string path;  // the D-Bus object path, e.g. /org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF
    std::string address;
    std::optional<std::string> name;  // Name, else Alias
    bool paired = false;
    bool connected = false;
};

// BlueZ on the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the standard socket). The connection is
// opened on first use and again after it broke; every call gives up after a second, so a missing
// or stuck bluetoothd costs the caller at most that. Main thread only.
class BluezBus {
  public:
    BluezBus() = default;
    ~BluezBus();
    BluezBus(const BluezBus&) = delete;
    BluezBus& operator=(const BluezBus&) = delete;

    // Every device object BlueZ knows, in object path order; empty without a bus, without
    // bluetoothd or without an adapter.
    std::vector<DeviceProperties> devices();
    // Asks BlueZ to drop the baseband connection of the device at `path`, without waiting for it.
    void disconnect(const std::string& path);

  private:
    sd_bus* connection();

    sd_bus* bus_ = nullptr;
};

}  // namespace vocari::bt
