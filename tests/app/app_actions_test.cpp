// The user's actions as the controller carries them out: the settings files the daemon reads,
// the restarts, the pairing code, the device volume warning and the log window.

#include <QScrollBar>
#include <QTest>
#include <filesystem>

#include "app_test_support.h"
#include "process.h"

namespace vocari::app {
namespace {

class AppActionsTest : public QObject, public Harness {
    Q_OBJECT

    std::string settings(const char* name) const {
        return dir.path() + "/Library/Application Support/Vocari/" + name;
    }

    // A daemon that counts its launches and stays up.
    QString counted() {
        return script("counted", "echo run >> \"$HOME/launches\"\nexec sleep 60\n");
    }
    int launches() const {
        const std::string text = test::readFile(dir.path() + "/launches");
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    QAction row_;
    // A menu row standing for `data`, as the menus make them.
    QAction* choice(const QVariant& data) {
        row_.setData(data);
        return &row_;
    }

    void simulatedDevice(const char* uid, const std::string& volumes) {
        std::filesystem::create_directories(dir.path() + "/audio");
        test::writeFile(dir.path() + "/audio/" + uid + ".device",
                        std::string("uid=") + uid + "\nname=Loop\ntransport=virtual\n" +
                            "input_channels=16\noutput_channels=16\n" + volumes);
    }

  private slots:
    void initTestCase() { isolate(); }
    void init() {
        std::filesystem::remove_all(dir.path() + "/Library");
        std::filesystem::remove(dir.path() + "/launches");
        alerts = ScriptedAlerts{};
    }

    void channelPinsAreThisRunsOnlyInStringOrderWithoutARestart() {
        test::writeFile(settings("channels"), "99=3\n");  // left by an earlier run
        auto app = launched(counted());
        QTRY_COMPARE(launches(), 1);
        app->pickPhoneChannel(choice(QVariant::fromValue(ChannelChoice{7, 2})));
        QCOMPARE(test::readFile(settings("channels")), std::string("7=2\n"));
        QVERIFY(app->log().contains(QStringLiteral("\u2014 7 \u2192 channels 5\u20136 \u2014")));
        app->pickPhoneChannel(choice(QVariant::fromValue(ChannelChoice{12, 0})));
        app->pickPhoneChannel(choice(QVariant::fromValue(ChannelChoice{7, 1})));
        QCOMPARE(test::readFile(settings("channels")), std::string("12=0\n7=1\n"));
        // A row standing for something else does nothing.
        app->pickPhoneChannel(choice(QStringLiteral("7")));
        QCOMPARE(test::readFile(settings("channels")), std::string("12=0\n7=1\n"));
        QTest::qWait(200);
        QCOMPARE(launches(), 1);
    }

    void deviceAndAlignmentAreWrittenAndRestartTheDaemon() {
        auto app = launched(counted());
        app->ingest(QStringLiteral("devices: 1\ndevice:\t1\t16\t4\tloop\tLoop\n"));
        // The device in use, on channel 4 until now: picked again, it starts on channel 0.
        app->pickDevice(choice(QVariant::fromValue(DeviceChoice{QStringLiteral("loop"), 4})));
        QCOMPARE(test::readFile(settings("device")), std::string("uid=loop\nchannel=0\nalign=1\n"));
        QVERIFY(app->log().contains(
            QStringLiteral("\u2014 audio device set to loop, first phone on channels 1\u20132")));
        QTRY_COMPARE(launches(), 2);
        const qint64 picked = app->taskForTest()->processId();
        app->toggleAlign();
        QCOMPARE(test::readFile(settings("device")), std::string("uid=loop\nchannel=0\nalign=0\n"));
        const qint64 between = app->taskForTest()->processId();
        app->toggleAlign();
        QCOMPARE(test::readFile(settings("device")), std::string("uid=loop\nchannel=0\nalign=1\n"));
        QVERIFY(row(app->rootMenu(), QStringLiteral("Keep phones"))->isChecked());
        QVERIFY(app->log().contains(QStringLiteral("\u2014 stream alignment OFF \u2014")));
        // Each toggle replaced the daemon (the one between may be gone before it wrote a line).
        QCOMPARE(app->log().count(QStringLiteral("\u2014 restarting server \u2014")), 3);
        QVERIFY(between != picked && between > 0);
        QVERIFY(app->taskForTest()->processId() != between);
        QCOMPARE(app->taskForTest()->state(), QProcess::Running);
        QTRY_VERIFY(launches() >= 3);
    }

    void aSettingThatCannotBeWrittenStillLogsAndRestarts() {
        std::filesystem::create_directories(settings("device"));  // a folder where the file goes
        auto app = launched(counted());
        QTRY_COMPARE(launches(), 1);
        app->toggleAlign();
        QVERIFY(std::filesystem::is_directory(settings("device")));
        QVERIFY(app->log().contains(QStringLiteral("\u2014 stream alignment OFF \u2014")));
        QTRY_COMPARE(launches(), 2);
    }

    void aNewPairingCodeOnlyWhenTheUserSaysGenerate() {
        // The real daemon: it makes a new code when its stored one is gone.
        auto app = launched(QString::fromStdString(test::binaryPath("vocarid")));
        QAction* pairing = row(app->rootMenu(), QStringLiteral("Pairing"));
        QTRY_VERIFY_WITH_TIMEOUT(pairing->text().endsWith(QStringLiteral("(click to copy)")),
                                 10000);
        const std::string first = test::readFile(settings("pairing")).substr(0, 6);
        QCOMPARE(pairing->text().mid(14, 6).toStdString(), first);
        pairing->trigger();
        QCOMPARE(alerts.clipboard.toStdString(), first);

        alerts.answers = {1};  // "Cancel"
        const qint64 daemon = app->taskForTest()->processId();
        app->newPairingCode();
        QCOMPARE(alerts.shown.back().buttons,
                 (QStringList{QStringLiteral("Generate"), QStringLiteral("Cancel")}));
        QCOMPARE(test::readFile(settings("pairing")).substr(0, 6), first);
        QCOMPARE(app->taskForTest()->processId(), daemon);
        QCOMPARE(pairing->text().mid(14, 6).toStdString(), first);

        alerts.answers = {0};  // "Generate"
        app->newPairingCode();
        QCOMPARE(pairing->text(), QStringLiteral("Pairing code: \u2026"));
        // Without a code, copying leaves the clipboard as it was.
        alerts.clipboard = QStringLiteral("kept");
        pairing->trigger();
        QCOMPARE(alerts.clipboard, QStringLiteral("kept"));
        QTRY_VERIFY_WITH_TIMEOUT(pairing->text().endsWith(QStringLiteral("(click to copy)")),
                                 10000);
        const std::string second = test::readFile(settings("pairing")).substr(0, 6);
        QCOMPARE(pairing->text().mid(14, 6).toStdString(), second);
        QVERIFY(app->taskForTest()->processId() != daemon);
        app->quit();
    }

    void theVolumeWarningShowsBelowNinetyNinePercent() {
        auto app = launched(script("idle", "exec sleep 60\n"));
        QAction* warning = app->volumeItemForTest();
        const struct {
            const char* volumes;
            const char* shown;  // nullptr: hidden
        } cases[] = {
            {"output_volume=1\ninput_volume=0.5\n", "50%"},
            {"output_volume=0.989\n", "99%"},
            {"output_volume=0.99\ninput_volume=1\n", nullptr},
            {"input_volume=0.3\n", "30%"},
            {"", nullptr},  // no volume controls at all
        };
        for (const auto& c : cases) {
            simulatedDevice("vol", c.volumes);
            app->refreshVolumeWarning(QStringLiteral("vol"), QStringLiteral("Loop"));
            QCOMPARE(warning->isVisible(), c.shown != nullptr);
            if (c.shown != nullptr) {
                QCOMPARE(warning->text(), QStringLiteral("\u26A0 Loop volume is %1 \u2014 click to "
                                                         "set 100%")
                                              .arg(QLatin1String(c.shown)));
            }
        }

        // A device whose volume cannot be set keeps its warning, and nothing is logged.
        simulatedDevice("vol", "output_volume=0.5\n");
        app->ingest(QStringLiteral("devices: 1\ndevice:\t1\t16\t0\tvol\tLoop\n"));
        QVERIFY(warning->isVisible());
        std::filesystem::create_directories(dir.path() + "/audio/.lock");
        const qsizetype logged = app->log().size();
        warning->trigger();
        QVERIFY(warning->isVisible());
        QCOMPARE(app->log().size(), logged);
        std::filesystem::remove(dir.path() + "/audio/.lock");
        warning->trigger();
        QVERIFY(!warning->isVisible());
        QVERIFY(app->log().endsWith(QStringLiteral("\u2014 set vol volume to 100% \u2014\n")));
        QVERIFY(test::readFile(dir.path() + "/audio/vol.device").find("output_volume=1\n") !=
                std::string::npos);
    }

    void theLogWindowShowsTheKeptLogScrolledToItsEnd() {
        auto app = launched(script("idle", "exec sleep 60\n"));
        for (int i = 0; i < 3000; ++i) {
            app->ingest(QString(99, QLatin1Char(static_cast<char>('a' + i % 26))) +
                        QLatin1Char('\n'));
        }
        app->showLog();
        QPlainTextEdit* view = app->logViewForTest();
        QCOMPARE(view->window()->windowTitle(), QStringLiteral("Vocari Server Log"));
        QVERIFY(view->isReadOnly());
        QCOMPARE(view->toPlainText(), app->log());
        QVERIFY(app->log().size() >= 160000 && app->log().size() <= 200000);
        QCOMPARE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
        // Closed, it is only hidden; shown again, it has what came meanwhile.
        view->window()->close();
        app->ingest(QStringLiteral("later\n"));
        app->showLog();
        QCOMPARE(app->logViewForTest(), view);
        QVERIFY(view->toPlainText().endsWith(QStringLiteral("later\n")));
    }

    void helpAlertsNameTheDebianWay() {
        auto app = launched(script("idle", "exec sleep 60\n"));
        alerts.answers = {1};  // "Copy apt Command"
        app->ingest(QStringLiteral("devices: 0\n"));
        row(app->rootMenu(), QStringLiteral("\u26A0 No audio device"))->trigger();
        QCOMPARE(alerts.shown.back().message,
                 QStringLiteral("Vocari needs a virtual audio device"));
        QCOMPARE(alerts.clipboard,
                 QStringLiteral("sudo apt install pipewire wireplumber pipewire-pulse"));
        QVERIFY(
            alerts.shown.back().informative.contains(QStringLiteral("sudo apt install jackd2")));
        alerts.answers = {0};  // "Open Download Page"
        app->installBlackHole();
        QCOMPARE(alerts.opened, std::vector<QUrl>{QUrl(QStringLiteral("https://pipewire.org/"))});
        app->usbHelp();
        QVERIFY(alerts.shown.back().informative.contains(QStringLiteral("sudo apt install adb")));
        QCOMPARE(alerts.shown.back().buttons, QStringList{QStringLiteral("OK")});
    }
};

}  // namespace
}  // namespace vocari::app

QTEST_MAIN(vocari::app::AppActionsTest)
#include "app_actions_test.moc"
