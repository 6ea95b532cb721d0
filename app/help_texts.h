#pragma once

// The words of the two help alerts that depend on the platform: how to install a loopback
// device and the adb tool. Everything else in the alerts is the same on every platform.

namespace vocari::app::help {

// No loopback device.
inline constexpr const char* kLoopbackMessage = "Vocari needs a virtual audio device";
inline constexpr const char* kLoopbackInformative =
    "Vocari delivers the phone's microphone through a loopback audio device, which lets any "
    "Linux app select it as an input. Vocari does not install one \u2014 PipeWire, which most "
    "Linux desktops already run, is the easiest: with it, Vocari offers \"Vocari phones "
    "(PipeWire)\", and every phone becomes a microphone of its own (\"Vocari phones 1\u20132\", "
    "\"Vocari phones 3\u20134\", \u2026) that any app can pick, with no driver at all.\n\n"
    "Install it with apt:\n"
    "    sudo apt install pipewire wireplumber pipewire-pulse\n\n"
    "Then log in again, or start it with "
    "\"systemctl --user start pipewire wireplumber pipewire-pulse\".\n\n"
    "Without PipeWire, JACK works as well (sudo apt install jackd2): run the JACK server at "
    "48000 Hz. Either device has 16 channels, and each phone occupies one stereo pair, so 16 "
    "channels means up to 8 phones at once. Vocari finds the device automatically once the "
    "server runs \u2014 no restart needed.";
inline constexpr const char* kLoopbackOpenPage = "Open Download Page";
inline constexpr const char* kLoopbackCopy = "Copy apt Command";
inline constexpr const char* kLoopbackPage = "https://pipewire.org/";
inline constexpr const char* kLoopbackCommand =
    "sudo apt install pipewire wireplumber pipewire-pulse";

// USB without the adb tool.
inline constexpr const char* kAdbMessage = "Android platform-tools not found";
inline constexpr const char* kAdbInformative =
    "USB streaming needs Google's adb tool to open a tunnel to your phone.\n\n"
    "Install it with apt:\n"
    "    sudo apt install adb\n\n"
    "Then, on the phone, enable Developer Options and USB debugging, and accept the prompt "
    "when you plug it in. Vocari does the rest automatically.\n\n"
    "Prefer not to enable Developer Options? Use Wi-Fi instead \u2014 it needs no setup at "
    "all.";

}  // namespace vocari::app::help
