#pragma once

// The Bluetooth operations the app's Bluetooth bridge needs, named after the Mac's IOBluetooth:
// paired devices, SDP queries and their cached records, and RFCOMM channels. Two providers: a
// simulated world of phones described by files (tests and the demo), and BlueZ for real use.
// Every callback is delivered on the thread that owns the `MainQueue` (the app's main thread).
// The queue must outlive the provider; devices and channels may outlive it, but post no more.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vocari::bt {

using Uuid = std::array<uint8_t, 16>;

// The phone app's service: "Vocari" in ASCII, 00 01, then the end of the Bluetooth base UUID.
inline constexpr Uuid kServiceUuid = {0x56, 0x6F, 0x63, 0x61, 0x72, 0x69, 0x00, 0x01,
                                      0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

// Runs work later on the main thread. The app's is Qt's event loop.
class MainQueue {
  public:
    virtual ~MainQueue() = default;
    virtual void post(std::function<void()> work) = 0;
};

// One SDP service record, as the device cached it.
struct ServiceRecord {
    std::vector<Uuid> uuids;
    std::optional<std::string> name;
    std::optional<uint8_t> rfcommChannel;  // none: the record has no RFCOMM channel

    bool hasService(const Uuid& uuid) const;
    // This app's service: its UUID, or its name "Vocari".
    bool offersVocari() const { return hasService(kServiceUuid) || name == "Vocari"; }
};

class Channel;

// Told what happens on a channel, on the main thread, while it is the channel's delegate.
class ChannelDelegate {
  public:
    virtual ~ChannelDelegate() = default;
    virtual void rfcommChannelOpenComplete(Channel& channel, int status) = 0;
    virtual void rfcommChannelData(Channel& channel, const uint8_t* data, size_t length) = 0;
    virtual void rfcommChannelClosed(Channel& channel) = 0;
};

class Channel {
  public:
    virtual ~Channel() = default;
    // None: no further callbacks, from this call on.
    virtual void setDelegate(ChannelDelegate* delegate) = 0;
    virtual void closeChannel() = 0;
    virtual size_t mtu() const = 0;
    // Blocks until written; 0 on success.
    virtual int writeSync(const uint8_t* data, size_t length) = 0;
};

class Device {
  public:
    virtual ~Device() = default;
    virtual std::optional<std::string> name() const = 0;
    virtual std::optional<std::string> addressString() const = 0;
    virtual bool isConnected() const = 0;
    // Starts a query; `done(status)` follows on the main thread (0: success, records cached).
    virtual void performSdpQuery(std::function<void(int status)> done) = 0;
    virtual std::optional<ServiceRecord> serviceRecordFor(const Uuid& uuid) const = 0;
    virtual std::vector<ServiceRecord> services() const = 0;
    // Starts opening channel `id`: 0 and the channel at once when accepted, the open's outcome
    // later through the delegate.
    virtual int openRfcommChannelAsync(uint8_t id, ChannelDelegate* delegate,
                                       std::shared_ptr<Channel>& channel) = 0;
    virtual void closeConnection() = 0;
};

class Bluetooth {
  public:
    virtual ~Bluetooth() = default;
    // Paired devices in the system's order, each address once; empty without an adapter.
    virtual std::vector<std::shared_ptr<Device>> pairedDevices() = 0;
    virtual std::shared_ptr<Device> deviceWithAddress(const std::string& address) = 0;
};

// The simulated world in `folder` (see sim_bluetooth.h for its files).
std::unique_ptr<Bluetooth> simulatedBluetooth(const std::string& folder, MainQueue& main);
// The simulated world when VOCARI_BLUETOOTH_DIR is set, else the system's Bluetooth.
std::unique_ptr<Bluetooth> systemBluetooth(MainQueue& main);

}  // namespace vocari::bt
