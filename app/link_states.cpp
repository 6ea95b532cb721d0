#include "link_states.h"

namespace vocari::app {

std::string AdbState::menuTitle() const {
    switch (kind) {
        case Kind::Ready:
            return "USB: ready \u2014 " + phone;
        case Kind::Yielded:
            return "USB: standing aside for Bluetooth \u2014 " + phone;
        case Kind::NoAdb:
            return "USB: Android tools not installed\u2026";
        case Kind::NoDevice:
            return "USB: no phone connected";
        case Kind::Unauthorized:
            return "USB: allow USB debugging on the phone";
    }
    return {};
}

std::string BtState::menuTitle() const {
    switch (kind) {
        case Kind::Searching:
            return "Bluetooth: looking for " + text + "\u2026";
        case Kind::Testing:
            return "Bluetooth: testing the link to " + text + "\u2026";
        case Kind::Live:
            return "Bluetooth: streaming from " + text;
        case Kind::Failed:
            return "Bluetooth: " + text;
        case Kind::Off:
            return "Bluetooth: off";
        case Kind::NoDevice:
            return "Bluetooth: choose a phone\u2026";
    }
    return {};
}

}  // namespace vocari::app
