// The controller as the tray shows it: scripted fake daemons for supervision, the daemon's lines
// for ingest and the menu. Delays run on a scheduler the test steps; only process starts and
// exits are waited for.

#include <QTest>

#include "app_test_support.h"

namespace vocari::app {
namespace {

class AppDelegateTest : public QObject, public Harness {
    Q_OBJECT

    static QString status(AppDelegate& app) { return app.rootMenu()->actions().front()->text(); }

  private slots:
    void initTestCase() { isolate(); }
    void init() { scheduler = SteppedScheduler{}; }

    void crashesAreRestartedAfterGrowingDelays() {
        auto app = launched(script("crashing", "echo 'vocarid starting'\nexit 3\n"));
        for (int crash = 1; crash <= 3; ++crash) {
            const QString line = QStringLiteral("(status 3); restarting in %1s").arg(crash);
            QTRY_VERIFY_WITH_TIMEOUT(app->log().contains(line), 10000);
            QCOMPARE(status(*app), QStringLiteral("\u26A0 Server stopped \u2014 restarting\u2026"));
            QCOMPARE(app->restartsForTest(), crash);
            // Not a moment before its delay.
            QProcess* crashed = app->taskForTest();
            scheduler.advance(crash - 0.01);
            QCOMPARE(app->taskForTest(), crashed);
            scheduler.advance(0.01);
            QVERIFY(app->taskForTest() != crashed);
        }
        QTRY_COMPARE(app->log().count(QStringLiteral("vocarid starting")), 4);
    }

    void aDaemonUpThirtySecondsStartsTheCountAgain() {
        auto app = launched(script("up", "exec sleep 60\n"));
        scheduler.advance(30);
        QCOMPARE(app->restartsForTest(), 0);
        app->taskForTest()->kill();
        QTRY_VERIFY_WITH_TIMEOUT(app->log().contains(QStringLiteral("restarting in 1s")), 10000);
        scheduler.advance(1);
        app->taskForTest()->kill();
        QTRY_VERIFY_WITH_TIMEOUT(app->log().contains(QStringLiteral("restarting in 2s")), 10000);
        // The exit status of a killed daemon is its signal.
        QVERIFY(app->log().contains(QStringLiteral("(status 9)")));
        scheduler.advance(2);
        scheduler.advance(30);
        QCOMPARE(app->restartsForTest(), 0);
    }

    void quittingDuringAPendingRestartLaunchesNothing() {
        auto app = launched(script("quits", "exit 1\n"));
        QTRY_VERIFY_WITH_TIMEOUT(app->log().contains(QStringLiteral("restarting in 1s")), 10000);
        QProcess* crashed = app->taskForTest();
        app->quit();
        scheduler.advance(20);
        QCOMPARE(app->taskForTest(), crashed);
        QCOMPARE(app->log().count(QStringLiteral("exited")), 1);
    }

    void aPlannedRestartIsNoCrashAndCancelsAPendingOne() {
        const QString daemon = script("planned", "echo up\nexec sleep 60\n");
        auto app = launched(daemon);
        QTRY_VERIFY(app->log().contains(QStringLiteral("up")));
        app->taskForTest()->kill();
        QTRY_VERIFY_WITH_TIMEOUT(app->log().contains(QStringLiteral("restarting in 1s")), 10000);
        app->restart();
        QProcess* planned = app->taskForTest();
        QCOMPARE(planned->state(), QProcess::Running);
        QCOMPARE(app->restartsForTest(), 0);
        QVERIFY(app->log().contains(QStringLiteral("\u2014 restarting server \u2014")));
        // The restart the crash had scheduled would start a second daemon beside this one.
        scheduler.advance(1);
        QCOMPARE(app->taskForTest(), planned);
        app->restart();
        QCOMPARE(app->log().count(QStringLiteral("exited")), 1);
        QCOMPARE(status(*app), QStringLiteral("\u25CB Waiting for phone\u2026"));
    }

    void aMissingDaemonIsSaidAndNotRetried() {
        auto app = launched(QString::fromStdString(dir.file("no-such-vocarid")));
        QCOMPARE(status(*app), QStringLiteral("\u26A0 Could not start server"));
        QVERIFY(app->log().contains(QStringLiteral("Failed to launch vocarid: ")));
        QVERIFY(scheduler.pending().empty());
    }

    void outputKeepsCharactersCutByThePipeAndDropsWhatIsNotText() {
        // "—" is three bytes: the first goes out alone. Then a chunk that is not UTF-8 at all.
        auto app = launched(script("split",
                                   "printf 'pairing code: 123456\\n\\342'\nsleep 0.3\n"
                                   "printf '\\200\\224 sessions: 0\\n'\nsleep 0.3\n"
                                   "printf 'bad \\377\\n'\nsleep 0.3\n"
                                   "printf 'phone=waiting\\n'\nexec sleep 60\n"));
        QTRY_VERIFY_WITH_TIMEOUT(app->log().contains(QStringLiteral("phone=waiting")), 10000);
        QVERIFY(app->log().contains(QStringLiteral("\u2014 sessions: 0")));
        QVERIFY(!app->log().contains(QStringLiteral("bad")));
        QCOMPARE(row(app->rootMenu(), QStringLiteral("Pairing"))->text(),
                 QStringLiteral("Pairing code: 123456   (click to copy)"));
    }

    void blocksCompleteOnlyAtTheirCount() {
        auto app = launched(script("idle", "exec sleep 60\n"));
        app->ingest(QStringLiteral("devices: 2\n") + deviceLine(true, 16, "loop", "Loop 16"));
        QVERIFY(app->output().devices().empty());
        app->ingest(deviceLine(false, 2, "spk", "Speakers"));
        QCOMPARE(app->output().devices().size(), size_t{2});
        QAction* device = row(app->rootMenu(), QStringLiteral("Audio device"));
        QCOMPARE(device->text(), QStringLiteral("Audio device: Loop 16  \u00B7  8 phone slots"));

        // A session line split over two chunks is two lines that match nothing.
        const QString session = sessionLine(1, 11, "Pixel", 10, 0);
        app->ingest(QStringLiteral("sessions: 1\n") + session.left(5));
        app->ingest(session.mid(5));
        QVERIFY(app->output().phones().empty());
        // Whole, one chunk or one line at a time, it commits at the last line.
        app->ingest(QStringLiteral("sessions: 2\r\n") + session + sessionLine(2, 22, "Moto", 5, 0));
        QCOMPARE(app->output().phones().size(), size_t{2});
        app->ingest(QStringLiteral("[vocarid] phone=yes align=on\n"));
        QCOMPARE(status(*app), QStringLiteral("\u25CF 2 phones connected"));
        QVERIFY(app->connectedIconShownForTest());

        // A count of zero, or one that cannot be read, empties the list at once.
        app->ingest(QStringLiteral("sessions: x\ndevices: 0\n"));
        QVERIFY(app->output().phones().empty());
        QCOMPARE(device->text(),
                 QStringLiteral("\u26A0 No audio device \u2014 Install BlackHole\u2026"));
        QCOMPARE(row(app->rootMenu(), QStringLiteral("Phones"))->text(),
                 QStringLiteral("Phones: none connected"));
    }

    void statusFollowsPairingEventsRoutingAndAlignment() {
        auto app = launched(script("idle2", "exec sleep 60\n"));
        app->ingest(QStringLiteral("routing to default-output \"Speakers\"\nphone=waiting\n"));
        QCOMPARE(status(*app), QStringLiteral("\u25CB Waiting (\u26A0 no audio device)"));
        app->ingest(
            QStringLiteral("pairing: REJECTED 10.0.0.9 \u2014 wrong code 000001 phone=yes\n"));
        QCOMPARE(status(*app), QStringLiteral("\u26A0 Phone used the wrong pairing code"));
        app->ingest(QStringLiteral("pairing: too many wrong codes \u2014 ignoring x for 30s\n"));
        QCOMPARE(status(*app), QStringLiteral("\u26A0 Too many wrong codes \u2014 paused"));
        app->ingest(QStringLiteral("sessions: 1\n") + sessionLine(1, 7, "Pixel", 1, 0) +
                    QStringLiteral("[vocarid] phone=yes align=off\n"));
        QCOMPARE(status(*app), QStringLiteral("\u25CF 1 phone (\u26A0 no audio device)"));
        QVERIFY(!row(app->rootMenu(), QStringLiteral("Keep phones"))->isChecked());
        app->ingest(QStringLiteral("routing to VIRTUAL device\n[vocarid] phone=yes align=on\n"));
        QCOMPARE(status(*app), QStringLiteral("\u25CF 1 phone connected"));
        QVERIFY(row(app->rootMenu(), QStringLiteral("Keep phones"))->isChecked());
    }

    void aLoopbackDeviceThatAppearsLaterGetsTheDaemonOnceARun() {
        auto app = launched(script("speakers", "exec sleep 60\n"));
        QAction* device = row(app->rootMenu(), QStringLiteral("Audio device"));
        // Before any device list the row is only a title.
        device->trigger();
        QVERIFY(alerts.shown.empty());
        app->ingest(QStringLiteral("routing to default-output \"Speakers\"\ndevices: 0\n"));
        device->trigger();
        QCOMPARE(alerts.shown.size(), size_t{1});

        QProcess* first = app->taskForTest();
        app->ingest(QStringLiteral("devices: 1\n") + deviceLine(false, 16, "jack:default", "JACK"));
        scheduler.advance(0);
        QVERIFY(app->taskForTest() != first);
        QCOMPARE(app->log().count(QStringLiteral("\u2014 restarting server \u2014")), 1);
        device->trigger();
        QCOMPARE(alerts.shown.size(), size_t{1});

        // A daemon that still cannot use it is not restarted again.
        app->ingest(QStringLiteral("routing to default-output \"Speakers\"\ndevices: 2\n") +
                    deviceLine(false, 16, "jack:default", "JACK") +
                    deviceLine(false, 2, "other", "Other"));
        scheduler.advance(1);
        QCOMPARE(app->log().count(QStringLiteral("\u2014 restarting server \u2014")), 1);
    }

    void theLogKeepsTheLast160000CharactersOnceItPasses200000() {
        auto app = launched(script("idle3", "exec sleep 60\n"));
        const qsizetype before = app->log().size();
        app->ingest(QString(200000 - before, QLatin1Char('a')));
        QCOMPARE(app->log().size(), qsizetype{200000});
        app->ingest(QStringLiteral("bc"));
        QCOMPARE(app->log().size(), qsizetype{160000});
        QVERIFY(app->log().endsWith(QStringLiteral("aabc")));
        // Characters are what a reader counts: an accented letter of two code points is one.
        app->ingest(QString(40000 - 1, QLatin1Char('a')) + QStringLiteral("e\u0301"));
        QCOMPARE(app->log().size(), qsizetype{200001});
        app->ingest(QStringLiteral("z"));
        QCOMPARE(app->log().size(), qsizetype{160000 + 1});
    }

    void phonesSubmenuIsRebuiltOnlyWhenWhatItShowsChanges() {
        auto app = launched(script("idle4", "exec sleep 60\n"));
        app->ingest(QStringLiteral("devices: 1\n") + deviceLine(true, 16, "loop", "Loop"));
        app->ingest(QStringLiteral("sessions: 1\n") + sessionLine(1, 7, "Pixel", 100, 0));
        QAction* phones = row(app->rootMenu(), QStringLiteral("Phones"));
        QMenu* shown = phones->menu();
        QVERIFY(shown != nullptr);
        app->ingest(QStringLiteral("sessions: 1\n") + sessionLine(1, 7, "Pixel", 200, 0));
        QCOMPARE(phones->menu(), shown);

        // The detail submenu is filled as it opens, with the latest numbers.
        auto* detail = qobject_cast<PhoneDetailMenu*>(shown->actions().front()->menu());
        QVERIFY(detail != nullptr);
        emit detail->aboutToShow();
        QStringList rows;
        for (QAction* action : detail->actions()) {
            rows << action->text();
        }
        QCOMPARE(rows.mid(0, 3),
                 (QStringList{QStringLiteral("Send to channels"), QStringLiteral("1\u20132"),
                              QStringLiteral("3\u20134")}));
        QCOMPARE(rows.size(), 1 + 8 + 1 + 6);
        QVERIFY(detail->actions()[1]->isChecked() && detail->actions()[1]->isEnabled());
        QVERIFY(rows.contains(QStringLiteral("Dropouts 0 \u00B7 packets 200")));
        QVERIFY(rows.contains(QStringLiteral("Network delay 1.2 ms")));
        QVERIFY(rows.contains(QStringLiteral("Profile: balanced \u00B7 OPUS")));

        app->ingest(QStringLiteral("sessions: 1\n") + sessionLine(1, 7, "Pixel", 300, 1));
        QVERIFY(phones->menu() != shown);
        QCOMPARE(phones->menu()->actions().front()->text(),
                 QStringLiteral("Pixel   \u2192   ch 1\u20132  \u26A0 1"));
    }

    void aRebuildWhileTheMenuIsOpenWaitsUntilItCloses() {
        auto app = launched(script("idle5", "exec sleep 60\n"));
        QAction* phones = row(app->rootMenu(), QStringLiteral("Phones"));
        app->menuWillOpen(app->rootMenu());
        app->ingest(QStringLiteral("sessions: 2\n") + sessionLine(1, 7, "Pixel", 1, 0) +
                    sessionLine(2, 8, "Moto", 1, 0));
        QCOMPARE(phones->text(), QStringLiteral("Phones: none"));
        QVERIFY(phones->menu() == nullptr);
        app->menuDidClose(app->rootMenu());
        QCOMPARE(phones->text(), QStringLiteral("Phones: 2 connected"));
        QCOMPARE(phones->menu()->actions().size(), 2);
        QVERIFY(row(app->rootMenu(), QStringLiteral("Keep phones"))->isEnabled());

        // A panel that never says the menu closed holds the rows back for a minute at most.
        app->menuWillOpen(app->rootMenu());
        app->ingest(QStringLiteral("sessions: 1\n") + sessionLine(1, 7, "Pixel", 1, 0));
        scheduler.advance(59);
        QCOMPARE(phones->text(), QStringLiteral("Phones: 2 connected"));
        scheduler.advance(1);
        QCOMPARE(phones->text(), QStringLiteral("Phones: 1 connected"));
    }

    void theRootMenuHasItsEighteenRows() {
        auto app = launched(script("idle6", "exec sleep 60\n"));
        QStringList rows;
        for (QAction* action : app->rootMenu()->actions()) {
            rows << (action->isSeparator() ? QStringLiteral("-") : action->text());
        }
        QCOMPARE(
            rows,
            (QStringList{
                QStringLiteral("\u25CB Waiting for phone\u2026"), "-",
                QStringLiteral("Pairing code: \u2026"), QStringLiteral("New Pairing Code\u2026"),
                "-", QStringLiteral("USB: no phone connected"), QStringLiteral("Bluetooth: off"),
                "-", QStringLiteral("Phones: none"), QStringLiteral("Keep phones in sync"), "-",
                QStringLiteral("Audio device: \u2026"), QString(), "-",
                QStringLiteral("Show Log\u2026"), QStringLiteral("Restart Server"), "-",
                QStringLiteral("Quit Vocari")}));
        QStringList bluetoothRows;
        for (QAction* action :
             row(app->rootMenu(), QStringLiteral("Bluetooth"))->menu()->actions()) {
            bluetoothRows << (action->isSeparator() ? QStringLiteral("-") : action->text());
        }
        QCOMPARE(
            bluetoothRows,
            (QStringList{QStringLiteral("Off"), "-", QStringLiteral("No phone is offering Vocari"),
                         QStringLiteral("Open Vocari on the phone and choose Bluetooth")}));
    }
};

}  // namespace
}  // namespace vocari::app

QTEST_MAIN(vocari::app::AppDelegateTest)
#include "app_delegate_test.moc"
