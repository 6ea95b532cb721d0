// Vocari: the tray app that runs vocarid and shows its phones, device and pairing code.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app_delegate.h"

namespace {

// SIGTERM and SIGINT end the app as "Quit Vocari" does, so the daemon is stopped with it: the
// handler only writes a byte, which the main loop reads.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vocari"));
    QApplication::setQuitOnLastWindowClosed(false);

    vocari::app::AppDelegate delegate(vocari::app::AppParts{});
    QSocketNotifier* notifier = nullptr;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &application);
        QObject::connect(notifier, &QSocketNotifier::activated, &delegate, [&delegate] {
            char byte = 0;
            [[maybe_unused]] const ssize_t got = read(signalPipe[0], &byte, 1);
            delegate.quit();
        });
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    delegate.applicationDidFinishLaunching();
    QApplication::exec();
    delegate.applicationWillTerminate();
    return 0;
}
