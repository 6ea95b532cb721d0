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
    bool report = false;
    std::string analyse;
    CLI::App app{"Records what a simulated Vocari audio device plays (32-bit float WAV)."};
    auto* device = app.add_option("--device", options.deviceUid, "UID of the device to record");
    auto* seconds = app.add_option("--seconds", options.seconds, "how long to record");
    auto* out = app.add_option("--out", options.outPath, "WAV file to write");
    app.add_flag("--report", report,
                 "after recording, print each stereo pair's level and dominant frequency");
    app.add_option("--analyse", analyse, "only print what an existing recording holds")
        ->check(CLI::ExistingFile)
        ->excludes(device, seconds, out);
    CLI11_PARSE(app, argc, argv);
    if (!analyse.empty()) {
        return vocari::reportRecording(analyse, stdout, stderr);
    }
    if (device->count() == 0 || seconds->count() == 0 || out->count() == 0) {
        std::fprintf(stderr,
                     "vocari-capture: --device, --seconds and --out are needed to "
                     "record (or --analyse FILE)\n");
        return 2;
    }
    options.folder = vocari::simAudioFolder();

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const int status = vocari::captureDevice(options, interrupted, stdout, stderr);
    if (status != 0 || !report) {
        return status;
    }
    return vocari::reportRecording(options.outPath, stdout, stderr);
}
