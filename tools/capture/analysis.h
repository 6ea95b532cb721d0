#pragma once

// What a recording of a loopback device holds, pair by pair: each channel's level and dominant
// frequency. The demo prints it; the end-to-end tests check it.

#include <cstddef>
#include <string>
#include <vector>

namespace vocari {

struct ChannelSummary {
    double peak = 0.0;        // largest absolute sample
    double rms = 0.0;         // over the whole recording
    double dominantHz = 0.0;  // strongest frequency of the loudest second; 0 when silent
    bool silent() const { return peak == 0.0; }
    // RMS in dB relative to full scale (a full-scale sine is -3.0 dBFS).
    double rmsDbfs() const;
};

// One summary per channel of `frames` interleaved frames at `rate` Hz.
std::vector<ChannelSummary> summariseChannels(const std::vector<float>& interleaved, int channels,
                                              double rate);

// "channels 1-2: 440.0 Hz at -9.0 dBFS (peak 0.500)" per stereo pair, or "channels 3-4: silent";
// a pair whose two channels differ gets both channels' figures.
std::string describePairs(const std::vector<ChannelSummary>& channels);

namespace analysis_detail {

// Frequency of the strongest component of `samples` (any length; the first power-of-two window
// is used), with parabolic peak interpolation; 0 for silence.
double dominantFrequency(const float* samples, std::size_t count, std::size_t stride, double rate);

}  // namespace analysis_detail

}  // namespace vocari
