#pragma once

// Reads a SampleRing at any rate near 1:1 by linear interpolation between neighbouring frames:
// the resampling from the phone's clock to the device's. Render thread only; lock-free;
// allocates nothing.

#include <cstddef>

#include "sample_ring.h"

namespace vocari {

class LinearResampler {
  public:
    // Starts at the ring's oldest frame: takes it and the next as the pair to interpolate
    // between (silence for any the ring does not have).
    void start(SampleRing& ring);

    // Writes up to `frames` interleaved stereo frames to `out`, advancing `step` input frames
    // per output frame. Returns how many it wrote; fewer than `frames` when the ring ran dry,
    // and then the frame at that index was written too but has no successor to lean on.
    std::size_t render(SampleRing& ring, float* out, std::size_t frames, double step);

    // Forgets the position: the next start begins afresh.
    void reset();

    double phase() const { return phase_; }

  private:
    // Input frames are taken from the ring in batches, one move of its read index each, and
    // never more than the callback consumes, so nothing is held back between callbacks.
    static constexpr std::size_t kBatchFrames = 256;

    bool advance(SampleRing& ring);

    double phase_ = 0.0;
    double prev_[2] = {0.0, 0.0};
    double next_[2] = {0.0, 0.0};
    float batch_[2 * kBatchFrames] = {};
    std::size_t batchAt_ = 0;
    std::size_t batchEnd_ = 0;
    uint64_t owed_ = 0;  // input frames this callback still consumes beyond the batch
};

}  // namespace vocari
