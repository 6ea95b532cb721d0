#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vocari::app {

// Parsing rules shared by both records. A line is split at every tab, empty fields kept; the
// last field is the rest of the line, tabs included, so a name containing tabs survives. Text
// fields are taken byte for byte: nothing is trimmed, and a carriage return left on the line
// becomes part of the name (the caller splits lines and drops their terminators).
// Integers: an optional '+' or '-', then at least one ASCII digit and nothing else, within the
// field's type ("-0" is 0, also for unsigned fields). Decimals: an optional '+', then a decimal
// floating-point text (digits, a point, an exponent) read the same way in every locale; the
// value must be finite and within double's range, so a "nan" or "inf" from the daemon's
// printf drops the line instead of showing a wrong value.

// One loopback output device from the daemon's device block.
struct LoopbackDevice {
    std::string uid;
    std::string name;
    int outChannels = 0;
    bool isActive = false;  // the daemon's output is playing into this device
    int firstChannel = 0;   // zero-based first channel of the first phone, for the device in use

    // Phones the device can take, one stereo pair each; a device with fewer than four channels
    // still takes one.
    int stereoPairs() const;

    // One "device:\t…" line without its terminator; nullopt when it is not a well-formed line.
    static std::optional<LoopbackDevice> parse(std::string_view line);

    bool operator==(const LoopbackDevice&) const = default;
};

// One phone session from the daemon's session block, refreshed every second.
struct PhoneSession {
    int slot = 0;
    int firstChannel = 0;  // one-based first output channel of the phone's pair
    uint64_t packets = 0;
    int bufferMs = 0;
    int targetMs = 0;
    // The daemon counts underruns in 32 unsigned bits; int64_t holds every count it can print
    // (an int would drop the whole session past 2147483647).
    int64_t xruns = 0;
    double rttMs = 0.0;
    double netDelayMs = 0.0;  // -1.0 while the phone's network delay is not known
    std::string preset;
    std::string label;  // the phone's address, or "(silent)" when its audio has stopped
    std::string format;
    uint32_t deviceId = 0;
    std::string name;

    bool isSilent() const { return label == "(silent)"; }

    // The pair as people read it, "7–8" (with an en dash).
    std::string channelLabel() const;

    // One "session:\t…" line without its terminator; nullopt when it is not a well-formed line.
    static std::optional<PhoneSession> parse(std::string_view line);

    bool operator==(const PhoneSession&) const = default;
};

}  // namespace vocari::app
