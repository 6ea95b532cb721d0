#include "adb_bridge.h"

#include <pthread.h>

#include <QCoreApplication>
#include <QDir>

#include "adb_probe.h"

namespace vocari::app {

namespace {

constexpr int kPollPeriodMs = 2000;
// One tool command's limit: adb answers in well under a second unless something hangs.
constexpr std::chrono::milliseconds kCommandLimit{8000};

}  // namespace

AdbBridge::AdbBridge(uint16_t port, Probe probe)
    : port_(port),
      probe_(std::move(probe)),
      home_(QDir::homePath().toStdString()),
      appFolder_(QCoreApplication::applicationDirPath().toStdString()) {
    if (!probe_) {
        probe_ = [this](bool suspended) { return probeTool(suspended); };
    }
    timer_.setInterval(kPollPeriodMs);
    connect(&timer_, &QTimer::timeout, this, &AdbBridge::poll);
    worker_ = std::thread([this] { work(); });
}

AdbBridge::~AdbBridge() {
    timer_.stop();
    {
        std::lock_guard lock(mutex_);
        ending_.store(true);
    }
    wake_.notify_one();
    worker_.join();
}

void AdbBridge::start(std::function<void(const AdbState&)> onChange) {
    onChange_ = std::move(onChange);
    poll();
    timer_.start();
}

void AdbBridge::stop() {
    timer_.stop();
}

void AdbBridge::poll() {
    {
        std::lock_guard lock(mutex_);
        // Ticks that come while a slow tool keeps a probe busy wait as one probe, not a
        // growing queue of them.
        probeWanted_ = true;
    }
    wake_.notify_one();
}

void AdbBridge::work() {
    pthread_setname_np(pthread_self(), "vocari.adb");
    while (true) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return probeWanted_ || ending_.load(); });
            if (ending_.load()) {
                return;
            }
            probeWanted_ = false;
        }
        const AdbState result = probe_(suspended_.load());
        if (ending_.load() || result == state_) {
            continue;
        }
        state_ = result;
        // Delivered on the main thread; dropped with the bridge if it is gone by then.
        main_.post([this, result] {
            if (onChange_) {
                onChange_(result);
            }
        });
    }
}

AdbState AdbBridge::probeTool(bool suspended) const {
    const std::optional<std::string> adb = findAdb(home_, appFolder_);
    if (!adb) {
        return {AdbState::Kind::NoAdb, {}};
    }
    const AdbTool tool = [this, &adb](const std::vector<std::string>& args) {
        // A bridge that is ending starts no more of the probe's commands.
        return ending_.load() ? std::nullopt : runTool(*adb, args, kCommandLimit, &ending_);
    };
    return probeAdb(tool, suspended, port_);
}

}  // namespace vocari::app
