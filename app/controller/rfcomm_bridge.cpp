#include "rfcomm_bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <QPointer>
#include <QSettings>
#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace vocari::app {

namespace {

constexpr int kTickMs = 3000;
constexpr auto kOpenTimeout = std::chrono::seconds(8);
constexpr size_t kLocalBuffer = 2048;
constexpr time_t kLocalSendLimitSeconds = 1;
const QString kChosenKey = QStringLiteral("btDevice");

std::string format(const char* pattern, auto... values) {
    char line[512];
    std::snprintf(line, sizeof line, pattern, values...);
    return line;
}

}  // namespace

RfcommBridge::RfcommBridge(std::unique_ptr<bt::Bluetooth> bluetooth, uint16_t port, LineSink log,
                           Clock now)
    : bluetooth_(std::move(bluetooth)), port_(port), log_(std::move(log)), now_(std::move(now)) {
    if (!bluetooth_) {
        bluetooth_ = bt::systemBluetooth(main_);
    }
    if (!log_) {
        log_ = [](const std::string& line) { syslog(LOG_NOTICE, "%s", line.c_str()); };
    }
    if (!now_) {
        now_ = [] { return std::chrono::steady_clock::now(); };
    }
    const QString kept = QSettings().value(kChosenKey).toString();
    if (!kept.isEmpty()) {
        chosenAddress_ = kept.toStdString();
    }
    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &RfcommBridge::tick);
}

RfcommBridge::~RfcommBridge() {
    teardown();
    channel_.reset();
    device_.reset();
    bluetooth_.reset();  // its channels post no more once it is gone
}

std::optional<std::string> RfcommBridge::systemName(const std::string& address) const {
    const auto device = bluetooth_->deviceWithAddress(address);
    return device ? device->name() : std::nullopt;
}

std::string RfcommBridge::chosenName() const {
    if (!chosenAddress_) {
        return "phone";
    }
    return systemName(*chosenAddress_).value_or(*chosenAddress_);
}

std::string RfcommBridge::phoneName() const {
    const std::optional<std::string> name = device_ ? device_->name() : std::nullopt;
    return name.value_or("phone");
}

void RfcommBridge::log(const std::string& line) const {
    log_("Vocari: " + line);
}

void RfcommBridge::start(std::function<void(const BtState&)> onChange) {
    onChange_ = std::move(onChange);
    setState(chosenAddress_ ? BtState{BtState::Kind::Searching, chosenName()}
                            : BtState{BtState::Kind::NoDevice, {}});
    timer_.start();
    tick();
}

void RfcommBridge::stop() {
    timer_.stop();
    teardown();
    setState({BtState::Kind::Off, {}});
}

void RfcommBridge::choose(const std::optional<std::string>& address) {
    if (address == chosenAddress_) {
        return;
    }
    teardown();
    chosenAddress_ = address;
    QSettings settings;
    if (address) {
        settings.setValue(kChosenKey, QString::fromStdString(*address));
    } else {
        settings.remove(kChosenKey);
    }
    setState(address ? BtState{BtState::Kind::Searching, chosenName()}
                     : BtState{BtState::Kind::NoDevice, {}});
    tick();
}

void RfcommBridge::setState(BtState state) {
    if (state == state_) {
        return;
    }
    state_ = std::move(state);
    // Heard on a later turn of the main loop, and not at all once the bridge is gone.
    QMetaObject::invokeMethod(
        this,
        [this, announced = state_] {
            if (onChange_) {
                onChange_(announced);
            }
        },
        Qt::QueuedConnection);
}

void RfcommBridge::tick() {
    if (channel_) {
        if (channelOpen_ || !openedAt_ || now_() - *openedAt_ <= kOpenTimeout) {
            return;  // open, or still opening within its time
        }
        log("RFCOMM open timed out, retrying");
        teardown();
        if (device_) {
            device_->closeConnection();
        }
        setState({BtState::Kind::Searching, phoneName()});
    }
    if (chosenAddress_) {
        if (auto device = bluetooth_->deviceWithAddress(*chosenAddress_)) {
            device_ = device;
            QPointer<RfcommBridge> self(this);
            device->performSdpQuery([self, device](int status) {
                if (self) {
                    self->sdpQueryComplete(device, status);
                }
            });
            return;
        }
    }
    std::vector<std::shared_ptr<bt::Device>> connected;
    for (const auto& device : bluetooth_->pairedDevices()) {
        if (device->isConnected()) {
            connected.push_back(device);
        }
    }
    if (connected.empty()) {
        offering_.clear();
        return;
    }
    sweepIndex_ = (sweepIndex_ + 1) % static_cast<int>(connected.size());
    const auto device = connected[static_cast<size_t>(sweepIndex_)];
    QPointer<RfcommBridge> self(this);
    device->performSdpQuery([self, device](int status) {
        if (self) {
            self->sdpQueryComplete(device, status);
        }
    });
}

void RfcommBridge::sdpQueryComplete(const std::shared_ptr<bt::Device>& device, int status) {
    log(format("SDP query for %s -> %d", device ? device->name().value_or("?").c_str() : "?",
               status));
    if (!device || status != 0) {
        // A query still out when a channel opened (a real SDP query can outlast a tick) says
        // nothing about the link the phone is now testing or streaming over.
        if (!channel_) {
            setState({BtState::Kind::Searching, chosenName()});
        }
        return;
    }
    if (channel_) {
        return;
    }
    const std::optional<bt::ServiceRecord> record = device->serviceRecordFor(bt::kServiceUuid);
    const std::optional<std::string> address = device->addressString();
    if (address) {
        std::erase_if(offering_, [&](const BtOffer& offer) { return offer.address == *address; });
        if (record) {
            offering_.push_back({*address, device->name().value_or(*address)});
        }
    }
    if (address && address == chosenAddress_) {
        openChannel(device);
    }
    if (onChange_) {
        onChange_(state_);
    }
}

void RfcommBridge::openChannel(const std::shared_ptr<bt::Device>& device) {
    std::vector<int> numbers;
    for (const bt::ServiceRecord& record : device->services()) {
        if (record.offersVocari() && record.rfcommChannel && *record.rfcommChannel != 0) {
            numbers.push_back(*record.rfcommChannel);
        }
    }
    std::sort(numbers.begin(), numbers.end(), std::greater<>());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    const std::string name = device->name().value_or("?");
    if (numbers.empty()) {
        log(name + " has no Vocari service");
        setState({BtState::Kind::Searching, device->name().value_or("phone")});
        return;
    }
    const int number = numbers[static_cast<size_t>(attempt_) % numbers.size()];
    ++attempt_;
    std::shared_ptr<bt::Channel> channel;
    const int status = device->openRfcommChannelAsync(static_cast<uint8_t>(number), this, channel);
    if (status != 0 || !channel) {
        log(format("channel %d refused (%d)", number, status));
        setState({BtState::Kind::Searching, device->name().value_or("phone")});
        return;
    }
    std::string candidates;
    for (const int n : numbers) {
        candidates += (candidates.empty() ? "" : ",") + std::to_string(n);
    }
    log(format("opening RFCOMM channel %d on %s (of %s)", number, name.c_str(),
               candidates.c_str()));
    channel_ = std::move(channel);
    openedAt_ = now_();
    channelOpen_ = false;
    inbox_.clear();
    probeBytes_ = 0;
}

void RfcommBridge::rfcommChannelOpenComplete(bt::Channel&, int status) {
    log(format("RFCOMM open -> %d", status));
    channelOpen_ = status == 0;
    if (status != 0) {
        setState({BtState::Kind::Searching, phoneName()});
        teardown();
    }
}

void RfcommBridge::rfcommChannelClosed(bt::Channel&) {
    teardown();
    if (state_.kind != BtState::Kind::Failed) {
        setState(chosenAddress_ ? BtState{BtState::Kind::Searching, phoneName()}
                                : BtState{BtState::Kind::NoDevice, {}});
    }
}

void RfcommBridge::teardown() {
    closeLocal();
    if (channel_) {
        channel_->setDelegate(nullptr);
        channel_->closeChannel();
    }
    channel_.reset();
    channelOpen_ = false;
    openedAt_.reset();
    inbox_.clear();
}

void RfcommBridge::rfcommChannelData(bt::Channel&, const uint8_t* data, size_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
    inbox_.append(data, length);
    drainInbox();
}

void RfcommBridge::drainInbox() {
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    while (channel_) {
        const BtFrameReader::Result result = inbox_.next(type, payload);
        if (result == BtFrameReader::Result::NeedMore) {
            return;
        }
        if (result == BtFrameReader::Result::TooLong) {
            setState({BtState::Kind::Failed, "bad frame from the phone"});
            teardown();
            return;
        }
        handleFrame(type, payload);
    }
}

void RfcommBridge::handleFrame(uint8_t type, const std::vector<uint8_t>& payload) {
    switch (type) {
        case bt_frame::kHello:
            log(format("bridge v%d", payload.empty() ? 0 : payload.front()));
            break;
        case bt_frame::kTestStart:
            send(bt_frame::kTestAck, {});
            probeBytes_ = 0;
            log("link test started");
            setState({BtState::Kind::Testing, phoneName()});
            break;
        case bt_frame::kTestFill:
            probeBytes_ += static_cast<uint32_t>(payload.size());
            break;
        case bt_frame::kTestEnd:
            send(bt_frame::kTestResult,
                 {static_cast<uint8_t>(probeBytes_ >> 24), static_cast<uint8_t>(probeBytes_ >> 16),
                  static_cast<uint8_t>(probeBytes_ >> 8), static_cast<uint8_t>(probeBytes_)});
            log(format("link test received %u bytes", probeBytes_));
            break;
        case bt_frame::kAttach:
            if (connectLocal()) {
                log("engine attached, bridged into vocarid");
                setState({BtState::Kind::Live, phoneName()});
            } else {
                log("vocarid is not accepting connections");
                setState({BtState::Kind::Failed, "the receiver is not accepting connections"});
            }
            break;
        case bt_frame::kDetach:
            log("engine detached");
            closeLocal();
            setState({BtState::Kind::Searching, phoneName()});
            break;
        case bt_frame::kData:
            for (size_t written = 0; localFd_ >= 0 && written < payload.size();) {
                const ssize_t sent = ::send(localFd_, payload.data() + written,
                                            payload.size() - written, MSG_NOSIGNAL);
                if (sent < 0 && errno == EINTR) {
                    continue;
                }
                if (sent <= 0) {
                    break;  // the rest of this payload is dropped
                }
                written += static_cast<size_t>(sent);
            }
            break;
        default:
            setState({BtState::Kind::Failed, "unexpected data from the phone"});
            teardown();
            break;
    }
}

void RfcommBridge::send(uint8_t type, const std::vector<uint8_t>& payload) {
    if (!channel_) {
        return;
    }
    const std::vector<uint8_t> frame = encodeBtFrame(type, payload.data(), payload.size());
    writeInPieces(frame, channel_->mtu(), [this](const uint8_t* bytes, size_t length) {
        channel_->writeSync(bytes, length);
    });
}

bool RfcommBridge::connectLocal() {
    closeLocal();  // a second attach replaces the first connection
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // The relay writes on the main thread: a daemon that stops reading costs the audio it is
    // not taking, never a frozen menu.
    const timeval limit{kLocalSendLimitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    localFd_ = fd;
    const uint64_t generation = ++localGeneration_;
    QPointer<RfcommBridge> self(this);
    localReader_ = std::thread([this, self, fd, generation] {
        pthread_setname_np(pthread_self(), "vocari.bt.local");
        std::vector<uint8_t> buffer(kLocalBuffer);
        while (true) {
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            std::vector<uint8_t> bytes(buffer.begin(), buffer.begin() + got);
            main_.post([self, bytes = std::move(bytes)] {
                if (self) {
                    self->send(bt_frame::kData, bytes);
                }
            });
        }
        main_.post([self, generation] {
            if (self) {
                self->localEnded(generation);
            }
        });
    });
    return true;
}

void RfcommBridge::closeLocal() {
    if (localFd_ >= 0) {
        // The reader wakes from its read, posts its end (which finds a newer generation or no
        // connection, and does nothing) and finishes.
        ::shutdown(localFd_, SHUT_RDWR);
    }
    if (localReader_.joinable()) {
        localReader_.join();
    }
    if (localFd_ >= 0) {
        ::close(localFd_);
        localFd_ = -1;
    }
    ++localGeneration_;
}

void RfcommBridge::localEnded(uint64_t generation) {
    if (generation != localGeneration_ || localFd_ < 0) {
        return;  // a detach, a teardown or a newer attach got there first
    }
    closeLocal();
    if (channel_) {
        setState({BtState::Kind::Searching, phoneName()});
    }
}

}  // namespace vocari::app
