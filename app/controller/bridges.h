#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link_states.h"

namespace vocari::app {

// The USB tunnel as the controller sees it. Calls its listener on the main thread.
class UsbBridge {
  public:
    virtual ~UsbBridge() = default;
    virtual void start(std::function<void(const AdbState&)> onChange) = 0;
    virtual void stop() = 0;
    // True while a Bluetooth link is tested or live: the tunnel stands aside.
    virtual void setSuspended(bool suspended) = 0;
    virtual bool suspended() const = 0;
};

// The Bluetooth relay as the controller sees it. Calls its listener on the main thread.
class BluetoothBridge {
  public:
    virtual ~BluetoothBridge() = default;
    virtual void start(std::function<void(const BtState&)> onChange) = 0;
    virtual void stop() = 0;
    virtual std::optional<std::string> chosenAddress() const = 0;
    // The phone to link with, or none for Bluetooth off; the bridge keeps the choice.
    virtual void choose(const std::optional<std::string>& address) = 0;
    virtual std::vector<BtOffer> offering() const = 0;
    // The system's name for a paired device, or nothing when it knows none.
    virtual std::optional<std::string> systemName(const std::string& address) const = 0;
};

// Bridges that only report where they start from: no tunnel is made and no phone is looked
// for. For tests that need no link, and for Bluetooth until the app drives it.
class IdleUsbBridge final : public UsbBridge {
  public:
    void start(std::function<void(const AdbState&)> onChange) override { onChange(AdbState{}); }
    void stop() override {}
    void setSuspended(bool suspended) override { suspended_ = suspended; }
    bool suspended() const override { return suspended_; }

  private:
    bool suspended_ = false;
};

class IdleBluetoothBridge final : public BluetoothBridge {
  public:
    void start(std::function<void(const BtState&)> onChange) override { onChange(BtState{}); }
    void stop() override {}
    std::optional<std::string> chosenAddress() const override { return chosen_; }
    void choose(const std::optional<std::string>& address) override { chosen_ = address; }
    std::vector<BtOffer> offering() const override { return {}; }
    std::optional<std::string> systemName(const std::string&) const override {
        return std::nullopt;
    }

  private:
    std::optional<std::string> chosen_;
};

}  // namespace vocari::app
