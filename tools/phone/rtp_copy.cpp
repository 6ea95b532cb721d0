#include "rtp_copy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol.h"

namespace vocari::phone {

namespace {

constexpr size_t kRtpHeaderSize = 12;
constexpr uint8_t kOpusPayloadType = 96;

void writeBigEndian(uint8_t* out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

}  // namespace

std::unique_ptr<RtpCopy> RtpCopy::open(const std::string& localAddress, const std::string& target,
                                       uint32_t ssrc, std::string& error) {
    const auto colon = target.rfind(':');
    sockaddr_in to{};
    to.sin_family = AF_INET;
    const std::string host = colon == std::string::npos ? "" : target.substr(0, colon);
    const long port =
        colon == std::string::npos ? 0 : std::strtol(target.c_str() + colon + 1, nullptr, 10);
    if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1 || port < 1 || port > 65535) {
        error = "RTP copy: \"" + target + "\" is not address:port";
        return nullptr;
    }
    to.sin_port = htons(static_cast<uint16_t>(port));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        error = "RTP copy to " + target + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    return std::unique_ptr<RtpCopy>(new RtpCopy(fd, ssrc));
}

RtpCopy::RtpCopy(int socket, uint32_t ssrc) : socket_(socket), ssrc_(ssrc) {
    packet_.reserve(kRtpHeaderSize + protocol::kMaxMessageSize);
}

RtpCopy::~RtpCopy() {
    ::close(socket_);
}

void RtpCopy::send(std::span<const uint8_t> audioMessage) {
    if (encode(audioMessage, ssrc_, packet_)) {
        ::send(socket_, packet_.data(), packet_.size(), MSG_DONTWAIT);
    }
}

bool RtpCopy::encode(std::span<const uint8_t> audioMessage, uint32_t ssrc,
                     std::vector<uint8_t>& out) {
    const auto header = protocol::parseAudioHeader(audioMessage);
    if (!header || header->codec != static_cast<uint8_t>(protocol::Codec::Opus)) {
        return false;
    }
    const auto payload = audioMessage.subspan(protocol::kAudioHeaderSize);
    out.resize(kRtpHeaderSize + payload.size());
    out[0] = 0x80;  // version 2, no padding, extension or contributing sources
    out[1] = kOpusPayloadType;
    writeBigEndian(&out[2], header->sequence & 0xFFFF, 2);
    writeBigEndian(&out[4], header->sequence * header->frames, 4);
    writeBigEndian(&out[8], ssrc, 4);
    std::memcpy(out.data() + kRtpHeaderSize, payload.data(), payload.size());
    return true;
}

}  // namespace vocari::phone
