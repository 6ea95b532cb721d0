#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

namespace vocari {

namespace {

constexpr std::size_t kWindow = 65536;  // 1.37 s at 48000 Hz; 0.73 Hz per bin

// In-place iterative radix-2 FFT; `data.size()` is a power of two.
void fft(std::vector<std::complex<double>>& data) {
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(data[i], data[j]);
        }
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const double angle = -2.0 * std::numbers::pi / static_cast<double>(length);
        const std::complex<double> unit(std::cos(angle), std::sin(angle));
        for (std::size_t start = 0; start < n; start += length) {
            std::complex<double> w(1.0, 0.0);
            for (std::size_t k = 0; k < length / 2; ++k) {
                const auto even = data[start + k];
                const auto odd = data[start + k + length / 2] * w;
                data[start + k] = even + odd;
                data[start + k + length / 2] = even - odd;
                w *= unit;
            }
        }
    }
}

}  // namespace

double ChannelSummary::rmsDbfs() const {
    return rms > 0.0 ? 20.0 * std::log10(rms) : -INFINITY;
}

namespace analysis_detail {

double dominantFrequency(const float* samples, std::size_t count, std::size_t stride, double rate) {
    std::size_t n = 1;
    while (n * 2 <= std::min(count, kWindow)) {
        n *= 2;
    }
    if (n < 64) {
        return 0.0;
    }
    // A Hann window keeps a tone between two bins from smearing over the spectrum.
    std::vector<std::complex<double>> data(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                 static_cast<double>(n - 1));
        data[i] = hann * samples[i * stride];
    }
    fft(data);
    std::size_t best = 1;
    for (std::size_t k = 1; k < n / 2; ++k) {
        if (std::abs(data[k]) > std::abs(data[best])) {
            best = k;
        }
    }
    if (std::abs(data[best]) == 0.0) {
        return 0.0;
    }
    const double left = std::log(std::abs(data[best - 1]) + 1e-300);
    const double middle = std::log(std::abs(data[best]) + 1e-300);
    const double right = best + 1 < n / 2 ? std::log(std::abs(data[best + 1]) + 1e-300) : left;
    const double denominator = left - 2.0 * middle + right;
    const double shift = denominator != 0.0 ? 0.5 * (left - right) / denominator : 0.0;
    return (static_cast<double>(best) + shift) * rate / static_cast<double>(n);
}

}  // namespace analysis_detail

std::vector<ChannelSummary> summariseChannels(const std::vector<float>& interleaved, int channels,
                                              double rate) {
    std::vector<ChannelSummary> summaries(static_cast<std::size_t>(std::max(channels, 0)));
    if (channels <= 0) {
        return summaries;
    }
    const auto width = static_cast<std::size_t>(channels);
    const std::size_t frames = interleaved.size() / width;
    const auto second = static_cast<std::size_t>(rate);
    for (std::size_t c = 0; c < width; ++c) {
        ChannelSummary& summary = summaries[c];
        double energy = 0.0;
        double loudestEnergy = -1.0;
        std::size_t loudestStart = 0;
        double windowEnergy = 0.0;
        for (std::size_t f = 0; f < frames; ++f) {
            const double v = interleaved[f * width + c];
            summary.peak = std::max(summary.peak, std::abs(v));
            energy += v * v;
            windowEnergy += v * v;
            if ((f + 1) % second == 0 || f + 1 == frames) {
                if (windowEnergy > loudestEnergy) {
                    loudestEnergy = windowEnergy;
                    loudestStart = f - f % second;
                }
                windowEnergy = 0.0;
            }
        }
        summary.rms = frames > 0 ? std::sqrt(energy / static_cast<double>(frames)) : 0.0;
        if (!summary.silent()) {
            // The analysis window starts at the loudest second, backed off so it fits.
            const std::size_t start =
                std::min(loudestStart, frames > kWindow ? frames - kWindow : std::size_t{0});
            summary.dominantHz = analysis_detail::dominantFrequency(
                interleaved.data() + start * width + c, frames - start, width, rate);
        }
    }
    return summaries;
}

std::string describePairs(const std::vector<ChannelSummary>& channels) {
    std::string text;
    char line[256];
    const auto figures = [&](const ChannelSummary& s) {
        char part[96];
        std::snprintf(part, sizeof part, "%.1f Hz at %.1f dBFS (peak %.3f)", s.dominantHz,
                      s.rmsDbfs(), s.peak);
        return std::string(part);
    };
    for (std::size_t c = 0; c + 1 < channels.size(); c += 2) {
        const ChannelSummary& left = channels[c];
        const ChannelSummary& right = channels[c + 1];
        std::string what;
        if (left.silent() && right.silent()) {
            what = "silent";
        } else if (std::abs(left.dominantHz - right.dominantHz) < 1.0 &&
                   std::abs(left.rms - right.rms) <= 0.01 * std::max(left.rms, right.rms)) {
            what = figures(left);
        } else {
            what = "left " + (left.silent() ? std::string("silent") : figures(left)) + ", right " +
                   (right.silent() ? std::string("silent") : figures(right));
        }
        std::snprintf(line, sizeof line, "channels %zu-%zu: %s\n", c + 1, c + 2, what.c_str());
        text += line;
    }
    return text;
}

}  // namespace vocari
