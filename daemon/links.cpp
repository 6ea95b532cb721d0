#include "links.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "net.h"
#include "pairing_gate.h"
#include "protocol.h"

namespace vocari {

namespace {

constexpr int64_t kReceiveTimeoutUs = kReceiveTimeoutMs * 1000;

bool isHello(std::span<const uint8_t> message) {
    return protocol::messageType(message) == static_cast<uint8_t>(protocol::MessageType::Hello);
}

// One USB or Bluetooth link, read until the peer closes, sends a bad length, fails pairing, or
// the daemon stops.
void tcpClient(Runtime& runtime, int socket) {
    runtime.out->write("USB client connected\n");
    auto reader = std::make_unique<protocol::FrameReader>();
    std::vector<uint8_t> chunk(protocol::kLengthPrefixSize + protocol::kMaxMessageSize);
    bool admitted = false;
    bool ending = false;
    auto onMessage = [&](std::span<const uint8_t> message) {
        if (ending || !protocol::headerValid(message)) {
            return;
        }
        if (!admitted) {
            if (!isHello(message)) {
                return;
            }
            if (!runtime.pairing->helloAuthorized(message, "USB client")) {
                ending = true;
                return;
            }
            admitted = true;
            // The slot claim and the "phone %d connected" line come with the session table.
        }
        // Admitted links hand their messages to the sessions once those exist.
    };
    while (!ending) {
        const ssize_t got = recv(socket, chunk.data(), chunk.size(), 0);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if ((errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
                runtime.isRunning()) {
                continue;
            }
            break;
        }
        const std::span<const uint8_t> bytes(chunk.data(), static_cast<size_t>(got));
        if (reader->feed(bytes, onMessage) == protocol::FrameReader::Status::BadLength) {
            break;
        }
        if (!runtime.isRunning()) {
            break;
        }
    }
    close(socket);
    runtime.tcpClients.fetch_sub(1);
}

}  // namespace

void audioLoop(Runtime& runtime, int socket) {
    setReceiveTimeout(socket, kReceiveTimeoutUs);
    std::vector<uint8_t> buffer(protocol::kMaxMessageSize);
    while (runtime.isRunning()) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = recvfrom(socket, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < static_cast<ssize_t>(protocol::kHeaderSize)) {
            continue;
        }
        const std::span<const uint8_t> message(buffer.data(), static_cast<size_t>(got));
        if (!protocol::headerValid(message) || !isHello(message)) {
            // Messages from known phones go to their sessions once the session table exists.
            continue;
        }
        const std::string address = ipv4Text(from);
        if (!runtime.pairing->helloAuthorized(message, address.c_str())) {
            continue;
        }
        // Re-attachment, the slot claim and the "phone %d" line come with the session table.
    }
}

void tcpLoop(Runtime& runtime, int listener) {
    while (runtime.isRunning()) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, kReceiveTimeoutMs) <= 0) {
            continue;
        }
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        const int live = runtime.tcpClients.load();
        if (live >= kMaxTcpClients) {
            printLine(*runtime.out, "refusing USB client \u2014 %d already connected\n", live);
            close(client);
            continue;
        }
        const int noDelay = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        setReceiveTimeout(client, kReceiveTimeoutUs);
        runtime.tcpClients.fetch_add(1);
        std::thread(tcpClient, std::ref(runtime), client).detach();
    }
    for (int waited = 0; waited < 40 && runtime.tcpClients.load() > 0; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace vocari
