#pragma once

// Helpers for the tests that listen to what the audio output plays: recorded files and a JACK
// server of their own.

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

}  // namespace vocari::test
