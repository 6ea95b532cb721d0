#pragma once

#include <sys/stat.h>

// What the controller tests share: a scheduler the test steps, the daemon's lines, menu rows.

#include <QMenu>
#include <QPointer>
#include <algorithm>
#include <functional>
#include <vector>

#include "app_delegate.h"
#include "temp_dir.h"

namespace vocari::app {

class SteppedScheduler final : public Scheduler {
  public:
    void after(double seconds, QObject* context, std::function<void()> work) override {
        tasks_.push_back({now_ + seconds, QPointer<QObject>(context), std::move(work)});
    }
    // Runs, in time order, whatever falls due within the next `seconds`.
    void advance(double seconds) {
        const double until = now_ + seconds;
        while (true) {
            auto next = std::min_element(tasks_.begin(), tasks_.end(),
                                         [](const Task& a, const Task& b) { return a.at < b.at; });
            if (next == tasks_.end() || next->at > until) {
                break;
            }
            Task task = std::move(*next);
            tasks_.erase(next);
            now_ = task.at;
            if (task.context) {
                task.work();
            }
        }
        now_ = until;
    }
    // The delays still pending, from now.
    std::vector<double> pending() const {
        std::vector<double> delays;
        for (const Task& task : tasks_) {
            delays.push_back(task.at - now_);
        }
        std::sort(delays.begin(), delays.end());
        return delays;
    }

  private:
    struct Task {
        double at;
        QPointer<QObject> context;
        std::function<void()> work;
    };
    double now_ = 0;
    std::vector<Task> tasks_;
};

inline QString deviceLine(bool active, int channels, const char* uid, const char* name) {
    return QStringLiteral("device:\t%1\t%2\t0\t%3\t%4\n")
        .arg(active ? 1 : 0)
        .arg(channels)
        .arg(QLatin1String(uid), QString::fromUtf8(name));
}

inline QString sessionLine(int slot, uint32_t deviceId, const char* name, uint64_t packets,
                           int xruns) {
    return QStringLiteral(
               "session:\t%1\t%2\t%3\t40\t45\t%4\t3.5\t1.2\tbalanced\t10.0.0.%1\topus\t%5\t%6\n")
        .arg(slot)
        .arg(2 * slot - 1)
        .arg(packets)
        .arg(xruns)
        .arg(deviceId)
        .arg(QString::fromUtf8(name));
}

inline QAction* row(QMenu* menu, const QString& prefix) {
    for (QAction* action : menu->actions()) {
        if (action->text().startsWith(prefix)) {
            return action;
        }
    }
    return nullptr;
}

// Alerts answered by the test: each run takes the next answer (-1, closed, when none is left).
// What is copied or opened is kept for the test to read.
class ScriptedAlerts final : public Alerts {
  public:
    int run(const Alert& alert) override {
        shown.push_back(alert);
        if (answers.empty()) {
            return -1;
        }
        const int answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
    void copy(const QString& text) override { clipboard = text; }
    void open(const QUrl& page) override { opened.push_back(page); }
    std::vector<int> answers;
    std::vector<Alert> shown;
    QString clipboard;
    std::vector<QUrl> opened;
};

// A controller with its pieces: fake daemons in a folder of their own, stepped time, idle
// bridges and scripted alerts.
struct Harness {
    test::TempDir dir;
    SteppedScheduler scheduler;
    IdleUsbBridge usb;
    IdleBluetoothBridge bluetooth;
    ScriptedAlerts alerts;

    // Settings and simulated audio devices inside the test's folder, for this process and the
    // daemons it starts.
    void isolate() {
        qputenv("HOME", QByteArray::fromStdString(dir.path()));
        qputenv("VOCARI_AUDIO_DIR", QByteArray::fromStdString(dir.path() + "/audio"));
        qputenv("JACK_DEFAULT_SERVER", "vocari-test-no-server");
        qputenv("PIPEWIRE_REMOTE", "vocari-test-no-server");
    }

    // A fake daemon: a shell script, executable.
    QString script(const char* name, const std::string& body) {
        const std::string path = dir.file(name);
        test::writeFile(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return QString::fromStdString(path);
    }

    std::unique_ptr<AppDelegate> launched(const QString& daemon) {
        auto app =
            std::make_unique<AppDelegate>(AppParts{daemon, &scheduler, &usb, &bluetooth, &alerts});
        app->applicationDidFinishLaunching();
        return app;
    }
};

}  // namespace vocari::app
