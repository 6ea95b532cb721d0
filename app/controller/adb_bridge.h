#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "bridges.h"
#include "main_queue.h"

namespace vocari::app {

// The USB tunnel: every two seconds a probe on a worker of its own finds adb, keeps
// `adb reverse tcp:5555 tcp:5555` in place for the first authorised phone (so the phone's
// connection to its own port 5555 reaches the daemon's TCP listener) and names the phone; the
// listener hears each change on the main thread. The main thread never waits for the tool.
class AdbBridge final : public QObject, public UsbBridge {
    Q_OBJECT
  public:
    // One examination of the world for the given `suspended` flag.
    using Probe = std::function<AdbState(bool suspended)>;

    // `probe` empty: the real tool, looked for in the home folder, beside the app and in the
    // system's folders.
    explicit AdbBridge(uint16_t port = 5555, Probe probe = {});
    // Ends a probe under way (its tool is killed) and the worker.
    ~AdbBridge() override;

    void start(std::function<void(const AdbState&)> onChange) override;
    void stop() override;
    void setSuspended(bool suspended) override { suspended_.store(suspended); }
    bool suspended() const override { return suspended_.load(); }

    // Asks for one probe now, as a tick of the timer does.
    void poll();

  private:
    void work();
    AdbState probeTool(bool suspended) const;

    const uint16_t port_;
    Probe probe_;
    std::string home_;
    std::string appFolder_;
    std::function<void(const AdbState&)> onChange_;
    QTimer timer_;
    QtMainQueue main_;  // results reach the main thread through it
    std::atomic<bool> suspended_{false};
    std::atomic<bool> ending_{false};

    std::mutex mutex_;
    std::condition_variable wake_;
    bool probeWanted_ = false;       // a probe waits behind the one under way (at most one)
    std::optional<AdbState> state_;  // the worker's alone; none before the first probe
    std::thread worker_;
};

}  // namespace vocari::app
