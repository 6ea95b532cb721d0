#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridges.h"
#include "bt_frames.h"
#include "main_queue.h"
#include "vocari/bluetooth.h"

namespace vocari::app {

// The Bluetooth link: finds the "Vocari" RFCOMM service on the phone the user chose (or, with
// none chosen, lists the connected paired phones that offer it), opens a channel with a time-out
// and rotating channel numbers, and relays the phone's frames: link test, attach and detach, and
// data frames carrying the phone's TCP stream into the daemon's listener on 127.0.0.1 and the
// daemon's bytes back. Main thread, but for the reader of the local connection.
class RfcommBridge final : public QObject, public BluetoothBridge, private bt::ChannelDelegate {
    Q_OBJECT
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using LineSink = std::function<void(const std::string&)>;

    // `bluetooth` none: the system's (the simulated world where VOCARI_BLUETOOTH_DIR is set).
    // `log` none: the system log. `now` none: the steady clock.
    explicit RfcommBridge(std::unique_ptr<bt::Bluetooth> bluetooth = {}, uint16_t port = 5555,
                          LineSink log = {}, Clock now = {});
    ~RfcommBridge() override;

    void start(std::function<void(const BtState&)> onChange) override;
    void stop() override;
    std::optional<std::string> chosenAddress() const override { return chosenAddress_; }
    void choose(const std::optional<std::string>& address) override;
    std::vector<BtOffer> offering() const override { return offering_; }
    std::optional<std::string> systemName(const std::string& address) const override;

    const BtState& state() const { return state_; }
    // One look at the world, as the 3 s timer does.
    void tick();

  private:
    void sdpQueryComplete(const std::shared_ptr<bt::Device>& device, int status);
    void openChannel(const std::shared_ptr<bt::Device>& device);
    void teardown();
    void setState(BtState state);
    void log(const std::string& line) const;
    std::string phoneName() const;  // the stored device's name, or "phone"
    std::string chosenName() const;

    void rfcommChannelOpenComplete(bt::Channel& channel, int status) override;
    void rfcommChannelData(bt::Channel& channel, const uint8_t* data, size_t length) override;
    void rfcommChannelClosed(bt::Channel& channel) override;

    // The relay.
    void drainInbox();
    void handleFrame(uint8_t type, const std::vector<uint8_t>& payload);
    void send(uint8_t type, const std::vector<uint8_t>& payload);
    bool connectLocal();
    void closeLocal();
    void localEnded(uint64_t generation);

    QtMainQueue main_;
    std::unique_ptr<bt::Bluetooth> bluetooth_;
    const uint16_t port_;
    LineSink log_;
    Clock now_;
    std::function<void(const BtState&)> onChange_;
    QTimer timer_;

    BtState state_{BtState::Kind::Off, {}};
    std::optional<std::string> chosenAddress_;
    std::shared_ptr<bt::Channel> channel_;
    std::shared_ptr<bt::Device> device_;
    std::optional<std::chrono::steady_clock::time_point> openedAt_;
    bool channelOpen_ = false;
    int attempt_ = 0;
    BtFrameReader inbox_;
    uint32_t probeBytes_ = 0;
    std::vector<BtOffer> offering_;
    int sweepIndex_ = 0;

    int localFd_ = -1;
    uint64_t localGeneration_ = 0;  // tells a reader's end from a newer connection's
    std::thread localReader_;
};

}  // namespace vocari::app
