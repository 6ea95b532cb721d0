#include "resampler.h"

#include <algorithm>

namespace vocari {

void LinearResampler::start(SampleRing& ring) {
    reset();
    ring.takeFrame(prev_);
    ring.takeFrame(next_);
}

bool LinearResampler::advance(SampleRing& ring) {
    if (batchAt_ == batchEnd_) {
        batchAt_ = 0;
        batchEnd_ = ring.takeFrames(
            batch_, static_cast<std::size_t>(std::min<uint64_t>(owed_, kBatchFrames)));
        owed_ -= batchEnd_;
        if (batchEnd_ == 0) {
            return false;
        }
    }
    next_[0] = batch_[2 * batchAt_];
    next_[1] = batch_[2 * batchAt_ + 1];
    ++batchAt_;
    return true;
}

std::size_t LinearResampler::render(SampleRing& ring, float* out, std::size_t frames, double step) {
    // The input frames this callback consumes: the same arithmetic as the loop below.
    double phase = phase_;
    owed_ = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        phase += step;
        while (phase >= 1.0) {
            ++owed_;
            phase -= 1.0;
        }
    }
    batchAt_ = batchEnd_ = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        out[2 * i] = static_cast<float>(prev_[0] + (next_[0] - prev_[0]) * phase_);
        out[2 * i + 1] = static_cast<float>(prev_[1] + (next_[1] - prev_[1]) * phase_);
        phase_ += step;
        while (phase_ >= 1.0) {
            prev_[0] = next_[0];
            prev_[1] = next_[1];
            if (!advance(ring)) {
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
    batchAt_ = batchEnd_ = 0;
    owed_ = 0;
}

}  // namespace vocari
