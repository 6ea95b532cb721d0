// The real Vocari with the real vocarid beside it, seen the way a desktop panel sees it: on a
// private D-Bus session bus and a virtual X display, with a StatusNotifierWatcher of the test's
// own. The test reads the tray menu through the dbusmenu interface the app exports, opens a
// submenu and clicks rows as a panel does.

#include <signal.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QRegularExpression>
#include <QTest>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "analysis.h"
#include "audio_test_support.h"
#include "process.h"
#include "temp_dir.h"

namespace vocari {
namespace {

using test::ChildProcess;

// One node of a dbusmenu layout: (ia{sv}av).
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;

    QString label() const { return properties.value(QStringLiteral("label")).toString(); }
    bool enabled() const { return properties.value(QStringLiteral("enabled"), true).toBool(); }
    std::optional<MenuNode> child(const QString& prefix) const {
        for (const MenuNode& node : children) {
            if (node.label().startsWith(prefix)) {
                return node;
            }
        }
        return std::nullopt;
    }
    QStringList labels() const {
        QStringList all;
        for (const MenuNode& node : children) {
            all << node.label();
        }
        return all;
    }
};

const QDBusArgument& operator>>(const QDBusArgument& argument, MenuNode& node) {
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant wrapped;
        argument >> wrapped;
        MenuNode child;
        wrapped.variant().value<QDBusArgument>() >> child;
        node.children << child;
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

// The panel side of the tray protocol: items register here, and the test reads them.
class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

  public:
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return items_; }
    // The bus name and object path of the item that registered last.
    QString service;
    QString path;

  public slots:
    void RegisterStatusNotifierItem(const QString& serviceOrPath) {
        if (serviceOrPath.startsWith(QLatin1Char('/'))) {
            service = message().service();
            path = serviceOrPath;
        } else {
            service = serviceOrPath;
            path = QStringLiteral("/StatusNotifierItem");
        }
        items_ << service + path;
    }
    void RegisterStatusNotifierHost(const QString&) {}

  private:
    QStringList items_;
};

// The PIDs of the running processes called `name` whose parent is `parent`.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name) {
    return test::processesNamed(name, [parent](pid_t, pid_t ppid) { return ppid == parent; });
}

class TrayTest : public QObject {
    Q_OBJECT

    test::TempDir home;
    std::unique_ptr<ChildProcess> bus;
    std::unique_ptr<ChildProcess> display;
    std::unique_ptr<ChildProcess> app;
    std::string display_;  // the virtual display, ":N"
    std::optional<QDBusConnection> connection;
    Watcher watcher;

    MenuNode layout(int parent = 0) {
        QDBusMessage call = QDBusMessage::createMethodCall(watcher.service, menuPath(),
                                                           QStringLiteral("com.canonical.dbusmenu"),
                                                           QStringLiteral("GetLayout"));
        call << parent << -1 << QStringList();
        const QDBusMessage reply = connection->call(call, QDBus::Block, 5000);
        MenuNode root;
        if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2) {
            reply.arguments()[1].value<QDBusArgument>() >> root;
        }
        return root;
    }

    // The item's "Menu" property, read with a plain Properties.Get (a QDBusInterface would
    // cache an introspected meta-object that Qt never frees).
    QString menuPath() {
        QDBusMessage get = QDBusMessage::createMethodCall(
            watcher.service, watcher.path, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
        const QDBusMessage reply = connection->call(get, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            return {};
        }
        const QVariant menu = reply.arguments().front().value<QDBusVariant>().variant();
        return menu.value<QDBusObjectPath>().path();
    }

    void menuEvent(int id, const char* event) {
        QDBusMessage call = QDBusMessage::createMethodCall(watcher.service, menuPath(),
                                                           QStringLiteral("com.canonical.dbusmenu"),
                                                           QStringLiteral("Event"));
        call << id << QString::fromLatin1(event) << QVariant::fromValue(QDBusVariant(0)) << 0u;
        connection->call(call, QDBus::Block, 5000);
    }

    void aboutToShow(int id) {
        QDBusMessage call = QDBusMessage::createMethodCall(watcher.service, menuPath(),
                                                           QStringLiteral("com.canonical.dbusmenu"),
                                                           QStringLiteral("AboutToShow"));
        call << id;
        connection->call(call, QDBus::Block, 5000);
    }

    QString row(const QString& prefix) {
        const std::optional<MenuNode> node = layout().child(prefix);
        return node ? node->label() : QString();
    }

    // The row starting with `prefix` in the submenu of the root row starting with `parent`.
    std::optional<MenuNode> entry(const QString& parent, const QString& prefix) {
        const std::optional<MenuNode> submenu = layout().child(parent);
        return submenu ? submenu->child(prefix) : std::nullopt;
    }

    uint32_t pairingCode() {
        const std::string kept =
            test::readFile(home.path() + "/Library/Application Support/Vocari/pairing");
        return static_cast<uint32_t>(std::stoul(kept.substr(0, 6)));
    }

    // A phone streaming a 440 Hz tone, its device ID made from its address's last number.
    std::unique_ptr<ChildProcess> phone(uint32_t code, const std::string& address) {
        const std::string id = address.substr(address.rfind('.') + 1);
        return ChildProcess::start(
            {test::binaryPath("vocari-phone"), "--code", std::to_string(code), "--local", address,
             "--device-id", "10" + id, "--codec", "opus", "--seconds", "60", "hello", "stream",
             "bye"},
            test::isolatedEnvironment(home.path()));
    }

  private slots:
    void initTestCase() {
        const std::string xvfb = test::findExecutable("Xvfb");
        const std::string dbus = test::findExecutable("dbus-daemon");
        if (xvfb.empty() || dbus.empty()) {
            QSKIP("needs Xvfb (package xvfb) and dbus-daemon (package dbus-daemon)");
        }
        bus = ChildProcess::start(
            {dbus, "--session", "--nofork", "--nopidfile", "--print-address=1"});
        QVERIFY(bus->waitForLine(ChildProcess::Stream::Out, "unix:", 10000));
        const std::string address = bus->lines(ChildProcess::Stream::Out).front();
        display = ChildProcess::start(
            {xvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"});
        QVERIFY(display->waitForLine(ChildProcess::Stream::Out, "", 10000));
        const std::string number = display->lines(ChildProcess::Stream::Out).front();
        display_ = ":" + number;

        connection = QDBusConnection::connectToBus(QString::fromStdString(address),
                                                   QStringLiteral("tray-test"));
        QVERIFY(connection->isConnected());
        QVERIFY(connection->registerObject(
            QStringLiteral("/StatusNotifierWatcher"), &watcher,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
        QVERIFY(connection->registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));

        // A USB phone behind a scripted adb, where Android Studio would have put the tool.
        const std::string tools = home.path() + "/Android/Sdk/platform-tools";
        std::filesystem::create_directories(tools);
        std::filesystem::copy_file(test::binaryPath("fake-adb"), tools + "/adb");
        test::writeFile(tools + "/devices", "List of devices attached\nR58M\tdevice\n");
        test::writeFile(tools + "/model", "Pixel 7\n");

        std::filesystem::create_directories(home.path() + "/bt");
        auto environment = test::isolatedEnvironment(home.path());
        environment["DISPLAY"] = display_;
        environment["VOCARI_BLUETOOTH_DIR"] = home.path() + "/bt";
        environment["DBUS_SESSION_BUS_ADDRESS"] = address;
        environment["QT_QPA_PLATFORM"] = "xcb";
        environment["XDG_CURRENT_DESKTOP"] = std::nullopt;
        environment["XDG_SESSION_DESKTOP"] = std::nullopt;
        app = ChildProcess::start({test::binaryPath("Vocari")}, environment);
        QTRY_VERIFY_WITH_TIMEOUT(!watcher.service.isEmpty(), 20000);
    }

    void cleanupTestCase() {
        if (app) {
            // Ended as a session ends it: the daemon goes with it.
            const pid_t appPid = app->pid();
            const std::vector<pid_t> daemons = childrenNamed(appPid, "vocarid");
            app->sendSignal(SIGTERM);
            const std::optional<int> status = app->waitForExit(10000);
            if (status != 0) {
                for (const std::string& line : app->lines(ChildProcess::Stream::Err)) {
                    qWarning("Vocari: %s", line.c_str());
                }
            }
            QCOMPARE(status, std::optional<int>(0));
            for (const pid_t daemon : daemons) {
                QTRY_VERIFY_WITH_TIMEOUT(kill(daemon, 0) != 0, 5000);
            }
        }
        // The watcher is let go while the connection still runs: left registered, the
        // connection's own thread would unhook it at exit, after the test object that holds it
        // has gone.
        if (connection) {
            connection->unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
            connection->unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        }
        connection.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("tray-test"));
    }

    void phonesShowInTheTrayMenuAndACrashedDaemonIsReplaced() {
        const QRegularExpression pairing(
            QStringLiteral("^Pairing code: (\\d{6})   \\(click to copy\\)$"));
        QTRY_VERIFY_WITH_TIMEOUT(pairing.match(row(QStringLiteral("Pairing"))).hasMatch(), 20000);
        const uint32_t code = pairing.match(row(QStringLiteral("Pairing"))).captured(1).toUInt();
        QCOMPARE(code, pairingCode());
        QTRY_COMPARE_WITH_TIMEOUT(
            row(QStringLiteral("Audio device")),
            QStringLiteral("Audio device: Vocari Loopback 16ch  \u00B7  8 phone slots"), 10000);

        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("USB")),
                                  QStringLiteral("USB: ready \u2014 Pixel 7"), 10000);

        // The phones come while the panel shows the menu: the status row says so at once, the
        // phones row only once the menu has closed.
        aboutToShow(0);
        menuEvent(0, "opened");
        auto first = phone(code, "127.0.0.2");
        auto second = phone(code, "127.0.0.3");
        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("\u25CF")),
                                  QStringLiteral("\u25CF 2 phones connected"), 20000);
        QCOMPARE(row(QStringLiteral("Phones")), QStringLiteral("Phones: none"));
        menuEvent(0, "closed");
        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("Phones")),
                                  QStringLiteral("Phones: 2 connected"), 5000);
        const MenuNode phones = *layout().child(QStringLiteral("Phones"));
        QCOMPARE(phones.children.size(), 2);
        QStringList shown = phones.labels();
        shown.sort();
        QVERIFY2(shown[0].endsWith(QStringLiteral("   \u2192   ch 1\u20132")),
                 qPrintable(shown[0]));
        QVERIFY2(shown[1].endsWith(QStringLiteral("   \u2192   ch 3\u20134")),
                 qPrintable(shown[1]));

        // A phone's detail submenu is filled when the panel is about to show it.
        const int detailId = phones.children.front().id;
        aboutToShow(detailId);
        QTRY_VERIFY(layout(detailId).labels().contains(QStringLiteral("Send to channels")));
        QVERIFY(layout(detailId).child(QStringLiteral("Address 127.0.0.")).has_value());

        // The daemon dies: the app says so and starts another.
        const std::vector<pid_t> before = childrenNamed(app->pid(), "vocarid");
        QCOMPARE(before.size(), size_t{1});
        kill(before.front(), SIGKILL);
        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("\u26A0")),
                                  QStringLiteral("\u26A0 Server stopped \u2014 restarting\u2026"),
                                  5000);
        QTRY_VERIFY_WITH_TIMEOUT(childrenNamed(app->pid(), "vocarid").size() == 1 &&
                                     childrenNamed(app->pid(), "vocarid") != before,
                                 10000);

        // "Restart Server", clicked as a panel clicks it, replaces the daemon once more.
        const std::vector<pid_t> restarted = childrenNamed(app->pid(), "vocarid");
        menuEvent(layout().child(QStringLiteral("Restart Server"))->id, "clicked");
        QTRY_VERIFY_WITH_TIMEOUT(childrenNamed(app->pid(), "vocarid").size() == 1 &&
                                     childrenNamed(app->pid(), "vocarid") != restarted,
                                 10000);
        QTRY_VERIFY_WITH_TIMEOUT(pairing.match(row(QStringLiteral("Pairing"))).hasMatch(), 20000);
        QCOMPARE(kill(restarted.front(), 0), -1);
    }

    void aNewPairingCodeAnsweredGenerateInItsDialogReachesTheMenuAndTheFile() {
        const std::string xdotool = test::findExecutable("xdotool");
        if (xdotool.empty()) {
            QSKIP("needs xdotool (package xdotool) to answer the dialog as a person would");
        }
        const uint32_t before = pairingCode();
        menuEvent(layout().child(QStringLiteral("New Pairing Code"))->id, "clicked");
        // The question comes up as a window of its own; Return presses its default button.
        auto environment = test::isolatedEnvironment(home.path());
        environment["DISPLAY"] = display_;
        auto find = ChildProcess::start(
            {xdotool, "search", "--sync", "--onlyvisible", "--name", "^Vocari$"}, environment);
        QCOMPARE(find->waitForExit(20000), std::optional<int>(0));
        const std::string dialog = find->lines(ChildProcess::Stream::Out).back();
        auto answer = ChildProcess::start(
            {xdotool, "windowfocus", "--sync", dialog, "key", "--clearmodifiers", "Return"},
            environment);
        QCOMPARE(answer->waitForExit(20000), std::optional<int>(0));
        const QRegularExpression pairing(
            QStringLiteral("^Pairing code: (\\d{6})   \\(click to copy\\)$"));
        QTRY_VERIFY_WITH_TIMEOUT(
            pairing.match(row(QStringLiteral("Pairing"))).hasMatch() &&
                pairing.match(row(QStringLiteral("Pairing"))).captured(1).toUInt() != before,
            20000);
        QCOMPARE(pairing.match(row(QStringLiteral("Pairing"))).captured(1).toUInt(), pairingCode());
    }

    void aDeviceChosenInTheMenuIsPlayedIntoAndAPinMovesAPhoneWithoutARestart() {
        // A second loopback device is plugged in: the menu offers it within a device check.
        const std::string device = home.path() + "/audio/second.device";
        test::writeFile(device + ".part",
                        "uid=second-loop\nname=Second Loop\ntransport=virtual\n"
                        "input_channels=16\noutput_channels=16\n");
        std::filesystem::rename(device + ".part", device);
        QTRY_VERIFY_WITH_TIMEOUT(
            entry(QStringLiteral("Audio device"), QStringLiteral("Second Loop")).has_value(),
            15000);
        const std::vector<pid_t> before = childrenNamed(app->pid(), "vocarid");
        menuEvent(entry(QStringLiteral("Audio device"), QStringLiteral("Second Loop"))->id,
                  "clicked");
        QTRY_COMPARE_WITH_TIMEOUT(
            row(QStringLiteral("Audio device")),
            QStringLiteral("Audio device: Second Loop  \u00B7  8 phone slots"), 20000);
        QVERIFY(childrenNamed(app->pid(), "vocarid") != before);

        // A phone plays on the first pair; pinned to channels 5-6, it moves there at once.
        auto streaming = phone(pairingCode(), "127.0.0.4");
        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("Phones")),
                                  QStringLiteral("Phones: 1 connected"), 20000);
        const std::vector<pid_t> daemon = childrenNamed(app->pid(), "vocarid");
        const MenuNode detail = layout().child(QStringLiteral("Phones"))->children.front();
        QVERIFY2(detail.label().endsWith(QStringLiteral("ch 1\u20132")),
                 qPrintable(detail.label()));
        aboutToShow(detail.id);
        QTRY_VERIFY(layout(detail.id).child(QStringLiteral("5\u20136")).has_value());
        menuEvent(layout(detail.id).child(QStringLiteral("5\u20136"))->id, "clicked");
        QTRY_VERIFY_WITH_TIMEOUT(
            entry(QStringLiteral("Phones"), QStringLiteral("vocari-phone")).has_value() &&
                entry(QStringLiteral("Phones"), QStringLiteral("vocari-phone"))
                    ->label()
                    .endsWith(QStringLiteral("ch 5\u20136")),
            10000);

        auto capture =
            ChildProcess::start({test::binaryPath("vocari-capture"), "--device", "second-loop",
                                 "--seconds", "2", "--out", home.file("pinned.wav")},
                                test::isolatedEnvironment(home.path()));
        QCOMPARE(capture->waitForExit(20000), std::optional<int>(0));
        const test::Recording recording = test::readRecording(home.file("pinned.wav"));
        QCOMPARE(recording.channels, 16);
        const auto channels = summariseChannels(recording.samples, recording.channels, 48000.0);
        for (const int c : {4, 5}) {
            QVERIFY2(std::abs(channels[static_cast<size_t>(c)].dominantHz - 440.0) < 2.0,
                     qPrintable(QString::number(channels[static_cast<size_t>(c)].dominantHz)));
        }
        QVERIFY(channels[0].peak < 0.01 && channels[1].peak < 0.01);
        QCOMPARE(childrenNamed(app->pid(), "vocarid"), daemon);
    }

    void aBluetoothPhoneChosenInTheMenuStreamsThroughTheRelay() {
        auto environment = test::isolatedEnvironment(home.path());
        environment["VOCARI_BLUETOOTH_DIR"] = home.path() + "/bt";
        auto bluetooth = ChildProcess::start({test::binaryPath("vocari-phone"),
                                              "--bluetooth",
                                              "--bt-address",
                                              "AA-BB-CC-DD-EE-01",
                                              "--name",
                                              "Pixel BT",
                                              "--code",
                                              std::to_string(pairingCode()),
                                              "--codec",
                                              "opus",
                                              "--tone",
                                              "880",
                                              "--device-id",
                                              "77",
                                              "--seconds",
                                              "6",
                                              "--bt-test-ms",
                                              "1500",
                                              "hello",
                                              "stream",
                                              "bye"},
                                             environment);
        // Offered in the Bluetooth submenu once the sweep has asked it, then chosen there.
        QTRY_VERIFY_WITH_TIMEOUT(
            entry(QStringLiteral("Bluetooth"), QStringLiteral("Pixel BT")).has_value(), 20000);
        menuEvent(entry(QStringLiteral("Bluetooth"), QStringLiteral("Pixel BT"))->id, "clicked");
        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("Bluetooth")),
                                  QStringLiteral("Bluetooth: testing the link to Pixel BT\u2026"),
                                  20000);
        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("Bluetooth")),
                                  QStringLiteral("Bluetooth: streaming from Pixel BT"), 20000);
        // The USB tunnel stands aside at its next look.
        QTRY_COMPARE_WITH_TIMEOUT(
            row(QStringLiteral("USB")),
            QStringLiteral("USB: standing aside for Bluetooth \u2014 Pixel 7"), 10000);

        // Heard on the pair the phones submenu gives it.
        QTRY_VERIFY_WITH_TIMEOUT(
            entry(QStringLiteral("Phones"), QStringLiteral("Pixel BT")).has_value(), 10000);
        const QString label = entry(QStringLiteral("Phones"), QStringLiteral("Pixel BT"))->label();
        const int first = label.mid(label.indexOf(QStringLiteral("ch ")) + 3)
                              .section(QChar(0x2013), 0, 0)
                              .toInt() -
                          1;
        auto capture =
            ChildProcess::start({test::binaryPath("vocari-capture"), "--device", "second-loop",
                                 "--seconds", "2", "--out", home.file("bluetooth.wav")},
                                test::isolatedEnvironment(home.path()));
        QCOMPARE(capture->waitForExit(20000), std::optional<int>(0));
        const test::Recording recording = test::readRecording(home.file("bluetooth.wav"));
        const auto channels = summariseChannels(recording.samples, recording.channels, 48000.0);
        QVERIFY2(first >= 0 && first + 1 < static_cast<int>(channels.size()), qPrintable(label));
        for (const int c : {first, first + 1}) {
            QVERIFY2(std::abs(channels[static_cast<size_t>(c)].dominantHz - 880.0) < 2.0,
                     qPrintable(label));
        }

        // The phone heard the daemon's heartbeats, and its detach leaves the link looking.
        QCOMPARE(bluetooth->waitForExit(20000), std::optional<int>(0));
        const QRegularExpression heard(QStringLiteral("heard [1-9][0-9]* heartbeats"));
        bool heartbeats = false;
        for (const std::string& line : bluetooth->lines(ChildProcess::Stream::Out)) {
            heartbeats = heartbeats || heard.match(QString::fromStdString(line)).hasMatch();
        }
        QVERIFY(heartbeats);
        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("Bluetooth")),
                                  QStringLiteral("Bluetooth: looking for Pixel BT\u2026"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(row(QStringLiteral("USB")),
                                  QStringLiteral("USB: ready \u2014 Pixel 7"), 10000);
    }
};

}  // namespace
}  // namespace vocari

QTEST_MAIN(vocari::TrayTest)
#include "tray_e2e_test.moc"
