#pragma once

// A phone's Bluetooth side in the simulated Bluetooth world: the phone registers itself (a phone
// file offering the Vocari service on an RFCOMM channel, and the Unix socket the channel
// connects to), waits for the app's bridge to open the channel, says hello, passes the link
// test and attaches. From then on the phone's TCP link runs over a local relay: its bytes go to
// the bridge in data frames and the receiver's bytes come back the same way.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace vocari::phone {

class BluetoothLink {
  public:
    // Null with `error` set when the bridge does not open the channel within `waitMs`, or the
    // link test or the attach fails. The link test lasts at least `testMs`, as over a slow radio.
    static std::unique_ptr<BluetoothLink> open(const std::string& folder,
                                               const std::string& address, const std::string& name,
                                               uint8_t channel, int waitMs, int testMs,
                                               std::string& error);
    // Detaches and closes the channel; the phone stays paired but out of reach.
    ~BluetoothLink();
    BluetoothLink(const BluetoothLink&) = delete;
    BluetoothLink& operator=(const BluetoothLink&) = delete;

    // The phone's TCP link connects here (127.0.0.1).
    uint16_t localPort() const { return localPort_; }

  private:
    BluetoothLink() = default;
    void relay();

    std::string phoneFile_;
    std::string socketPath_;
    int rfcomm_ = -1;
    int listener_ = -1;
    uint16_t localPort_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> streamEnded_{false};  // the phone's TCP link came and closed
    std::thread relay_;
};

}  // namespace vocari::phone
