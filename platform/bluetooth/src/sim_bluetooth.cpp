// A simulated Bluetooth world: each paired phone is a file "<anything>.phone" in a folder,
// re-read at every use so a test can change it at any time:
//
//   address=AA-BB-CC-DD-EE-01          required; the device's address string
//   name=Pixel 7                       optional
//   connected=1                        1 or 0: a baseband connection exists
//   record=uuid=566F6361-7269-0001-8000-00805F9B34FB channel=12
//   record=name=Vocari channel=5       one line per SDP record: uuid= and/or name=, channel=
//   sdp=ok                             ok, fail (the query reports an error), never (no answer)
//   open=ok                            ok, refuse (not started), fail (reports an error), never
//   mtu=1000                           the channel's MTU
//   socket=/path                       where the phone listens (default: <folder>/<address>.sock)
//
// An open RFCOMM channel is a connection to the phone's Unix stream socket; its bytes are
// delivered on the main thread like the real thing.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "vocari/bluetooth.h"

namespace vocari::bt {

namespace {

constexpr int kError = -536870212;  // the IOKit general error the Mac reports

struct PhoneFile {
    std::string address;
    std::optional<std::string> name;
    bool connected = true;
    std::vector<ServiceRecord> records;
    std::string sdp = "ok";
    std::string open = "ok";
    size_t mtu = 1000;
    std::string socket;
};

std::optional<Uuid> parseUuid(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    if (text.size() != 32) {
        return std::nullopt;
    }
    Uuid uuid{};
    for (size_t i = 0; i < uuid.size(); ++i) {
        char* end = nullptr;
        const std::string pair = text.substr(2 * i, 2);
        uuid[i] = static_cast<uint8_t>(std::strtoul(pair.c_str(), &end, 16));
        if (end != pair.c_str() + 2) {
            return std::nullopt;
        }
    }
    return uuid;
}

ServiceRecord parseRecord(const std::string& text) {
    ServiceRecord record;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        const size_t equals = word.find('=');
        const std::string key = word.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        if (key == "uuid") {
            if (const auto uuid = parseUuid(value)) {
                record.uuids.push_back(*uuid);
            }
        } else if (key == "name") {
            record.name = value;
        } else if (key == "channel") {
            record.rfcommChannel = static_cast<uint8_t>(std::atoi(value.c_str()));
        }
    }
    return record;
}

std::optional<PhoneFile> readPhone(const std::string& path, const std::string& folder) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    PhoneFile phone;
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "address") {
            phone.address = value;
        } else if (key == "name") {
            phone.name = value;
        } else if (key == "connected") {
            phone.connected = value == "1";
        } else if (key == "record") {
            phone.records.push_back(parseRecord(value));
        } else if (key == "sdp") {
            phone.sdp = value;
        } else if (key == "open") {
            phone.open = value;
        } else if (key == "mtu") {
            phone.mtu = static_cast<size_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (key == "socket") {
            phone.socket = value;
        }
    }
    if (phone.address.empty()) {
        return std::nullopt;
    }
    if (phone.socket.empty()) {
        phone.socket = folder + "/" + phone.address + ".sock";
    }
    return phone;
}

// A connection to a simulated phone. The reader thread only reads and posts; everything else
// happens on the main thread.
class SimChannel final : public Channel, public std::enable_shared_from_this<SimChannel> {
  public:
    SimChannel(MainQueue& main, ChannelDelegate* delegate, size_t mtu)
        : main_(main), delegate_(delegate), mtu_(mtu) {}
    ~SimChannel() override {
        closeChannel();
        if (reader_.joinable()) {
            reader_.join();
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    // Main thread: the open's outcome, then, when it worked, the bytes as they come.
    void finishOpen(int fd) {
        fd_ = fd;
        const int status = fd >= 0 ? 0 : kError;
        post([status](SimChannel& self) {
            if (self.delegate_ != nullptr) {
                self.delegate_->rfcommChannelOpenComplete(self, status);
            }
        });
        if (fd < 0) {
            return;
        }
        reader_ = std::thread([this] {
            uint8_t buffer[4096];
            while (true) {
                const ssize_t got = ::read(fd_, buffer, sizeof buffer);
                if (got <= 0 && !(got < 0 && errno == EINTR)) {
                    break;
                }
                if (got > 0) {
                    std::vector<uint8_t> bytes(buffer, buffer + got);
                    post([bytes = std::move(bytes)](SimChannel& self) {
                        if (self.delegate_ != nullptr) {
                            self.delegate_->rfcommChannelData(self, bytes.data(), bytes.size());
                        }
                    });
                }
            }
            post([](SimChannel& self) {
                if (self.delegate_ != nullptr) {
                    self.delegate_->rfcommChannelClosed(self);
                }
            });
        });
    }

    void setDelegate(ChannelDelegate* delegate) override { delegate_ = delegate; }
    void closeChannel() override {
        if (fd_ >= 0) {
            ::shutdown(fd_, SHUT_RDWR);
        }
    }
    size_t mtu() const override { return mtu_; }
    int writeSync(const uint8_t* data, size_t length) override {
        size_t written = 0;
        while (written < length) {
            const ssize_t sent = ::send(fd_, data + written, length - written, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent <= 0) {
                return kError;
            }
            written += static_cast<size_t>(sent);
        }
        return 0;
    }

  private:
    // Work for the main thread that runs only while the channel is still there.
    void post(std::function<void(SimChannel&)> work) {
        main_.post([weak = weak_from_this(), work = std::move(work)] {
            if (const auto self = weak.lock()) {
                work(*self);
            }
        });
    }

    MainQueue& main_;
    ChannelDelegate* delegate_;  // main thread only
    size_t mtu_;
    int fd_ = -1;
    std::thread reader_;
};

class SimDevice final : public Device {
  public:
    SimDevice(std::string file, std::string folder, MainQueue& main)
        : file_(std::move(file)), folder_(std::move(folder)), main_(main) {}

    std::optional<std::string> name() const override {
        const auto phone = read();
        return phone ? phone->name : std::nullopt;
    }
    std::optional<std::string> addressString() const override {
        const auto phone = read();
        return phone ? std::optional(phone->address) : std::nullopt;
    }
    bool isConnected() const override {
        const auto phone = read();
        return phone && phone->connected;
    }
    void performSdpQuery(std::function<void(int)> done) override {
        const auto phone = read();
        const std::string mode = phone ? phone->sdp : "fail";
        if (mode == "never") {
            return;
        }
        if (mode == "ok") {
            std::lock_guard lock(mutex_);
            cached_ = phone->records;
        }
        main_.post([done = std::move(done), status = mode == "ok" ? 0 : kError] { done(status); });
    }
    std::optional<ServiceRecord> serviceRecordFor(const Uuid& uuid) const override {
        std::lock_guard lock(mutex_);
        for (const ServiceRecord& record : cached_) {
            if (record.hasService(uuid)) {
                return record;
            }
        }
        return std::nullopt;
    }
    std::vector<ServiceRecord> services() const override {
        std::lock_guard lock(mutex_);
        return cached_;
    }
    int openRfcommChannelAsync(uint8_t id, ChannelDelegate* delegate,
                               std::shared_ptr<Channel>& channel) override {
        const auto phone = read();
        if (!phone || phone->open == "refuse") {
            return kError;
        }
        auto opened = std::make_shared<SimChannel>(main_, delegate, phone->mtu);
        channel = opened;
        if (phone->open == "never") {
            return 0;
        }
        const bool offered =
            std::any_of(phone->records.begin(), phone->records.end(),
                        [id](const ServiceRecord& r) { return r.rfcommChannel == id; });
        int fd = -1;
        if (phone->open == "ok" && offered) {
            fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, phone->socket.c_str(), sizeof address.sun_path - 1);
            if (fd >= 0 &&
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                ::close(fd);
                fd = -1;
            }
        }
        opened->finishOpen(fd);
        return 0;
    }
    void closeConnection() override {}

  private:
    std::optional<PhoneFile> read() const { return readPhone(file_, folder_); }

    std::string file_;
    std::string folder_;
    MainQueue& main_;
    mutable std::mutex mutex_;
    std::vector<ServiceRecord> cached_;  // the last successful query's records
};

class SimBluetooth final : public Bluetooth {
  public:
    SimBluetooth(std::string folder, MainQueue& main) : folder_(std::move(folder)), main_(main) {}

    std::vector<std::shared_ptr<Device>> pairedDevices() override {
        std::vector<std::string> files;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
            if (entry.path().extension() == ".phone") {
                files.push_back(entry.path().string());
            }
        }
        std::sort(files.begin(), files.end());
        std::vector<std::shared_ptr<Device>> devices;
        std::vector<std::string> seen;
        for (const std::string& file : files) {
            const auto phone = readPhone(file, folder_);
            if (!phone || std::find(seen.begin(), seen.end(), phone->address) != seen.end()) {
                continue;
            }
            seen.push_back(phone->address);
            devices.push_back(device(file));
        }
        return devices;
    }

    std::shared_ptr<Device> deviceWithAddress(const std::string& address) override {
        for (const auto& device : pairedDevices()) {
            if (device->addressString() == address) {
                return device;
            }
        }
        return nullptr;
    }

  private:
    // One object per phone file, so cached records outlive a single lookup.
    std::shared_ptr<Device> device(const std::string& file) {
        auto& known = devices_[file];
        if (!known) {
            known = std::make_shared<SimDevice>(file, folder_, main_);
        }
        return known;
    }

    std::string folder_;
    MainQueue& main_;
    std::map<std::string, std::shared_ptr<Device>> devices_;
};

}  // namespace

bool ServiceRecord::hasService(const Uuid& uuid) const {
    return std::find(uuids.begin(), uuids.end(), uuid) != uuids.end();
}

std::unique_ptr<Bluetooth> simulatedBluetooth(const std::string& folder, MainQueue& main) {
    return std::make_unique<SimBluetooth>(folder, main);
}

}  // namespace vocari::bt
