#include "resampler.h"

namespace vocari {

void LinearResampler::start(SampleRing& ring) {
    reset();
    ring.takeFrame(prev_);
    ring.takeFrame(next_);
}

std::size_t LinearResampler::render(SampleRing& ring, float* out, std::size_t frames, double step) {
    for (std::size_t i = 0; i < frames; ++i) {
        out[2 * i] = static_cast<float>(prev_[0] + (next_[0] - prev_[0]) * phase_);
        out[2 * i + 1] = static_cast<float>(prev_[1] + (next_[1] - prev_[1]) * phase_);
        phase_ += step;
        while (phase_ >= 1.0) {
            prev_[0] = next_[0];
            prev_[1] = next_[1];
            if (!ring.takeFrame(next_)) {
                return i;
            }
            phase_ -= 1.0;
        }
    }
    return frames;
}

void LinearResampler::reset() {
    phase_ = 0.0;
    prev_[0] = prev_[1] = 0.0;
    next_[0] = next_[1] = 0.0;
}

}  // namespace vocari
