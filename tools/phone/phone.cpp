#include "phone.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vocari::phone {

namespace {

bool toAddress(const std::string& text, uint16_t port, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return inet_pton(AF_INET, text.c_str(), &address.sin_addr) == 1;
}

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::unique_ptr<Phone> Phone::open(const PhoneOptions& options, std::string& error) {
    sockaddr_in receiver{};
    if (!toAddress(options.receiverAddress, options.port, receiver)) {
        error = "bad receiver address: " + options.receiverAddress;
        return nullptr;
    }
    const bool udp = options.transport == Transport::Udp;
    const int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    if (udp) {
        sockaddr_in local{};
        if (!toAddress(options.localAddress, 0, local)) {
            error = "bad local address: " + options.localAddress;
            close(fd);
            return nullptr;
        }
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            error = "bind " + options.localAddress + ": " + std::strerror(errno);
            close(fd);
            return nullptr;
        }
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&receiver), sizeof receiver) != 0) {
        error = "connect " + options.receiverAddress + ":" + std::to_string(options.port) + ": " +
                std::strerror(errno);
        close(fd);
        return nullptr;
    }
    if (!udp) {
        const int noDelay = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        // A receiver that stops reading must not hang the phone: a send that cannot finish in
        // this time fails.
        const timeval sendTimeout{kStreamSendTimeoutMs / 1000, kStreamSendTimeoutMs % 1000 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    }
    return std::unique_ptr<Phone>(new Phone(options, fd));
}

Phone::Phone(PhoneOptions options, int socket) : options_(std::move(options)), socket_(socket) {}

Phone::~Phone() {
    close(socket_);
}

bool Phone::sendHello() {
    const auto hello = protocol::encodeHello(options_.preset, options_.pairingCode,
                                             options_.fixedMs, options_.deviceId,
                                             std::span(options_.name.data(), options_.name.size()));
    return sendMessage(hello);
}

bool Phone::sendBye() {
    return sendMessage(protocol::encodeBye());
}

bool Phone::sendMessage(std::span<const uint8_t> message) {
    if (options_.transport == Transport::Udp) {
        return sendRaw(message);
    }
    return sendRaw(protocol::frameForStream(message));
}

bool Phone::sendRaw(std::span<const uint8_t> bytes) {
    size_t sent = 0;
    int refusals = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            // A connected UDP socket reports an earlier ICMP "port unreachable" on the next
            // send and drops that datagram; a phone keeps sending while the receiver is away,
            // so the report is consumed and the datagram sent again.
            if (options_.transport == Transport::Udp && errno == ECONNREFUSED && refusals++ == 0) {
                continue;
            }
            return false;
        }
        sent += static_cast<size_t>(n);
        if (options_.transport == Transport::Udp) {
            break;
        }
    }
    return true;
}

std::optional<std::vector<uint8_t>> Phone::receiveMessage(int timeoutMs) {
    const int64_t deadline = steadyMs() + timeoutMs;
    while (received_.empty() && !peerClosed_) {
        const int64_t left = deadline - steadyMs();
        pollfd waiting{socket_, POLLIN, 0};
        if (left <= 0 || poll(&waiting, 1, static_cast<int>(left)) <= 0) {
            return std::nullopt;
        }
        const ssize_t got = recv(socket_, buffer_.data(), buffer_.size(), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (options_.transport == Transport::Udp) {
            if (got > 0) {  // errors here are ICMP reports on the connected socket: skip them
                received_.emplace_back(buffer_.begin(), buffer_.begin() + got);
            }
            continue;
        }
        if (got <= 0) {
            peerClosed_ = true;
            break;
        }
        const auto status =
            reader_.feed(std::span<const uint8_t>(buffer_.data(), static_cast<size_t>(got)),
                         [&](std::span<const uint8_t> message) {
                             received_.emplace_back(message.begin(), message.end());
                         });
        if (status == protocol::FrameReader::Status::BadLength) {
            peerClosed_ = true;
        }
    }
    if (received_.empty()) {
        return std::nullopt;
    }
    std::vector<uint8_t> message = std::move(received_.front());
    received_.pop_front();
    return message;
}

std::optional<protocol::Heartbeat> Phone::receiveHeartbeat(int timeoutMs) {
    const int64_t deadline = steadyMs() + timeoutMs;
    while (true) {
        const int64_t left = deadline - steadyMs();
        if (left <= 0) {
            return std::nullopt;
        }
        const auto message = receiveMessage(static_cast<int>(left));
        if (!message) {
            return std::nullopt;
        }
        if (auto heartbeat = protocol::parseHeartbeat(*message)) {
            return heartbeat;
        }
    }
}

bool Phone::closedByReceiver(int timeoutMs) {
    const int64_t deadline = steadyMs() + timeoutMs;
    while (!peerClosed_) {
        const int64_t left = deadline - steadyMs();
        if (left <= 0) {
            return false;
        }
        receiveMessage(static_cast<int>(left));
    }
    return true;
}

}  // namespace vocari::phone
