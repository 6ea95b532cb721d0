// vocari-capture: records what a simulated loopback device plays into a WAV file.

#include <signal.h>
#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>

#include "capture.h"
#include "vocari/sim_audio.h"

namespace {

std::atomic<bool> interrupted{false};

void onSignal(int) {
    interrupted.store(true, std::memory_order_relaxed);
}

}  // namespace

int main(int argc, char** argv) {
    vocari::CaptureOptions options;
    CLI::App app{"Records what a simulated Vocari audio device plays (32-bit float WAV)."};
    app.add_option("--device", options.deviceUid, "UID of the device to record")->required();
    app.add_option("--seconds", options.seconds, "how long to record")->required();
    app.add_option("--out", options.outPath, "WAV file to write")->required();
    CLI11_PARSE(app, argc, argv);
    options.folder = vocari::simAudioFolder();

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return vocari::captureDevice(options, interrupted, stdout, stderr);
}
