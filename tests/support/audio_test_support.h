#pragma once

// Helpers for the tests that listen to what the audio output plays: recorded files, and a JACK
// or PipeWire server of their own.

#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace vocari::test {

// An audio file's frames, interleaved; no channels when it cannot be read.
struct Recording {
    int channels = 0;
    int format = 0;  // libsndfile's format word
    std::vector<float> samples;

    size_t frames() const {
        return channels == 0 ? 0 : samples.size() / static_cast<size_t>(channels);
    }
    float at(size_t frame, int channel) const {
        return samples[frame * static_cast<size_t>(channels) + static_cast<size_t>(channel)];
    }
    // One channel's samples.
    std::vector<float> channel(int index) const;
};

Recording readRecording(const std::string& path);

// Starts `jackd -n name -d dummy -r rate -p 256`. Null, with the reason in `why`, when JACK
// cannot run here (not installed, or the server gives up at once).
std::unique_ptr<ChildProcess> startJackServer(const std::string& name, int rate, std::string& why);

// A headless PipeWire of the test's own: `pipewire`, then `wireplumber` (configured to leave
// sound cards unreserved and to do without the flatpak portal and Bluetooth), then
// `pipewire-pulse`, all on a private runtime folder. With no sound card, PipeWire's dummy
// driver runs the graph. Ended by PID, last started first.
class PipeWireServer {
  public:
    // Null, with the reason in `why`, when PipeWire cannot run here.
    static std::unique_ptr<PipeWireServer> start(const std::string& folder, std::string& why);
    ~PipeWireServer();
    PipeWireServer(const PipeWireServer&) = delete;
    PipeWireServer& operator=(const PipeWireServer&) = delete;

    // What a client of this server needs in its environment (PipeWire's and PulseAudio's).
    ChildProcess::EnvironmentChanges environment() const;
    const std::string& runtimeFolder() const { return runtime_; }
    // The server's processes: pipewire, wireplumber, pipewire-pulse.
    std::vector<pid_t> pids() const;

  private:
    PipeWireServer() = default;
    std::string runtime_;
    std::string config_;
    std::vector<std::unique_ptr<ChildProcess>> processes_;
};

}  // namespace vocari::test
