#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The volume of a loopback device, through the same CoreAudio interfaces the daemon plays into.
// A loopback device passes on what it is given at its own volume, so anything below full makes
// every phone quieter for the programs that record it. Main thread; stateless.
namespace vocari::app::DeviceVolume {

// The device whose UID is `uid`, first in the system's list; nullopt when none matches or the
// list cannot be read.
std::optional<uint32_t> device(const std::string& uid);

// The lower of the device's output and input volume (0 to 1), either one alone where the other
// is missing or unreadable; nullopt when neither reads.
std::optional<float> lowestScalar(const std::string& uid);

// Sets output and input volume to full where the device has them: true when one write worked.
bool setUnity(const std::string& uid);

}  // namespace vocari::app::DeviceVolume
