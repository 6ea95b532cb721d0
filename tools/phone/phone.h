#pragma once

// vocari-phone: the phone's side of the wire protocol, for tests and the demo. Speaks to the
// receiver over UDP (a Wi-Fi phone, from a chosen loopback address) or over the length-prefixed
// TCP link (a USB or Bluetooth phone).

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol.h"

namespace vocari::phone {

enum class Transport { Udp, Tcp };

struct PhoneOptions {
    Transport transport = Transport::Udp;
    std::string localAddress = "127.0.0.1";  // UDP: the address the phone sends from
    std::string receiverAddress = "127.0.0.1";
    uint16_t port = 5555;
    uint32_t pairingCode = 0;
    uint8_t preset = static_cast<uint8_t>(protocol::BufferPreset::Balanced);
    uint16_t fixedMs = 100;
    uint32_t deviceId = 0;
    std::string name = "vocari-phone";
};

// Sending and receiving may run on two threads at once (one of each); the receiving methods
// (receiveHeartbeat, closedByReceiver) must stay on one thread.
class Phone {
  public:
    // TCP: a send that the receiver does not take within this time fails.
    static constexpr int kStreamSendTimeoutMs = 2000;

    // Opens the socket (UDP: bound to the local address; TCP: connected). Null with `error` set
    // when that fails.
    static std::unique_ptr<Phone> open(const PhoneOptions& options, std::string& error);
    ~Phone();
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    const PhoneOptions& options() const { return options_; }

    // Sending thread. False (errno set) when the message could not be sent.
    bool sendHello();
    // Sending thread.
    bool sendBye();
    // Sending thread. Sends one message; on TCP it is preceded by its length.
    bool sendMessage(std::span<const uint8_t> message);
    // Sending thread. Sends bytes as they are: on TCP without a length, to test framing.
    bool sendRaw(std::span<const uint8_t> bytes);

    // Receiving thread. Waits up to `timeoutMs` for the next HEARTBEAT; other messages are
    // skipped.
    std::optional<protocol::Heartbeat> receiveHeartbeat(int timeoutMs);
    // Receiving thread. TCP: true once the receiver has closed the connection (waits up to
    // `timeoutMs`).
    bool closedByReceiver(int timeoutMs);

  private:
    Phone(PhoneOptions options, int socket);
    // Next received message within the deadline; empty on time-out or close.
    std::optional<std::vector<uint8_t>> receiveMessage(int timeoutMs);

    PhoneOptions options_;
    int socket_;
    bool peerClosed_ = false;
    protocol::FrameReader reader_;
    std::array<uint8_t, protocol::kLengthPrefixSize + protocol::kMaxMessageSize> buffer_{};
    std::deque<std::vector<uint8_t>> received_;  // TCP: messages read but not yet taken
};

}  // namespace vocari::phone
