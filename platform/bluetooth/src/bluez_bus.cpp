#include "bluez_bus.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

namespace vocari::bt {

namespace {

constexpr uint64_t kCallTimeoutUs = 1'000'000;
// sd-bus's own limit on the start of a connection is far longer than the app's main thread can
// wait, so the connection is set up under this one.
constexpr auto kSetupTimeout = std::chrono::seconds(1);
constexpr const char* kService = "org.bluez";
constexpr const char* kDeviceInterface = "org.bluez.Device1";

// Reads one property value into `text` or `flag` when it has the expected type; skips it
// otherwise. Negative on a malformed message.
int readString(sd_bus_message* reply, const char* contents, std::optional<std::string>& text) {
    if (std::strcmp(contents, "s") != 0) {
        return sd_bus_message_skip(reply, "v");
    }
    const char* value = nullptr;
    const int r = sd_bus_message_read(reply, "v", "s", &value);
    if (r >= 0) {
        text = value;
    }
    return r;
}

int readFlag(sd_bus_message* reply, const char* contents, bool& flag) {
    if (std::strcmp(contents, "b") != 0) {
        return sd_bus_message_skip(reply, "v");
    }
    int value = 0;
    const int r = sd_bus_message_read(reply, "v", "b", &value);
    flag = value != 0;
    return r;
}

// The a{sv} of org.bluez.Device1. Negative on a malformed message.
int readDevice(sd_bus_message* reply, DeviceProperties& device) {
    int r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    std::optional<std::string> address;
    std::optional<std::string> name;
    std::optional<std::string> alias;
    while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char* key = nullptr;
        char type = 0;
        const char* contents = nullptr;
        if ((r = sd_bus_message_read(reply, "s", &key)) < 0 ||
            (r = sd_bus_message_peek_type(reply, &type, &contents)) < 0) {
            break;
        }
        if (contents == nullptr) {
            return -EBADMSG;
        }
        if (std::strcmp(key, "Address") == 0) {
            r = readString(reply, contents, address);
        } else if (std::strcmp(key, "Name") == 0) {
            r = readString(reply, contents, name);
        } else if (std::strcmp(key, "Alias") == 0) {
            r = readString(reply, contents, alias);
        } else if (std::strcmp(key, "Paired") == 0) {
            r = readFlag(reply, contents, device.paired);
        } else if (std::strcmp(key, "Connected") == 0) {
            r = readFlag(reply, contents, device.connected);
        } else {
            r = sd_bus_message_skip(reply, "v");
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(reply);
        }
    }
    if (r < 0) {
        return r;
    }
    device.address = address.value_or("");
    device.name = name ? name : alias;
    return sd_bus_message_exit_container(reply);
}

// The reply of GetManagedObjects, a{oa{sa{sv}}}: the objects with a Device1 interface.
int readManagedObjects(sd_bus_message* reply, std::vector<DeviceProperties>& devices) {
    int r = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
    while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read(reply, "o", &path)) < 0 ||
            (r = sd_bus_message_enter_container(reply, 'a', "{sa{sv}}")) < 0) {
            break;
        }
        while ((r = sd_bus_message_enter_container(reply, 'e', "sa{sv}")) > 0) {
            const char* interface = nullptr;
            if ((r = sd_bus_message_read(reply, "s", &interface)) < 0) {
                break;
            }
            if (std::strcmp(interface, kDeviceInterface) == 0) {
                DeviceProperties device;
                device.path = path;
                r = readDevice(reply, device);
                if (r >= 0 && !device.address.empty()) {
                    devices.push_back(std::move(device));
                }
            } else {
                r = sd_bus_message_skip(reply, "a{sv}");
            }
            if (r < 0 || (r = sd_bus_message_exit_container(reply)) < 0) {
                break;
            }
        }
        if (r < 0 || (r = sd_bus_message_exit_container(reply)) < 0 ||
            (r = sd_bus_message_exit_container(reply)) < 0) {
            break;
        }
    }
    return r < 0 ? r : sd_bus_message_exit_container(reply);
}

// Runs the connection's reading and writing until `done` holds; false when it broke or did not
// get there in time.
bool driveUntil(sd_bus* bus, std::chrono::steady_clock::duration limit,
                const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) {
            return false;
        }
        if (processed > 0) {
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || sd_bus_wait(bus, static_cast<uint64_t>(left.count())) < 0) {
            return false;
        }
    }
    return true;
}

// Handles whatever arrived besides our replies (the bus's own signals to us), so nothing piles
// up on a connection that is only ever used for calls.
void drainIncoming(sd_bus* bus) {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
}

}  // namespace

BluezBus::~BluezBus() {
    if (bus_ != nullptr) {
        sd_bus_close_unref(bus_);
    }
}

sd_bus* BluezBus::connection() {
    if (bus_ != nullptr && sd_bus_is_open(bus_) <= 0) {
        sd_bus_close_unref(bus_);
        bus_ = nullptr;
    }
    if (bus_ == nullptr) {
        sd_bus* opened = nullptr;
        if (sd_bus_open_system(&opened) < 0) {
            return nullptr;
        }
        sd_bus_set_method_call_timeout(opened, kCallTimeoutUs);
        if (!driveUntil(opened, kSetupTimeout, [opened] { return sd_bus_is_ready(opened) > 0; })) {
            sd_bus_close_unref(opened);  // a bus that accepts but does not answer
            return nullptr;
        }
        bus_ = opened;
    }
    return bus_;
}

std::vector<DeviceProperties> BluezBus::devices() {
    sd_bus* bus = connection();
    if (bus == nullptr) {
        return {};
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::vector<DeviceProperties> devices;
    if (sd_bus_call_method(bus, kService, "/", "org.freedesktop.DBus.ObjectManager",
                           "GetManagedObjects", &error, &reply, "") >= 0 &&
        readManagedObjects(reply, devices) < 0) {
        devices.clear();  // a reply we cannot read says nothing reliable
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    drainIncoming(bus);
    std::sort(devices.begin(), devices.end(),
              [](const DeviceProperties& a, const DeviceProperties& b) { return a.path < b.path; });
    return devices;
}

void BluezBus::disconnect(const std::string& path) {
    sd_bus* bus = connection();
    sd_bus_message* call = nullptr;
    if (bus == nullptr ||
        sd_bus_message_new_method_call(bus, &call, kService, path.c_str(), kDeviceInterface,
                                       "Disconnect") < 0 ||
        sd_bus_message_set_expect_reply(call, 0) < 0 || sd_bus_send(bus, call, nullptr) < 0) {
        sd_bus_message_unref(call);
        return;
    }
    sd_bus_message_unref(call);
    // BlueZ answers only once the link is down: the call is sent, not waited for.
    driveUntil(bus, kSetupTimeout, [bus] {
        uint64_t queued = 0;
        return sd_bus_get_n_queued_write(bus, &queued) < 0 || queued == 0;
    });
    drainIncoming(bus);
}

}  // namespace vocari::bt
