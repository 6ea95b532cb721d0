// Start-up, the daemon's launch and supervision, and the app's planned ends.

#include <sys/prctl.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "app_delegate.h"

namespace vocari::app {

namespace {

// How long a stop waits for the daemon to end by itself before it is killed: it says goodbye
// to its phones and closes its device within a second.
constexpr int kStopWaitMs = 5000;
// A daemon that has stayed up this long starts the next series of restarts at 1 s again.
constexpr double kStableSeconds = 30.0;
constexpr double kLongestRestartDelaySeconds = 10.0;

}  // namespace

void TimerScheduler::after(double seconds, QObject* context, std::function<void()> work) {
    QTimer::singleShot(static_cast<int>(seconds * 1000.0), context, std::move(work));
}

AppDelegate::AppDelegate(AppParts parts, QObject* parent)
    : QObject(parent),
      daemonPath_(parts.daemonPath),
      scheduler_(parts.scheduler),
      usb_(parts.usb),
      bluetooth_(parts.bluetooth),
      alerts_(parts.alerts) {
    if (daemonPath_.isEmpty()) {
        daemonPath_ = QCoreApplication::applicationDirPath() + QStringLiteral("/vocarid");
    }
    if (scheduler_ == nullptr) {
        ownScheduler_ = std::make_unique<TimerScheduler>();
        scheduler_ = ownScheduler_.get();
    }
    if (usb_ == nullptr) {
        ownUsb_ = std::make_unique<AdbBridge>();
        usb_ = ownUsb_.get();
    }
    if (alerts_ == nullptr) {
        ownAlerts_ = std::make_unique<DialogAlerts>();
        alerts_ = ownAlerts_.get();
    }
    if (bluetooth_ == nullptr) {
        ownBluetooth_ = std::make_unique<RfcommBridge>();
        bluetooth_ = ownBluetooth_.get();
    }
}

AppDelegate::~AppDelegate() {
    quitting_ = true;
    stopTask(true);
}

void AppDelegate::applicationDidFinishLaunching() {
    statusItem_ = std::make_unique<QSystemTrayIcon>();
    statusItem_->setIcon(baseIcon());
    statusItem_->setToolTip(QStringLiteral("Vocari"));
    buildRootMenu();
    statusItem_->setContextMenu(rootMenu_.get());
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        statusItem_->show();
    } else {
        // Without a tray the menu cannot be shown, but the phones still need the receiver.
        const char* line =
            "Vocari: this desktop has no system tray, so the menu cannot be shown; the receiver "
            "keeps running until Vocari ends\n";
        std::fputs(line, stderr);
        ingest(QString::fromUtf8(line));
        statusItem_->show();  // shown as soon as a tray appears
    }
    startServer();
    const QPointer<AppDelegate> self(this);
    usb_->start([self](const AdbState& state) {
        if (self) {
            self->onUsbState(state);
        }
    });
    bluetooth_->start([self](const BtState& state) {
        if (self) {
            self->onBluetoothState(state);
        }
    });
    rebuildBluetoothMenu();
}

void AppDelegate::onUsbState(const AdbState& state) {
    usbItem_->setText(QString::fromStdString(state.menuTitle()));
    usbItem_->setEnabled(state.isActionable());
    if (state.kind == AdbState::Kind::Ready) {
        ingest(QStringLiteral("USB tunnel ready \u2014 ") + QString::fromStdString(state.phone) +
               QStringLiteral("\n"));
    }
}

void AppDelegate::onBluetoothState(const BtState& state) {
    btItem_->setText(QString::fromStdString(state.menuTitle()));
    usb_->setSuspended(state.kind == BtState::Kind::Testing || state.kind == BtState::Kind::Live);
    rebuildBluetoothMenu();
    if (state.kind == BtState::Kind::Live) {
        ingest(QStringLiteral("Bluetooth link live \u2014 ") + QString::fromStdString(state.text) +
               QStringLiteral("\n"));
    }
}

void AppDelegate::startServer() {
    auto* process = new QProcess(this);
    process->setProgram(daemonPath_);
    process->setProcessChannelMode(QProcess::MergedChannels);
    // The daemon ends with the app, even when the app is killed and cannot stop it.
    process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    connect(process, &QProcess::readyRead, this, [this, process] { readOutput(process); });
    connect(process, &QProcess::finished, this,
            [this, process](int status, QProcess::ExitStatus) { unplannedExit(process, status); });
    process->start();
    if (!process->waitForStarted(-1)) {
        ingest(QStringLiteral("Failed to launch vocarid: ") + process->errorString() +
               QStringLiteral("\n"));
        setStatus(QStringLiteral("\u26A0 Could not start server"), false);
        process->disconnect(this);
        process->deleteLater();
        return;
    }
    if (task_ != nullptr) {
        task_->disconnect(this);
        task_->deleteLater();
    }
    task_ = process;
    pendingBytes_.clear();
    const uint64_t serial = ++taskSerial_;
    setStatus(QStringLiteral("\u25CB Waiting for phone\u2026"), false);
    scheduler_->after(kStableSeconds, this, [this, serial] {
        if (taskSerial_ == serial) {
            restarts_ = 0;
        }
    });
}

void AppDelegate::readOutput(QProcess* process) {
    if (process != task_) {
        return;
    }
    pendingBytes_ += process->readAll();
    // A character cut by the pipe waits for its rest; only text that is not UTF-8 is dropped.
    const auto complete = static_cast<qsizetype>(completeUtf8Length(
        std::string_view(pendingBytes_.constData(), static_cast<size_t>(pendingBytes_.size()))));
    const QByteArray chunk = pendingBytes_.left(complete);
    pendingBytes_.remove(0, complete);
    if (chunk.isEmpty()) {
        return;
    }
    if (!isValidUtf8(std::string_view(chunk.constData(), static_cast<size_t>(chunk.size())))) {
        pendingBytes_.clear();
        return;
    }
    ingest(QString::fromUtf8(chunk));
}

void AppDelegate::unplannedExit(QProcess* process, int status) {
    readOutput(process);
    if (quitting_) {
        return;
    }
    restarts_ += 1;
    const double delay = std::min(static_cast<double>(restarts_), kLongestRestartDelaySeconds);
    setStatus(QStringLiteral("\u26A0 Server stopped \u2014 restarting\u2026"), false);
    ingest(QStringLiteral("\n\u2014 vocarid exited (status %1); restarting in %2s \u2014\n")
               .arg(status)
               .arg(static_cast<int>(delay)));
    // A newer daemon launched in the meantime (a planned restart) makes this one unneeded: two
    // daemons would fight over the phones' ports.
    const uint64_t serial = taskSerial_;
    scheduler_->after(delay, this, [this, serial] {
        if (!quitting_ && taskSerial_ == serial) {
            startServer();
        }
    });
}

void AppDelegate::stopTask(bool wait) {
    if (task_ == nullptr || task_->state() == QProcess::NotRunning) {
        return;
    }
    disconnect(task_, &QProcess::finished, this, nullptr);
    task_->terminate();
    if (wait && !task_->waitForFinished(kStopWaitMs)) {
        task_->kill();
        task_->waitForFinished(kStopWaitMs);
    }
}

void AppDelegate::restart() {
    restarts_ = 0;
    if (task_ != nullptr) {
        stopTask(true);
        readOutput(task_);
    }
    ingest(QStringLiteral("\n\u2014 restarting server \u2014\n"));
    startServer();
}

void AppDelegate::quit() {
    quitting_ = true;
    stopTask(false);
    QCoreApplication::quit();
}

void AppDelegate::applicationWillTerminate() {
    quitting_ = true;
    usb_->stop();
    bluetooth_->stop();
    // Given the time to say goodbye to its phones before the process object goes.
    stopTask(true);
}

}  // namespace vocari::app
