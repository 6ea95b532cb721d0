#include "audio_source.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "phone_clock.h"

namespace vocari::phone {

namespace {

// Frames read from the file per libsndfile call.
constexpr size_t kChunkFrames = 1024;

// Opens `path` for reading and checks it suits a stream; null with `error` set otherwise.
SNDFILE* openWav(const std::string& path, SF_INFO& info, std::string& error) {
    info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    if (info.samplerate != kSampleRate) {
        error = path + ": sample rate is " + std::to_string(info.samplerate) + " Hz, not " +
                std::to_string(kSampleRate) + " Hz";
    } else if (info.frames <= 0) {
        error = path + ": holds no audio";
    } else if (info.channels < 1) {
        error = path + ": has no channels";
    } else {
        return file;
    }
    sf_close(file);
    return nullptr;
}

}  // namespace

ToneSource::ToneSource(double frequencyHz, double level, int channels)
    : frequency_(frequencyHz), level_(level), channels_(channels) {}

float ToneSource::sample(double frequencyHz, double level, uint64_t frame) {
    // The phase is reduced to whole cycles first so that it stays exact for long streams.
    const double cycles =
        std::fmod(frequencyHz * static_cast<double>(frame), static_cast<double>(kSampleRate)) /
        kSampleRate;
    return static_cast<float>(level * std::sin(2.0 * std::numbers::pi * cycles));
}

void ToneSource::read(std::span<float> interleaved, int64_t /*phoneTimeNs*/) {
    const auto channels = static_cast<size_t>(channels_);
    for (size_t at = 0; at + channels <= interleaved.size(); at += channels) {
        const float value = sample(frequency_, level_, frame_++);
        std::fill_n(interleaved.begin() + static_cast<std::ptrdiff_t>(at), channels, value);
    }
}

std::unique_ptr<WavSource> WavSource::open(const std::string& path, int channels,
                                           std::string& error) {
    SF_INFO info{};
    SNDFILE* file = openWav(path, info, error);
    if (file == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<WavSource>(new WavSource(file, info.channels, channels));
}

WavSource::WavSource(void* file, int fileChannels, int channels)
    : file_(file),
      fileChannels_(fileChannels),
      channels_(channels),
      scratch_(kChunkFrames * static_cast<size_t>(fileChannels)) {}

WavSource::~WavSource() {
    sf_close(static_cast<SNDFILE*>(file_));
}

void WavSource::read(std::span<float> interleaved, int64_t /*phoneTimeNs*/) {
    auto* file = static_cast<SNDFILE*>(file_);
    const auto channels = static_cast<size_t>(channels_);
    const auto fileChannels = static_cast<size_t>(fileChannels_);
    size_t wanted = interleaved.size() / channels;
    float* out = interleaved.data();
    bool rewound = false;
    while (wanted > 0) {
        const auto chunk = static_cast<sf_count_t>(std::min(wanted, kChunkFrames));
        const sf_count_t got = sf_readf_float(file, scratch_.data(), chunk);
        if (got <= 0) {
            if (rewound) {
                // The file gave nothing even from its start: it went unreadable. Silence, not
                // a spin.
                std::fill_n(out, wanted * channels, 0.0F);
                return;
            }
            sf_seek(file, 0, SEEK_SET);
            rewound = true;
            continue;
        }
        rewound = false;
        for (sf_count_t frame = 0; frame < got; ++frame) {
            const float* in = scratch_.data() + static_cast<size_t>(frame) * fileChannels;
            for (size_t channel = 0; channel < channels; ++channel) {
                *out++ = in[std::min(channel, fileChannels - 1)];
            }
        }
        wanted -= static_cast<size_t>(got);
    }
}

ClickSource::ClickSource(const PhoneClock& clock, int64_t periodNs, double level, int channels)
    : clock_(clock),
      period_(std::max<int64_t>(periodNs, 1)),
      level_(static_cast<float>(level)),
      channels_(channels) {}

void ClickSource::read(std::span<float> interleaved, int64_t phoneTimeNs) {
    std::fill(interleaved.begin(), interleaved.end(), 0.0F);
    const auto channels = static_cast<int64_t>(channels_);
    const auto frames = static_cast<int64_t>(interleaved.size()) / channels;
    const auto phoneAt = [&](int64_t frame) {
        return phoneTimeNs + frame * 1'000'000'000 / kSampleRate;
    };
    // A click is heard by the first frame captured at or after its moment: frame f hears the
    // clicks after frame f - 1 was captured, up to and including f's own moment.
    const int64_t after = clock_.monotonicAt(phoneAt(-1));
    const int64_t last = clock_.monotonicAt(phoneAt(frames - 1));
    for (int64_t click = (after / period_ + 1) * period_; click <= last; click += period_) {
        // Frame f is captured at or after the click when its phone time is past the click's
        // previous nanosecond.
        const int64_t before = clock_.at(click - 1);
        int64_t frame = std::clamp<int64_t>((before - phoneTimeNs) * kSampleRate / 1'000'000'000, 0,
                                            frames - 1);
        while (frame > 0 && phoneAt(frame - 1) > before) {
            --frame;
        }
        while (frame < frames - 1 && phoneAt(frame) <= before) {
            ++frame;
        }
        std::fill_n(interleaved.begin() + frame * channels, channels, level_);
    }
}

std::string checkWavFile(const std::string& path) {
    SF_INFO info{};
    std::string error;
    if (SNDFILE* file = openWav(path, info, error)) {
        sf_close(file);
    }
    return error;
}

}  // namespace vocari::phone
