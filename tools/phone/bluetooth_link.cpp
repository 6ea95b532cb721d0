#include "bluetooth_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "bt_frames.h"

namespace vocari::phone {

namespace {

using namespace vocari::app;

constexpr uint8_t kBridgeVersion = 1;
constexpr size_t kTestFill = 1000;
constexpr int kTestFills = 3;
constexpr int kReplyWaitMs = 5000;
constexpr size_t kDataChunk = 2048;

bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
    for (size_t written = 0; written < bytes.size();) {
        const ssize_t sent =
            ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        written += static_cast<size_t>(sent);
    }
    return true;
}

bool sendFrame(int fd, uint8_t type, const std::vector<uint8_t>& payload = {}) {
    return writeAll(fd, encodeBtFrame(type, payload.data(), payload.size()));
}

// Waits for a frame of `type` from the bridge, skipping others.
bool awaitFrame(int fd, BtFrameReader& reader, uint8_t type, std::vector<uint8_t>& payload) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    uint8_t got = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const BtFrameReader::Result result = reader.next(got, payload);
        if (result == BtFrameReader::Result::Frame) {
            if (got == type) {
                return true;
            }
            continue;
        }
        if (result == BtFrameReader::Result::TooLong) {
            return false;
        }
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 50) > 0) {
            uint8_t buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                return false;
            }
            reader.append(buffer, static_cast<size_t>(n));
        }
    }
    return false;
}

}  // namespace

std::unique_ptr<BluetoothLink> BluetoothLink::open(const std::string& folder,
                                                   const std::string& address,
                                                   const std::string& name, uint8_t channel,
                                                   int waitMs, int testMs, std::string& error) {
    std::unique_ptr<BluetoothLink> link(new BluetoothLink());
    link->socketPath_ = folder + "/" + address + ".sock";
    link->phoneFile_ = folder + "/" + address + ".phone";

    // The channel's end, where the simulated world connects.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (link->socketPath_.size() >= sizeof where.sun_path) {
        error = "Bluetooth folder path too long: " + folder;
        ::close(listener);
        return nullptr;
    }
    link->socketPath_.copy(where.sun_path, sizeof where.sun_path - 1);
    ::unlink(link->socketPath_.c_str());
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(listener, 1) != 0) {
        error = "Bluetooth socket " + link->socketPath_ + ": " + std::strerror(errno);
        ::close(listener);
        return nullptr;
    }
    // The phone appears in the world whole: written aside, then renamed.
    {
        std::ofstream file(link->phoneFile_ + ".part");
        file << "address=" << address << "\nname=" << name << "\nconnected=1\n"
             << "record=uuid=566F6361-7269-0001-8000-00805F9B34FB channel="
             << static_cast<int>(channel) << "\n";
    }
    std::rename((link->phoneFile_ + ".part").c_str(), link->phoneFile_.c_str());

    pollfd incoming{listener, POLLIN, 0};
    const bool opened = ::poll(&incoming, 1, waitMs) > 0;
    link->rfcomm_ = opened ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ::close(listener);
    if (link->rfcomm_ < 0) {
        error = "no Bluetooth channel was opened to " + name;
        return nullptr;
    }

    BtFrameReader reader;
    std::vector<uint8_t> reply;
    const int fd = link->rfcomm_;
    bool ok = sendFrame(fd, bt_frame::kHello, {kBridgeVersion}) &&
              sendFrame(fd, bt_frame::kTestStart) &&
              awaitFrame(fd, reader, bt_frame::kTestAck, reply);
    for (int i = 0; ok && i < kTestFills; ++i) {
        ok = sendFrame(fd, bt_frame::kTestFill, std::vector<uint8_t>(kTestFill, 0x55));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(testMs));
    ok = ok && sendFrame(fd, bt_frame::kTestEnd) &&
         awaitFrame(fd, reader, bt_frame::kTestResult, reply);
    const uint32_t counted = reply.size() == 4
                                 ? (uint32_t{reply[0]} << 24) | (uint32_t{reply[1]} << 16) |
                                       (uint32_t{reply[2]} << 8) | reply[3]
                                 : 0;
    if (!ok || counted != kTestFill * kTestFills) {
        error = "the Bluetooth link test failed";
        return nullptr;
    }

    // The phone's TCP link comes to this relay.
    link->listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (::bind(link->listener_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(link->listener_, 1) != 0 ||
        ::getsockname(link->listener_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = std::string("relay socket: ") + std::strerror(errno);
        return nullptr;
    }
    link->localPort_ = ntohs(local.sin_port);
    if (!sendFrame(fd, bt_frame::kAttach)) {
        error = "the Bluetooth channel closed at the attach";
        return nullptr;
    }
    link->relay_ = std::thread([raw = link.get()] { raw->relay(); });
    return link;
}

void BluetoothLink::relay() {
    int stream = -1;  // the phone's TCP link, once it connects
    BtFrameReader reader;
    std::vector<uint8_t> buffer(kDataChunk);
    while (!stopping_.load()) {
        pollfd waiting[2] = {{stream >= 0 ? stream : listener_, POLLIN, 0}, {rfcomm_, POLLIN, 0}};
        if (::poll(waiting, 2, 100) <= 0) {
            continue;
        }
        if (waiting[0].revents != 0) {
            if (stream < 0) {
                stream = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            } else {
                const ssize_t got = ::recv(stream, buffer.data(), buffer.size(), 0);
                if (got <= 0) {
                    ::close(stream);
                    stream = -1;
                    streamEnded_.store(true);
                } else if (!sendFrame(rfcomm_, bt_frame::kData,
                                      std::vector<uint8_t>(buffer.begin(), buffer.begin() + got))) {
                    break;
                }
            }
        }
        if (waiting[1].revents != 0) {
            const ssize_t got = ::read(rfcomm_, buffer.data(), buffer.size());
            if (got <= 0) {
                break;  // the bridge closed the channel
            }
            reader.append(buffer.data(), static_cast<size_t>(got));
            uint8_t type = 0;
            std::vector<uint8_t> payload;
            while (reader.next(type, payload) == BtFrameReader::Result::Frame) {
                if (type == bt_frame::kData && stream >= 0) {
                    writeAll(stream, payload);
                }
            }
        }
    }
    if (stream >= 0) {
        ::close(stream);
    }
}

BluetoothLink::~BluetoothLink() {
    // What the phone sent last (its BYE) is relayed before the channel goes.
    for (int i = 0; i < 200 && relay_.joinable() && !streamEnded_.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopping_.store(true);
    if (relay_.joinable()) {
        relay_.join();
    }
    if (rfcomm_ >= 0) {
        sendFrame(rfcomm_, bt_frame::kDetach);
        ::close(rfcomm_);
    }
    if (listener_ >= 0) {
        ::close(listener_);
    }
    // The phone stays paired, as a real one does when it goes away: out of reach.
    std::ifstream in(phoneFile_);
    std::string text;
    for (std::string line; std::getline(in, line);) {
        text += (line == "connected=1" ? "connected=0" : line) + "\n";
    }
    in.close();
    std::ofstream(phoneFile_ + ".part") << text;
    std::rename((phoneFile_ + ".part").c_str(), phoneFile_.c_str());
    ::unlink(socketPath_.c_str());
}

}  // namespace vocari::phone
