#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "protocol.h"

namespace vocari {

inline constexpr unsigned short kPhonePort = protocol::kPhonePort;
inline constexpr unsigned short kTimeSyncPort = protocol::kTimeSyncPort;
inline constexpr unsigned short kLinkListenerPort = 5555;
inline constexpr int kReceiveTimeoutMs = 250;

// A UDP socket bound to every IPv4 address at `port`, with address reuse, a 1 MiB receive buffer
// and DSCP Expedited Forwarding; -1 when it cannot be opened or bound.
int bindUdp(unsigned short port);

// The TCP link listener on 127.0.0.1 (backlog 1); -1 when it cannot be opened.
int openLinkListener(unsigned short port);

// Sets SO_RCVTIMEO, so blocking receives come back often enough to see the running flag.
void setReceiveTimeout(int socket, int64_t timeoutUs);

// Dotted-decimal text of an IPv4 address.
std::string ipv4Text(const sockaddr_in& address);

}  // namespace vocari
