#include "bluez_bluetooth.h"

#include <bluetooth/bluetooth.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <thread>

#include "bluez_bus.h"
#include "main_handle.h"
#include "rfcomm_channel.h"
#include "sdp_query.h"

namespace vocari::bt {

namespace {

// A query's state, shared by the device (main thread) and the query's thread.
struct SdpState {
    std::mutex mutex;
    std::vector<ServiceRecord> records;             // the last successful query's
    std::vector<std::function<void(int)>> waiting;  // told when the running query ends
    bool running = false;
    SdpCancel cancel;
};

// One BlueZ device object. Its properties are those of the provider's latest look, taken on the
// main thread; its records are written by the query thread. One query runs at a time: a query
// asked for while one runs is answered by that one.
class BluezDevice final : public Device {
  public:
    BluezDevice(std::string path, std::string address, std::shared_ptr<MainHandle> main,
                std::weak_ptr<BluezBus> bus)
        : path_(std::move(path)),
          address_(std::move(address)),
          main_(std::move(main)),
          bus_(std::move(bus)),
          sdp_(std::make_shared<SdpState>()) {}

    ~BluezDevice() override {
        sdp_->cancel.cancel();
        if (!worker_.joinable()) {
            return;
        }
        // The query thread itself lets the device go when it drops the answers of a provider
        // already gone; it ends on its own right after.
        if (worker_.get_id() == std::this_thread::get_id()) {
            worker_.detach();
        } else {
            worker_.join();
        }
    }

    // Main thread, once the way to the main queue is closed: ends a running query at once and
    // lets none run on.
    void stop() {
        sdp_->cancel.cancel();
        if (worker_.joinable()) {
            worker_.join();
        }
    }

    // Main thread.
    void update(const DeviceProperties& properties) {
        name_ = properties.name;
        connected_ = properties.connected;
    }

    std::optional<std::string> name() const override { return name_; }
    std::optional<std::string> addressString() const override { return address_; }
    bool isConnected() const override { return connected_; }

    void performSdpQuery(std::function<void(int)> done) override {
        {
            std::lock_guard lock(sdp_->mutex);
            sdp_->waiting.push_back(std::move(done));
            if (sdp_->running) {
                return;
            }
            sdp_->running = true;
        }
        if (worker_.joinable()) {
            worker_.join();  // the previous query's thread, past its last use of the state
        }
        worker_ = std::thread([sdp = sdp_, main = main_, address = address_] {
            std::vector<ServiceRecord> records;
            const int status = querySdp(address, records, sdp->cancel);
            std::vector<std::function<void(int)>> waiting;
            {
                std::lock_guard lock(sdp->mutex);
                if (status == 0) {
                    sdp->records = std::move(records);
                }
                waiting.swap(sdp->waiting);
                sdp->running = false;
            }
            main->post([waiting = std::move(waiting), status] {
                for (const auto& answer : waiting) {
                    answer(status);
                }
            });
        });
    }

    std::optional<ServiceRecord> serviceRecordFor(const Uuid& uuid) const override {
        std::lock_guard lock(sdp_->mutex);
        for (const ServiceRecord& record : sdp_->records) {
            if (record.hasService(uuid)) {
                return record;
            }
        }
        return std::nullopt;
    }

    std::vector<ServiceRecord> services() const override {
        std::lock_guard lock(sdp_->mutex);
        return sdp_->records;
    }

    int openRfcommChannelAsync(uint8_t id, ChannelDelegate* delegate,
                               std::shared_ptr<Channel>& channel) override {
        bdaddr_t address{};
        if (id < 1 || id > kLastRfcommChannel || str2ba(address_.c_str(), &address) != 0) {
            return EINVAL;
        }
        channel = RfcommChannel::open(main_, delegate, address, id);
        return 0;
    }

    void closeConnection() override {
        if (const auto bus = bus_.lock()) {
            bus->disconnect(path_);
        }
    }

  private:
    const std::string path_;
    const std::string address_;
    std::shared_ptr<MainHandle> main_;
    std::weak_ptr<BluezBus> bus_;
    std::optional<std::string> name_;  // main thread only
    bool connected_ = false;           // main thread only
    std::shared_ptr<SdpState> sdp_;
    std::thread worker_;  // main thread only
};

class BluezBluetooth final : public Bluetooth {
  public:
    explicit BluezBluetooth(MainQueue& main)
        : main_(std::make_shared<MainHandle>(main)), bus_(std::make_shared<BluezBus>()) {}

    // Devices and channels may outlive the provider; from here on they post nothing, and no
    // query thread is left running.
    ~BluezBluetooth() override {
        main_->close();
        for (const auto& [path, device] : devices_) {
            device->stop();
        }
    }

    std::vector<std::shared_ptr<Device>> pairedDevices() override {
        std::vector<std::shared_ptr<Device>> paired;
        std::vector<std::string> seen;  // a phone paired on two adapters is listed once
        for (const auto& [properties, device] : look()) {
            if (properties.paired &&
                std::find(seen.begin(), seen.end(), properties.address) == seen.end()) {
                seen.push_back(properties.address);
                paired.push_back(device);
            }
        }
        return paired;
    }

    std::shared_ptr<Device> deviceWithAddress(const std::string& address) override {
        for (const auto& [properties, device] : look()) {
            if (properties.address == address) {
                return device;
            }
        }
        return nullptr;
    }

  private:
    // BlueZ's devices now, each with its object, which stays the same from look to look so its
    // cached records last.
    std::vector<std::pair<DeviceProperties, std::shared_ptr<BluezDevice>>> look() {
        std::vector<std::pair<DeviceProperties, std::shared_ptr<BluezDevice>>> found;
        std::map<std::string, std::shared_ptr<BluezDevice>> kept;
        for (DeviceProperties& properties : bus_->devices()) {
            auto& device = devices_[properties.path];
            if (!device) {
                device =
                    std::make_shared<BluezDevice>(properties.path, properties.address, main_, bus_);
            }
            device->update(properties);
            kept[properties.path] = device;
            found.emplace_back(std::move(properties), device);
        }
        devices_.swap(kept);
        return found;
    }

    std::shared_ptr<MainHandle> main_;
    std::shared_ptr<BluezBus> bus_;
    std::map<std::string, std::shared_ptr<BluezDevice>> devices_;  // by object path
};

}  // namespace

std::unique_ptr<Bluetooth> bluezBluetooth(MainQueue& main) {
    return std::make_unique<BluezBluetooth>(main);
}

}  // namespace vocari::bt
