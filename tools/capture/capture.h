#pragma once

// Records what a simulated device plays, from its ring file, into a 32-bit float WAV file.

#include <atomic>
#include <cstdio>
#include <string>

namespace vocari {

struct CaptureOptions {
    std::string deviceUid;
    double seconds = 0.0;
    std::string outPath;
    std::string folder;  // the simulated audio folder
};

// Records `seconds` of the device's output from now on, following the ring's write position;
// while nothing plays into the device, its input is silence at the nominal rate. Stops early
// (keeping a valid file) when `interrupted` becomes true. Reports on `report`, errors on
// `errors`; returns the process exit status (0 on success).
int captureDevice(const CaptureOptions& options, const std::atomic<bool>& interrupted, FILE* report,
                  FILE* errors);

// Reads a recording and prints what each stereo pair holds (describePairs). Returns the exit
// status: 1 when the file cannot be read.
int reportRecording(const std::string& path, FILE* report, FILE* errors);

}  // namespace vocari
