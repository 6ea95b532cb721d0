#pragma once

#include <string>

namespace vocari::app {

// What the USB tunnel is doing, as its menu row says it.
struct AdbState {
    enum class Kind { Ready, Yielded, NoAdb, NoDevice, Unauthorized };
    Kind kind = Kind::NoDevice;
    std::string phone;  // for Ready and Yielded: the phone's model name or serial

    std::string menuTitle() const;
    // Only a missing adb makes the row clickable: it opens the USB help.
    bool isActionable() const { return kind == Kind::NoAdb; }
    bool operator==(const AdbState&) const = default;
};

// What the Bluetooth link is doing, as its menu row says it.
struct BtState {
    enum class Kind { Searching, Testing, Live, Failed, Off, NoDevice };
    Kind kind = Kind::Off;
    std::string text;  // the phone's name, or for Failed the message

    std::string menuTitle() const;
    bool operator==(const BtState&) const = default;
};

// One phone offering the Bluetooth service: its address and name.
struct BtOffer {
    std::string address;
    std::string name;
};

}  // namespace vocari::app
