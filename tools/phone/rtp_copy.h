#pragma once

// A copy of the phone's Opus stream as RTP (payload type 96, 48000 Hz clock), sent from the
// phone's own address to another receiver at the same moment as each AUDIO copy, so a second
// receiver meets exactly the same network: for comparing vocarid with other receivers.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vocari::phone {

class RtpCopy {
  public:
    // `target` is "address:port". Null with `error` set when it cannot be opened.
    static std::unique_ptr<RtpCopy> open(const std::string& localAddress, const std::string& target,
                                         uint32_t ssrc, std::string& error);
    ~RtpCopy();
    RtpCopy(const RtpCopy&) = delete;
    RtpCopy& operator=(const RtpCopy&) = delete;

    // Sending thread. Sends the RTP form of one AUDIO message (without a length prefix); other
    // messages and PCM are ignored. Send errors are ignored: the copy is a bystander.
    void send(std::span<const uint8_t> audioMessage);

    // The RTP packet for an Opus AUDIO message into `out`: sequence number and timestamp follow
    // the message's sequence number (timestamp = sequence x frames). False for anything else.
    static bool encode(std::span<const uint8_t> audioMessage, uint32_t ssrc,
                       std::vector<uint8_t>& out);

  private:
    RtpCopy(int socket, uint32_t ssrc);

    int socket_;
    uint32_t ssrc_;
    std::vector<uint8_t> packet_;
};

}  // namespace vocari::phone
