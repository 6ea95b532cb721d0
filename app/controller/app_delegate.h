#pragma once

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QMetaType>
#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QSystemTrayIcon>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "adb_bridge.h"
#include "alerts.h"
#include "bridges.h"
#include "daemon_output.h"
#include "rfcomm_bridge.h"

namespace vocari::app {

// Runs work on the main thread after a delay. The app uses Qt's timers; tests step time.
class Scheduler {
  public:
    virtual ~Scheduler() = default;
    // Runs `work` once, `seconds` from now, unless `context` is gone by then.
    virtual void after(double seconds, QObject* context, std::function<void()> work) = 0;
};

class TimerScheduler final : public Scheduler {
  public:
    void after(double seconds, QObject* context, std::function<void()> work) override;
};

// A phone's detail submenu: filled each time it is about to open, from the latest session list.
class PhoneDetailMenu final : public QMenu {
    Q_OBJECT
  public:
    PhoneDetailMenu(uint32_t deviceId, QWidget* parent) : QMenu(parent), deviceId_(deviceId) {}
    uint32_t deviceId() const { return deviceId_; }

  private:
    uint32_t deviceId_ = 0;
};

// What a device row (and the volume warning) stands for.
struct DeviceChoice {
    QString uid;
    int channel = 0;
};

// What a channel-pair row of a phone's detail submenu stands for.
struct ChannelChoice {
    uint32_t deviceId = 0;
    int pair = 0;
};

// What the controller is built from; tests put their own pieces in.
struct AppParts {
    QString daemonPath;  // empty: "vocarid" beside the app's executable
    Scheduler* scheduler = nullptr;
    UsbBridge* usb = nullptr;              // none: the adb tunnel
    BluetoothBridge* bluetooth = nullptr;  // none: the RFCOMM link
    Alerts* alerts = nullptr;              // none: real dialogs
};

// The app's one controller: supervises vocarid, reads what it prints and shows it in the tray
// menu. All its state lives on the main thread; other threads reach it only through queued
// calls on a QPointer, which do nothing once it is gone.
class AppDelegate final : public QObject, private OutputEffects {
    Q_OBJECT
  public:
    explicit AppDelegate(AppParts parts, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Start-up: tray icon, root menu, daemon, bridges.
    void applicationDidFinishLaunching();
    // Launches one daemon and wires up its output and its exit.
    void startServer();
    // Stops the daemon (waiting for it) and starts a new one; not counted as a crash.
    void restart();
    // Ends the app: the daemon is asked to stop, and no restart follows.
    void quit();
    // The app's end: bridges stopped, the daemon asked to stop.
    void applicationWillTerminate();

    // Any piece of the daemon's output, or a line of the app's own: logged and acted on.
    void ingest(const QString& text);

    void setStatus(const QString& text, bool connected);
    QIcon baseIcon();
    QIcon greenIcon();
    void rebuildPhoneMenu() override;
    void rebuildDeviceMenu() override;
    void rebuildBluetoothMenu();

    // The user's actions (actions.cpp): each takes the menu row that was chosen.
    void pickDevice(QAction* item);
    void pickPhoneChannel(QAction* item);
    void toggleAlign();
    void newPairingCode();
    void copyPairingCode();
    void pickBluetooth(QAction* item);
    void writeDeviceFile();
    // "$HOME/Library/Application Support/Vocari", shared with the daemon.
    static QString settingsFolder();

    // Device volume, help and the log window (help.cpp).
    void refreshVolumeWarning(const QString& uid, const QString& name);
    void fixDeviceVolume();
    void installBlackHole();
    void usbHelp();
    void showLog();

    // Menu hooks: the root menu opening and closing, and a detail submenu about to open.
    void menuWillOpen(QMenu* menu);
    void menuDidClose(QMenu* menu);
    void menuNeedsUpdate(QMenu* menu);

    QMenu* rootMenu() const { return rootMenu_.get(); }
    const QString& log() const { return log_; }
    const DaemonOutput& output() const { return output_; }
    int restartsForTest() const { return restarts_; }
    QProcess* taskForTest() const { return task_; }
    bool connectedIconShownForTest() const { return greenShown_; }
    QAction* volumeItemForTest() const { return volumeItem_; }
    QPlainTextEdit* logViewForTest() const { return logView_; }

  private:
    // OutputEffects, for what the daemon's lines say.
    void setStatus(const std::string& text, bool connected) override;
    void refreshVolumeWarning(const std::string& uid, const std::string& name) override;
    void showAlignment(bool on) override;
    void showPairingCode(const std::string& code) override;

    void buildRootMenu();
    // Restarts the daemon once a run when a loopback device appears while it plays elsewhere.
    void restartOnceForNewDevice(bool deviceInUse);
    void readOutput(QProcess* process);
    void unplannedExit(QProcess* process, int status);
    void stopTask(bool wait);
    void appendToLog(const QString& text);
    // The log window's text replaced by the log, scrolled to its end, while the window shows.
    void showLogText();
    void onUsbState(const AdbState& state);
    void onBluetoothState(const BtState& state);

    QString daemonPath_;
    Scheduler* scheduler_;
    UsbBridge* usb_;
    BluetoothBridge* bluetooth_;
    Alerts* alerts_;
    std::unique_ptr<DialogAlerts> ownAlerts_;
    std::unique_ptr<TimerScheduler> ownScheduler_;
    std::unique_ptr<UsbBridge> ownUsb_;
    std::unique_ptr<BluetoothBridge> ownBluetooth_;

    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<QMenu> rootMenu_;
    QAction* statusLine_ = nullptr;
    QAction* pairingItem_ = nullptr;
    QAction* usbItem_ = nullptr;
    QAction* btItem_ = nullptr;
    QAction* phonesItem_ = nullptr;
    QAction* alignItem_ = nullptr;
    QAction* deviceItem_ = nullptr;
    QAction* volumeItem_ = nullptr;

    QProcess* task_ = nullptr;
    uint64_t taskSerial_ = 0;  // grows with every successful launch
    QByteArray pendingBytes_;  // the start of a UTF-8 sequence cut by the last read
    int restarts_ = 0;
    bool quitting_ = false;

    QString log_;
    qsizetype logCharacters_ = 0;  // user-perceived characters, never fewer than log_ holds
    DaemonOutput output_;

    QString chosenUid_;
    int chosenChannel_ = 0;
    std::map<uint32_t, int> pinnedChannels_;  // device id → pair, pins made in this run
    std::unique_ptr<QWidget> logWindow_;
    QPlainTextEdit* logView_ = nullptr;
    bool rootMenuOpen_ = false;
    uint64_t menuOpenings_ = 0;
    bool rebuildWhenClosed_ = false;
    bool deviceRowOffersHelp_ = false;  // the device row opens the install help
    bool restartedForNewDevice_ = false;
    QString lastPhoneSignature_;
    QString lastDeviceSignature_;
    std::optional<QIcon> baseIcon_;
    std::optional<QIcon> greenIcon_;
    bool greenShown_ = false;
};

}  // namespace vocari::app

Q_DECLARE_METATYPE(vocari::app::DeviceChoice)
Q_DECLARE_METATYPE(vocari::app::ChannelChoice)
