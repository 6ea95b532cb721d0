// The USB tunnel as the app runs it: changes heard once on the main thread, Debian's real adb
// with no phone, and a phone behind a scripted adb streaming through the real daemon.

#include <signal.h>

#include <QTest>
#include <filesystem>
#include <fstream>

#include "analysis.h"
#include "app_test_support.h"
#include "audio_test_support.h"
#include "process.h"

namespace vocari::app {
namespace {

using test::ChildProcess;

// Whether the environment of process `pid` holds `setting`.
bool environmentHas(pid_t pid, const std::string& setting) {
    std::ifstream environ("/proc/" + std::to_string(pid) + "/environ");
    std::string variable;
    while (std::getline(environ, variable, '\0')) {
        if (variable == setting) {
            return true;
        }
    }
    return false;
}

class AdbBridgeTest : public QObject, public Harness {
    Q_OBJECT

  private slots:
    void initTestCase() { isolate(); }

    void eachChangeIsHeardOnceOnTheMainThread() {
        std::atomic<int> probes{0};
        AdbBridge bridge(5555, [&probes](bool suspended) {
            const int n = probes.fetch_add(1);
            if (n < 2) {
                return AdbState{AdbState::Kind::NoDevice, {}};
            }
            return AdbState{suspended ? AdbState::Kind::Yielded : AdbState::Kind::Ready, "P"};
        });
        std::vector<AdbState> heard;
        bridge.start([&heard](const AdbState& state) {
            QVERIFY(QThread::currentThread() == qApp->thread());
            heard.push_back(state);
        });
        // The first result is heard even when it is where the bridge starts from.
        QTRY_COMPARE(heard.size(), size_t{1});
        for (int i = 1; i < 4; ++i) {
            bridge.poll();
            QTRY_COMPARE(probes.load(), i + 1);
        }
        bridge.setSuspended(true);
        bridge.poll();
        QTRY_COMPARE(heard.size(), size_t{3});
        QTest::qWait(50);
        QCOMPARE(heard, (std::vector<AdbState>{{AdbState::Kind::NoDevice, {}},
                                               {AdbState::Kind::Ready, "P"},
                                               {AdbState::Kind::Yielded, "P"}}));
    }

    void debiansAdbWithNoPhoneSaysSoAndItsServerStaysAsAdbLeavesIt() {
        if (!std::filesystem::exists("/usr/bin/adb")) {
            QSKIP("needs Debian's adb (package adb)");
        }
        // A server port of the test's own, so a user's adb server is left alone.
        const std::string port = std::to_string(20000 + getpid() % 20000);
        qputenv("ANDROID_ADB_SERVER_PORT", QByteArray::fromStdString(port));
        std::vector<AdbState> heard;
        {
            AdbBridge bridge;
            bridge.start([&heard](const AdbState& state) { heard.push_back(state); });
            QTRY_VERIFY_WITH_TIMEOUT(!heard.empty(), 30000);
        }
        qunsetenv("ANDROID_ADB_SERVER_PORT");
        QCOMPARE(heard.front().menuTitle(), std::string("USB: no phone connected"));
        // The server adb started for the first command outlives the bridge: other programs
        // (Android Studio, scrcpy) share it, and adb itself leaves it running.
        const std::vector<pid_t> servers = test::processesNamed("adb", [&port](pid_t pid, pid_t) {
            return environmentHas(pid, "ANDROID_ADB_SERVER_PORT=" + port);
        });
        QCOMPARE(servers.size(), size_t{1});
        kill(servers.front(), SIGKILL);
    }

    void aUsbPhoneBehindTheToolIsMappedAndHeardOnItsPair() {
        const std::string tools = dir.path() + "/Android/Sdk/platform-tools";
        std::filesystem::create_directories(tools);
        std::filesystem::copy_file(test::binaryPath("fake-adb"), tools + "/adb",
                                   std::filesystem::copy_options::overwrite_existing);
        test::writeFile(tools + "/devices", "List of devices attached\n");
        test::writeFile(tools + "/model", "Galaxy S21\n");

        // The app's own tunnel (no bridge given), with the real daemon.
        auto app = std::make_unique<AppDelegate>(
            AppParts{QString::fromStdString(test::binaryPath("vocarid")), &scheduler, nullptr,
                     &bluetooth, &alerts});
        app->applicationDidFinishLaunching();
        QAction* usbRow = row(app->rootMenu(), QStringLiteral("USB"));
        QTRY_COMPARE_WITH_TIMEOUT(usbRow->text(), QStringLiteral("USB: no phone connected"), 10000);

        // A phone is plugged in while its model question hangs: that command is ended after
        // 8 s, by its PID, and the phone is named by its serial meanwhile.
        test::writeFile(tools + "/hang", "getprop");
        test::writeFile(tools + "/devices", "List of devices attached\nR58M\tdevice\n");
        QTRY_COMPARE_WITH_TIMEOUT(usbRow->text(), QStringLiteral("USB: ready \u2014 R58M"), 20000);
        std::filesystem::remove(tools + "/hang");
        QTRY_COMPARE_WITH_TIMEOUT(usbRow->text(), QStringLiteral("USB: ready \u2014 Galaxy S21"),
                                  20000);
        // Every hung command is gone (a probe that began before the tool recovered hung too).
        const std::vector<pid_t> hung = test::processesNamed("sleep", [this](pid_t pid, pid_t) {
            return environmentHas(pid, "HOME=" + dir.path());
        });
        QVERIFY(hung.empty());
        QVERIFY(app->log().contains(QStringLiteral("USB tunnel ready \u2014 Galaxy S21\n")));
        QVERIFY(test::readFile(tools + "/calls").find("reverse tcp:5555 tcp:5555\n") !=
                std::string::npos);
        QVERIFY(!usbRow->isEnabled());

        QAction* pairing = row(app->rootMenu(), QStringLiteral("Pairing"));
        QTRY_VERIFY_WITH_TIMEOUT(pairing->text().endsWith(QStringLiteral("(click to copy)")),
                                 10000);
        const std::string code = pairing->text().mid(14, 6).toStdString();
        auto phone =
            ChildProcess::start({test::binaryPath("vocari-phone"), "--tcp", "--code", code,
                                 "--tone", "660", "--seconds", "20", "hello", "stream", "bye"},
                                test::isolatedEnvironment(dir.path()));
        QTRY_COMPARE_WITH_TIMEOUT(row(app->rootMenu(), QStringLiteral("Phones"))->text(),
                                  QStringLiteral("Phones: 1 connected"), 10000);
        auto capture = ChildProcess::start(
            {test::binaryPath("vocari-capture"), "--device", "vocari-loopback-16ch", "--seconds",
             "2", "--out", dir.file("usb.wav")},
            test::isolatedEnvironment(dir.path()));
        QCOMPARE(capture->waitForExit(20000), std::optional<int>(0));
        const test::Recording recording = test::readRecording(dir.file("usb.wav"));
        const auto channels = summariseChannels(recording.samples, recording.channels, 48000.0);
        QVERIFY(channels.size() >= 2);
        QVERIFY2(std::abs(channels[0].dominantHz - 660.0) < 2.0,
                 qPrintable(QString::number(channels[0].dominantHz)));
        QVERIFY(std::abs(channels[1].dominantHz - 660.0) < 2.0);
        app->quit();
    }
};

}  // namespace
}  // namespace vocari::app

QTEST_MAIN(vocari::app::AdbBridgeTest)
#include "adb_bridge_test.moc"
