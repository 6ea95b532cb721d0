#pragma once

// What the phone's microphone hears: a steady tone or a WAV file played in a loop, delivered as
// 48000 Hz float frames for a mono or stereo stream.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vocari::phone {

inline constexpr int kSampleRate = 48000;

class AudioSource {
  public:
    virtual ~AudioSource() = default;
    // Fills `interleaved` with the next frames (its size / channels of them) of the stream's
    // channel count, continuing where the last call stopped. Allocates nothing.
    virtual void read(std::span<float> interleaved) = 0;
};

// level × sin(2π × frequency × n / 48000) for frame n, the same on every channel. Each sample is
// computed from its frame index, so the tone keeps its phase exactly over any length of stream.
class ToneSource final : public AudioSource {
  public:
    ToneSource(double frequencyHz, double level, int channels);
    void read(std::span<float> interleaved) override;

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

    void read(std::span<float> interleaved) override;

  private:
    WavSource(void* file, int fileChannels, int channels);

    void* file_;  // SNDFILE*, kept out of this header
    int fileChannels_;
    int channels_;
    std::vector<float> scratch_;
};

// Empty when `path` is a WAV file a stream can play; otherwise why not. For option checks.
std::string checkWavFile(const std::string& path);

}  // namespace vocari::phone
