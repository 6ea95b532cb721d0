#include "sample_ring.h"

#include <algorithm>

namespace vocari {

namespace {

uint64_t wholeFrames(uint64_t floats) {
    return floats & ~uint64_t{1};
}

float loadSample(const float& slot) {
    return std::atomic_ref<const float>(slot).load(std::memory_order_relaxed);
}

void storeSample(float& slot, float value) {
    std::atomic_ref<float>(slot).store(value, std::memory_order_relaxed);
}

}  // namespace

SampleRing::SampleRing() : data_(kCapacity, 0.0f) {}

std::size_t SampleRing::write(const float* samples, std::size_t n) {
    const uint64_t w = writeIndex_.load(std::memory_order_relaxed);
    const uint64_t r = readIndex_.load(std::memory_order_acquire);
    const uint64_t free = kCapacity - 1 - (w - r);
    const uint64_t count = wholeFrames(std::min<uint64_t>(n, free));
    for (uint64_t i = 0; i < count; ++i) {
        storeSample(data_[(w + i) & kMask], samples[i]);
    }
    writeIndex_.store(w + count, std::memory_order_release);
    return static_cast<std::size_t>(count);
}

bool SampleRing::trimBacklog() {
    const uint64_t w = writeIndex_.load(std::memory_order_relaxed);
    uint64_t r = readIndex_.load(std::memory_order_acquire);
    if (w - r <= kBacklogLimit) {
        return false;
    }
    while (w - r > kBacklogKeep) {
        if (readIndex_.compare_exchange_weak(r, w - kBacklogKeep, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

bool SampleRing::takeFrame(double frame[2]) {
    uint64_t r = readIndex_.load(std::memory_order_acquire);
    for (;;) {
        const uint64_t w = writeIndex_.load(std::memory_order_acquire);
        if (w - r < 2) {
            return false;
        }
        const float left = loadSample(data_[r & kMask]);
        const float right = loadSample(data_[(r + 1) & kMask]);
        // Release: the writer refills this slot only after it has seen the index move past it.
        if (readIndex_.compare_exchange_weak(r, r + 2, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            frame[0] = left;
            frame[1] = right;
            return true;
        }
    }
}

std::size_t SampleRing::takeFrames(float* out, std::size_t maxFrames) {
    uint64_t r = readIndex_.load(std::memory_order_acquire);
    for (;;) {
        const uint64_t w = writeIndex_.load(std::memory_order_acquire);
        const uint64_t frames = std::min<uint64_t>((w - r) / 2, maxFrames);
        if (frames == 0) {
            return 0;
        }
        for (uint64_t i = 0; i < 2 * frames; ++i) {
            out[i] = loadSample(data_[(r + i) & kMask]);
        }
        // Release: the writer refills these slots only after it has seen the index move past.
        if (readIndex_.compare_exchange_weak(r, r + 2 * frames, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            return static_cast<std::size_t>(frames);
        }
    }
}

void SampleRing::dropOldest(uint64_t keep) {
    uint64_t r = readIndex_.load(std::memory_order_acquire);
    for (;;) {
        const uint64_t w = writeIndex_.load(std::memory_order_acquire);
        if (w - r <= keep) {
            return;
        }
        if (readIndex_.compare_exchange_weak(r, w - keep, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            return;
        }
    }
}

void SampleRing::discardAll() {
    dropOldest(0);
}

uint64_t SampleRing::depth() const {
    // The write index first: a read index loaded later can only be closer to it, so the
    // difference never exceeds the capacity.
    const uint64_t w = writeIndex_.load(std::memory_order_acquire);
    const uint64_t r = readIndex_.load(std::memory_order_acquire);
    return r > w ? 0 : w - r;
}

}  // namespace vocari
