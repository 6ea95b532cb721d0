#pragma once

// The threads that move phone messages between the network and the daemon: the UDP receive
// thread for Wi-Fi phones and the TCP listener with one reader thread per USB or Bluetooth link.

#include "runtime.h"

namespace vocari {

inline constexpr int kMaxTcpClients = 8;

// UDP receive thread: judges HELLOs from Wi-Fi phones. Returns once the running flag is false
// (within one 250 ms receive time-out).
void audioLoop(Runtime& runtime, int socket);

// TCP listener thread: accepts up to eight links, each read by its own detached thread. Returns
// once the running flag is false and its clients have ended (it waits for them at most 2 s).
void tcpLoop(Runtime& runtime, int listener);

}  // namespace vocari
