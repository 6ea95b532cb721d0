#pragma once

// What the phone's microphone hears: a steady tone, a WAV file played in a loop, or clicks heard
// by every phone at the same moment, delivered as 48000 Hz float frames for a mono or stereo
// stream.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vocari::phone {

class PhoneClock;

inline constexpr int kSampleRate = 48000;

class AudioSource {
  public:
    virtual ~AudioSource() = default;
    // Fills `interleaved` with the next frames (its size / channels of them) of the stream's
    // channel count, continuing where the last call stopped. `phoneTimeNs` is the phone-clock
    // time of the first of them, for sources that follow the world's time. Allocates nothing.
    virtual void read(std::span<float> interleaved, int64_t phoneTimeNs) = 0;
};

// level × sin(2π × frequency × n / 48000) for frame n, the same on every channel. Each sample is
// computed from its frame index, so the tone keeps its phase exactly over any length of stream.
class ToneSource final : public AudioSource {
  public:
    ToneSource(double frequencyHz, double level, int channels);
    void read(std::span<float> interleaved, int64_t phoneTimeNs) override;

    // The tone's value at frame `frame`: what read() delivers there.
    static float sample(double frequencyHz, double level, uint64_t frame);

  private:
    double frequency_;
    double level_;
    int channels_;
    uint64_t frame_ = 0;
};

// A 48000 Hz WAV file read through libsndfile, from the start again whenever it ends. A mono
// stream takes the file's first channel; a stereo stream its first two, or the one channel of a
// mono file on both sides.
class WavSource final : public AudioSource {
  public:
    // Null with `error` set when the file cannot be read or does not suit a stream.
    static std::unique_ptr<WavSource> open(const std::string& path, int channels,
                                           std::string& error);
    ~WavSource() override;
    WavSource(const WavSource&) = delete;
    WavSource& operator=(const WavSource&) = delete;

    void read(std::span<float> interleaved, int64_t phoneTimeNs) override;

  private:
    WavSource(void* file, int fileChannels, int channels);

    void* file_;  // SNDFILE*, kept out of this header
    int fileChannels_;
    int channels_;
    std::vector<float> scratch_;
};

// Silence with a one-sample click of `level` at every multiple of `periodNs` of CLOCK_MONOTONIC,
// the host clock all processes here share: phones in different processes, whatever their own
// clocks' epochs and rates, hear each click at the same moment, like one sound in one room.
// What comes out of the receiver then shows each phone's latency directly.
class ClickSource final : public AudioSource {
  public:
    ClickSource(const PhoneClock& clock, int64_t periodNs, double level, int channels);
    void read(std::span<float> interleaved, int64_t phoneTimeNs) override;

  private:
    const PhoneClock& clock_;
    int64_t period_;
    float level_;
    int channels_;
};

// Empty when `path` is a WAV file a stream can play; otherwise why not. For option checks.
std::string checkWavFile(const std::string& path);

}  // namespace vocari::phone
