#pragma once

// The threads that move phone messages between the network and the sessions: the UDP receive
// thread for Wi-Fi phones, the TCP listener with one reader thread per USB or Bluetooth link,
// and the heartbeat thread that tells every phone whose audio flows how it is being received.

#include <cstdint>
#include <span>

#include "runtime.h"
#include "session_table.h"

namespace vocari {

inline constexpr int kMaxTcpClients = 8;

// UDP receive thread: HELLO, AUDIO and BYE from Wi-Fi phones, found by their address and port.
// Returns once the running flag is false (within one 250 ms receive time-out).
void audioLoop(Runtime& runtime, int socket);

// TCP listener thread: accepts up to eight links, each read by its own detached thread. Returns
// once the running flag is false and its clients have ended (it waits for them at most 2 s).
void tcpLoop(Runtime& runtime, int listener);

// Heartbeat thread: every 500 ms a HEARTBEAT to each phone with audio in the last 2 s. Returns
// once the running flag is false.
void heartbeatLoop(Runtime& runtime);

// One heartbeat round at `now`: what heartbeatLoop does every 500 ms.
void sendHeartbeats(Runtime& runtime, int64_t now);

// A receiving thread (the UDP thread or a TCP client thread). Acts on one message for the
// session of `claim`: BYE, AUDIO and HELLO; anything else, and anything for a claim that is no
// longer the slot's current one or no longer Active, is ignored.
void dispatchMessage(Runtime& runtime, const SessionClaim& claim, std::span<const uint8_t> message);

}  // namespace vocari
