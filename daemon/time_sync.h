#pragma once

// The time exchange with Wi-Fi phones on UDP 5557: four times a second each phone with recent
// audio gets a request stamped with our clock and answers with its own receive and send times.
// Each answer is one sample of the session's PtpClock, refreshes its sender ratio and sets its
// round-trip time. Phones on the TCP link have no UDP address and take no part.

#include <cstdint>
#include <optional>
#include <span>

#include "protocol.h"
#include "runtime.h"

namespace vocari {

// Responses to requests more than this many sequence numbers old are stale.
inline constexpr uint32_t kTimeSyncMaxBehind = 8;

// Time-sync thread: returns once the running flag is false (within one 250 ms cycle).
void ptpLoop(Runtime& runtime, int socket);

// The response in `datagram` (what one receive of 36 bytes returned), when it answers one of
// the last requests: exactly 36 bytes, the magic, type 5, and its sequence at most 8 behind
// `latestSent`.
std::optional<protocol::TimeResponse> acceptTimeResponse(std::span<const uint8_t> datagram,
                                                         uint32_t latestSent);

// Time-sync thread. Credits an accepted response from IPv4 `address` (network byte order),
// received at `t4`, to the first Active Wi-Fi session at that address (whatever its port): a
// PtpClock sample, the sender ratio, the round-trip time. False when no session matched.
bool creditTimeResponse(Runtime& runtime, const protocol::TimeResponse& response, uint32_t address,
                        int64_t t4);

}  // namespace vocari
