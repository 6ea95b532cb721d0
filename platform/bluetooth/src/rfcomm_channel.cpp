#include "rfcomm_channel.h"

#include <bluetooth/rfcomm.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vocari::bt {

namespace {

// Linux does not tell an RFCOMM socket's frame size, and cuts every write to it itself; this is
// only the size of the pieces the bridge writes, the frame size of a typical phone's link.
constexpr size_t kMtu = 1011;
constexpr size_t kReadBuffer = 4096;
// A phone that takes nothing for this long has stopped reading; the write gives up.
constexpr int kWriteStallMs = 5000;

}  // namespace

std::shared_ptr<RfcommChannel> RfcommChannel::open(std::shared_ptr<MainHandle> main,
                                                   ChannelDelegate* delegate,
                                                   const bdaddr_t& address, uint8_t channel) {
    auto opened = std::make_shared<RfcommChannel>(std::move(main), delegate);
    opened->connect(address, channel);
    return opened;
}

RfcommChannel::RfcommChannel(std::shared_ptr<MainHandle> main, ChannelDelegate* delegate)
    : main_(std::move(main)), delegate_(delegate) {}

RfcommChannel::~RfcommChannel() {
    closeChannel();
    if (worker_.joinable()) {
        worker_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
}

void RfcommChannel::connect(const bdaddr_t& address, uint8_t channel) {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int status = wake_ < 0 ? errno : 0;
    if (status == 0) {
        fd_ = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_RFCOMM);
        status = fd_ < 0 ? errno : 0;  // EAFNOSUPPORT: no Bluetooth in this kernel
    }
    if (status == 0) {
        sockaddr_rc to{};
        to.rc_family = AF_BLUETOOTH;
        to.rc_bdaddr = address;
        to.rc_channel = channel;
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
            errno != EINPROGRESS) {
            status = errno;
        }
    }
    if (status != 0) {
        post([status](RfcommChannel& self) {
            if (self.delegate_ != nullptr) {
                self.delegate_->rfcommChannelOpenComplete(self, status);
            }
        });
        return;
    }
    worker_ = std::thread([this] { run(); });
}

int RfcommChannel::waitConnected() const {
    pollfd waiting[2] = {{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
    while (::poll(waiting, 2, -1) < 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    if (waiting[1].revents != 0) {
        return ECANCELED;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    if (error == 0 && (waiting[0].revents & POLLOUT) == 0) {
        return ECONNRESET;
    }
    return error;
}

void RfcommChannel::run() {
    // The kernel bounds a connection attempt (paging, then the phone's answer); closeChannel()
    // ends it sooner.
    const int status = waitConnected();
    post([status](RfcommChannel& self) {
        if (self.delegate_ != nullptr) {
            self.delegate_->rfcommChannelOpenComplete(self, status);
        }
    });
    if (status != 0) {
        return;
    }
    std::vector<uint8_t> buffer(kReadBuffer);
    while (true) {
        pollfd waiting[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (waiting[1].revents != 0) {
            break;
        }
        const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        std::vector<uint8_t> bytes(buffer.begin(), buffer.begin() + got);
        post([bytes = std::move(bytes)](RfcommChannel& self) {
            if (self.delegate_ != nullptr) {
                self.delegate_->rfcommChannelData(self, bytes.data(), bytes.size());
            }
        });
    }
    post([](RfcommChannel& self) {
        if (self.delegate_ != nullptr) {
            self.delegate_->rfcommChannelClosed(self);
        }
    });
}

void RfcommChannel::closeChannel() {
    if (wake_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
    }
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
    }
}

size_t RfcommChannel::mtu() const {
    return kMtu;
}

int RfcommChannel::writeSync(const uint8_t* data, size_t length) {
    if (fd_ < 0) {
        return ENOTCONN;
    }
    size_t written = 0;
    while (written < length) {
        const ssize_t sent = ::send(fd_, data + written, length - written, MSG_NOSIGNAL);
        if (sent > 0) {
            written += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd room{fd_, POLLOUT, 0};
            const int ready = ::poll(&room, 1, kWriteStallMs);
            if (ready > 0 || (ready < 0 && errno == EINTR)) {
                continue;
            }
            return ready == 0 ? ETIMEDOUT : errno;
        }
        return sent == 0 ? EPIPE : errno;
    }
    return 0;
}

void RfcommChannel::post(std::function<void(RfcommChannel&)> work) {
    main_->post([weak = weak_from_this(), work = std::move(work)] {
        if (const auto self = weak.lock()) {
            work(*self);
        }
    });
}

}  // namespace vocari::bt
