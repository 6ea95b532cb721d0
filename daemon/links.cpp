#include "links.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ingest.h"
#include "net.h"
#include "pairing_gate.h"
#include "protocol.h"

namespace vocari {

namespace {

constexpr int64_t kReceiveTimeoutUs = kReceiveTimeoutMs * 1000;
constexpr int64_t kNoFreeSlotQuietNs = 5'000'000'000;
constexpr int64_t kHeartbeatAudioNs = 2'000'000'000;
constexpr auto kHeartbeatPeriod = std::chrono::milliseconds(500);

bool isType(std::span<const uint8_t> message, protocol::MessageType type) {
    return protocol::messageType(message) == static_cast<uint8_t>(type);
}

// "phone N <word>: <address> (Wi-Fi) -> channels a-b" and the slot's address fields, for a
// claim this thread has just made.
void announceWifi(Runtime& runtime, const SessionClaim& claim, PeerAddress peer,
                  const std::string& address, const char* word) {
    Session& session = *claim.session;
    session.setPeer(peer);
    session.setName(address);
    const int channel = session.channel.load();
    printLine(*runtime.out, "phone %d %s: %s (Wi-Fi) -> channels %d-%d\n", session.index + 1, word,
              address.c_str(), channel + 1, channel + 2);
}

void refuseWifi(Runtime& runtime, const std::string& address, int64_t now) {
    const int64_t last = runtime.lastNoFreeSlotNs.load();
    if (now - last <= kNoFreeSlotQuietNs) {
        return;
    }
    runtime.lastNoFreeSlotNs.store(now);
    printLine(*runtime.out,
              "no free slot for %s \u2014 %d phones already connected (device has %d stereo "
              "pairs)\n",
              address.c_str(), runtime.sessions->activeCount(), runningPairs(runtime));
}

// A HELLO that passed pairing from an address no Active session holds.
void admitWifi(Runtime& runtime, std::span<const uint8_t> hello, const sockaddr_in& from) {
    SessionTable& table = *runtime.sessions;
    const PeerAddress peer{from.sin_addr.s_addr, from.sin_port};
    const std::string address = ipv4Text(from);

    // The same phone on a new address keeps its slot and channels, silently.
    const uint32_t deviceId = protocol::readU32(&hello[27]);
    if (deviceId != 0) {
        if (const SessionClaim same = table.findByDeviceId(deviceId)) {
            bool moved = false;
            {
                const SessionUse use(same);
                if (use) {
                    same.session->setPeer(peer);
                    moved = true;
                }
            }
            if (moved) {
                dispatchMessage(runtime, same, hello);
                return;
            }
        }
    }

    const uint32_t key = from.sin_addr.s_addr;
    const char* word = key != 0 && table.claimedBefore(key) ? "reconnected" : "connected";
    const int64_t now = runtime.clock->nowNs();
    const SessionClaim claim =
        table.claimSlot(runtime.firstPair.load(), pairsForClaims(runtime), key, now);
    if (!claim) {
        refuseWifi(runtime, address, now);
        return;
    }
    announceWifi(runtime, claim, peer, address, word);
    dispatchMessage(runtime, claim, hello);
}

// Waits until the socket has something to read or `deadline` (0: none) comes, whichever is
// first: true when there is something to read. Without a deadline it returns at once and the
// socket's own 250 ms time-out bounds the read. The wait is a high-resolution one: a socket
// time-out is counted in scheduler ticks and could sleep past a deadline by several ms.
bool readableBefore(int socket, int64_t deadline, const Clock& clock) {
    if (deadline == 0) {
        return true;
    }
    const int64_t leftNs =
        std::clamp<int64_t>(deadline - clock.nowNs(), 0, kReceiveTimeoutUs * 1000);
    const timespec left{static_cast<time_t>(leftNs / 1'000'000'000),
                        static_cast<long>(leftNs % 1'000'000'000)};
    pollfd waiting{socket, POLLIN, 0};
    return ppoll(&waiting, 1, &left, nullptr) > 0;
}

// Feeds the sessions `feeds` says this thread owns whose deadline has come; returns the earliest
// deadline left, 0 for none.
template <typename Owns>
int64_t feedOnTimeAll(Runtime& runtime, const Owns& owns) {
    int64_t earliest = 0;
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        Session& session = runtime.sessions->session(i);
        const SessionClaim claim{&session, session.generation()};
        const SessionUse use(claim);
        if (!use || !owns(claim)) {
            continue;
        }
        const int64_t lastRender = runtime.sessions->lastRenderNs.load(std::memory_order_relaxed);
        feedOnTime(session, *runtime.clock, lastRender);
        const int64_t deadline = feedDeadline(session, runtime.clock->nowNs(), lastRender);
        if (deadline != 0 && (earliest == 0 || deadline < earliest)) {
            earliest = deadline;
        }
    }
    return earliest;
}

// One USB or Bluetooth link, read until the peer closes, sends a bad length, fails pairing, or
// the daemon stops.
void tcpClient(Runtime& runtime, int socket) {
    nameThisThread("tcp-client");
    runtime.out->write("USB client connected\n");
    auto reader = std::make_unique<protocol::FrameReader>();
    std::vector<uint8_t> chunk(protocol::kLengthPrefixSize + protocol::kMaxMessageSize);
    SessionClaim claim;
    bool ending = false;
    auto admit = [&](std::span<const uint8_t> hello) {
        if (!runtime.pairing->helloAuthorized(hello, "USB client")) {
            return false;
        }
        claim = runtime.sessions->claimSlot(runtime.firstPair.load(), pairsForClaims(runtime), 0,
                                            runtime.clock->nowNs());
        if (!claim) {
            printLine(*runtime.out,
                      "no free slot for USB client \u2014 %d phones already connected\n",
                      runtime.sessions->activeCount());
            return false;
        }
        Session& session = *claim.session;
        session.tcpSocket.store(socket);
        session.setName("USB " + std::to_string(session.index + 1));
        const int channel = session.channel.load();
        printLine(*runtime.out, "phone %d connected: USB -> channels %d-%d\n", session.index + 1,
                  channel + 1, channel + 2);
        return true;
    };
    auto onMessage = [&](std::span<const uint8_t> message) {
        if (ending || !protocol::headerValid(message)) {
            return;
        }
        if (!claim) {
            // Before a session exists only a HELLO counts; a refused one (a short one too) ends
            // the link.
            if (!isType(message, protocol::MessageType::Hello)) {
                return;
            }
            if (!admit(message)) {
                ending = true;
                return;
            }
        }
        dispatchMessage(runtime, claim, message);
    };
    const auto ownSession = [&claim](const SessionClaim& other) {
        return claim && other.session == claim.session && other.generation == claim.generation;
    };
    while (!ending) {
        if (!readableBefore(socket, claim ? feedOnTimeAll(runtime, ownSession) : 0,
                            *runtime.clock)) {
            if (!runtime.isRunning()) {
                break;
            }
            continue;
        }
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
    if (claim) {
        bool stillOurs = false;
        {
            const SessionUse use(claim, SessionUse::Need::Current);
            if (use) {
                stillOurs = true;
                claim.session->tcpSocket.store(-1);
                claim.session->closeFor("USB disconnected", *runtime.out);
            }
        }
        // The heartbeat thread may have read the socket just before it was taken away; the
        // descriptor is closed only once it is done, so no heartbeat goes to a reused number.
        if (stillOurs) {
            claim.session->waitForUsers();
        }
    }
    close(socket);
    runtime.tcpClients.fetch_sub(1);
}

void sendTcpHeartbeat(int socket, std::span<const uint8_t> message) {
    std::array<uint8_t, protocol::kLengthPrefixSize + protocol::kHeartbeatSize> framed{};
    protocol::writeU32(framed.data(), static_cast<uint32_t>(message.size()));
    std::copy(message.begin(), message.end(), framed.begin() + protocol::kLengthPrefixSize);
    // Never blocks: a phone that stopped reading must not hold up the heartbeats of the others.
    // A link whose buffer is so full that the message went out only in part can no longer be
    // framed; it is ended, and its reader thread says so.
    const ssize_t sent = send(socket, framed.data(), framed.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0 && static_cast<size_t>(sent) < framed.size()) {
        shutdown(socket, SHUT_RDWR);
    }
}

}  // namespace

void dispatchMessage(Runtime& runtime, const SessionClaim& claim,
                     std::span<const uint8_t> message) {
    const SessionUse use(claim);
    if (!use || !protocol::headerValid(message)) {
        return;
    }
    Session& session = *claim.session;
    if (isType(message, protocol::MessageType::Bye)) {
        session.closeFor("said BYE", *runtime.out);
    } else if (const auto audio = protocol::parseAudioHeader(message)) {
        ingestAudio(session, *audio, message.subspan(protocol::kAudioHeaderSize), *runtime.clock);
    } else if (const auto hello = protocol::parseHello(message)) {
        session.deviceId.store(hello->deviceId);
        session.setPhoneName(hello->name.data());
        session.jitter->requestPreset(hello->preset, protocol::clampFixedMs(hello->fixedMs));
    }
}

namespace {

// Datagrams queued on the socket are taken in one system call, up to this many: eight phones
// sending in step, or a flood, cost one wake-up and one receive per batch instead of two system
// calls per datagram.
constexpr unsigned kReceiveBatch = 16;

struct ReceiveBatch {
    std::array<std::array<uint8_t, protocol::kMaxMessageSize>, kReceiveBatch> buffers{};
    std::array<iovec, kReceiveBatch> pieces{};
    std::array<sockaddr_in, kReceiveBatch> senders{};
    std::array<mmsghdr, kReceiveBatch> headers{};

    // Points every header at its buffer and sender again: the kernel overwrites the lengths.
    void rearm() {
        for (unsigned i = 0; i < kReceiveBatch; ++i) {
            pieces[i] = iovec{buffers[i].data(), buffers[i].size()};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_name = &senders[i];
            headers[i].msg_hdr.msg_namelen = sizeof senders[i];
            headers[i].msg_hdr.msg_iov = &pieces[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

// One datagram from `from`: a known phone's message goes to its session, a HELLO is judged.
void handleDatagram(Runtime& runtime, std::span<const uint8_t> message, const sockaddr_in& from) {
    if (message.size() < protocol::kHeaderSize || !protocol::headerValid(message)) {
        return;
    }
    const SessionClaim known = runtime.sessions->findByPeer({from.sin_addr.s_addr, from.sin_port});
    if (!isType(message, protocol::MessageType::Hello)) {
        dispatchMessage(runtime, known, message);
        return;
    }
    if (!runtime.pairing->helloAuthorized(message, ipv4Text(from).c_str())) {
        return;
    }
    if (known) {
        dispatchMessage(runtime, known, message);
    } else {
        admitWifi(runtime, message, from);
    }
}

}  // namespace

void audioLoop(Runtime& runtime, int socket) {
    nameThisThread("udp-receive");
    setReceiveTimeout(socket, kReceiveTimeoutUs);
    const auto batch = std::make_unique<ReceiveBatch>();
    const auto wifi = [](const SessionClaim& claim) {
        return claim.session->peerAddress().has_value();
    };
    while (runtime.isRunning()) {
        if (!readableBefore(socket, feedOnTimeAll(runtime, wifi), *runtime.clock)) {
            continue;
        }
        // Waits (up to the socket's time-out) for the first datagram only, then takes what else
        // is already queued.
        batch->rearm();
        const int got =
            recvmmsg(socket, batch->headers.data(), kReceiveBatch, MSG_WAITFORONE, nullptr);
        for (int i = 0; i < got; ++i) {
            const auto& header = batch->headers[static_cast<size_t>(i)];
            handleDatagram(runtime,
                           std::span<const uint8_t>(batch->buffers[static_cast<size_t>(i)].data(),
                                                    header.msg_len),
                           batch->senders[static_cast<size_t>(i)]);
        }
    }
}

void tcpLoop(Runtime& runtime, int listener) {
    nameThisThread("tcp-listener");
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

void sendHeartbeats(Runtime& runtime, int64_t now) {
    const int udpSocket = runtime.heartbeatSocket.load();
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        Session& session = runtime.sessions->session(i);
        const SessionUse use({&session, session.generation()});
        const int64_t lastAudio = session.lastAudioNs.load();
        if (!use || lastAudio == 0 || now - lastAudio >= kHeartbeatAudioNs) {
            continue;
        }
        const JitterConsumer& jitter = *session.jitter;
        const auto message = protocol::encodeHeartbeat(
            {static_cast<uint32_t>(session.packets.load()),
             static_cast<uint32_t>(jitter.depthMs(jitter.fastDepth())), jitter.underruns()});
        const int tcp = session.tcpSocket.load();
        if (tcp >= 0) {
            sendTcpHeartbeat(tcp, message);
        } else if (const auto peer = session.peerAddress(); peer && udpSocket >= 0) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = peer->address;
            to.sin_port = peer->port;
            sendto(udpSocket, message.data(), message.size(), MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    }
}

void heartbeatLoop(Runtime& runtime) {
    nameThisThread("heartbeat");
    while (runtime.isRunning()) {
        if (!sleepWhileRunning(runtime, kHeartbeatPeriod)) {
            return;
        }
        sendHeartbeats(runtime, runtime.clock->nowNs());
    }
}

}  // namespace vocari
