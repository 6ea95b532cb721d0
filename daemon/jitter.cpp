#include "jitter.h"

#include <algorithm>
#include <cmath>

namespace vocari {

namespace {

constexpr double kFastWeight = 0.1;
constexpr double kCleanSeconds = 8.0;

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

const char* bufferPresetName(uint32_t preset) {
    switch (static_cast<BufferPreset>(preset)) {
        case BufferPreset::Low:
            return "low";
        case BufferPreset::Safe:
            return "safe";
        case BufferPreset::Fixed:
            return "fixed";
        case BufferPreset::Balanced:
            break;
    }
    return "balanced";
}

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

JitterConsumer::JitterConsumer(SampleRing& ring, double sampleRate, double targetMs)
    : ring_(&ring),
      sampleRate_(sampleRate),
      initialTargetMs_(targetMs),
      stepDown_(depthFor(0.002)),
      overflowSlack_(depthFor(0.03)),
      stepInterval_(static_cast<uint64_t>(sampleRate * kCleanSeconds)),
      minTarget_(depthFor(0.012)),
      maxTarget_(depthFor(0.25)),
      stepUp_(depthFor(0.025)),
      target_(depthFor(targetMs / 1000.0)) {}

uint64_t JitterConsumer::depthFor(double seconds) const {
    return 2 * static_cast<uint64_t>(seconds * sampleRate_);
}

void JitterConsumer::boundTarget(uint64_t candidate) {
    if (adaptive_) {
        candidate = std::max(candidate, minTarget_);
        candidate = std::min(candidate, maxTarget_);
    }
    if (depthCap_ != 0) {
        candidate = std::min(candidate, depthCap_);
    }
    target_.store(candidate, std::memory_order_relaxed);
}

void JitterConsumer::applyPreset(int preset, int fixedMs) {
    fixedMs = std::clamp(fixedMs, kMinFixedMs, kMaxFixedMs);
    appliedPreset_.store(static_cast<uint32_t>(preset), std::memory_order_relaxed);
    appliedFixedMs_ = fixedMs;
    adaptive_ = true;
    double initialMs = 45.0;
    switch (preset) {
        case static_cast<int>(BufferPreset::Fixed):
            minTarget_ = maxTarget_ = depthFor(fixedMs / 1000.0);
            stepUp_ = 0;
            adaptive_ = false;
            initialMs = fixedMs;
            break;
        case static_cast<int>(BufferPreset::Low):
            minTarget_ = depthFor(0.008);
            maxTarget_ = depthFor(0.09);
            stepUp_ = depthFor(0.015);
            initialMs = 25.0;
            break;
        case static_cast<int>(BufferPreset::Safe):
            minTarget_ = depthFor(0.06);
            maxTarget_ = depthFor(0.4);
            stepUp_ = depthFor(0.03);
            initialMs = 90.0;
            break;
        default:
            minTarget_ = depthFor(0.012);
            maxTarget_ = depthFor(0.25);
            stepUp_ = depthFor(0.025);
            break;
    }
    if (depthCap_ != 0 && maxTarget_ > depthCap_) {
        maxTarget_ = depthCap_;
    }
    boundTarget(depthFor(initialMs / 1000.0));
    integral_ = 0.0;
    framesSinceStep_ = 0;
    primed_ = false;
}

void JitterConsumer::primeStart() {
    primed_ = true;
    phase_ = 0.0;
    // With less than a frame queued the frame stays silent; the ring holds whole frames only.
    prevFrame_[0] = prevFrame_[1] = 0.0;
    nextFrame_[0] = nextFrame_[1] = 0.0;
    ring_->takeFrame(prevFrame_);
    ring_->takeFrame(nextFrame_);
    const auto depth = static_cast<double>(ring_->depth());
    slowDepth_ = depth;
    fastDepth_.store(depth, std::memory_order_relaxed);
    framesSinceStep_ = 0;
}

void JitterConsumer::underrun(float* out, std::size_t from, std::size_t frames) {
    std::fill(out + 2 * from, out + 2 * frames, 0.0f);
    primed_ = false;
    underruns_.fetch_add(1, std::memory_order_relaxed);
    if (adaptive_) {
        uint64_t raised = std::min(target_.load(std::memory_order_relaxed) + stepUp_, maxTarget_);
        if (depthCap_ != 0) {
            raised = std::min(raised, depthCap_);
        }
        target_.store(raised, std::memory_order_relaxed);
    }
    framesSinceStep_ = 0;
}

void JitterConsumer::pull(float* out, std::size_t frames) {
    // Preset change requested by the phone.
    const uint32_t requested = requestedPreset_.load(std::memory_order_acquire);
    const int32_t requestedMs = requestedFixedMs_.load(std::memory_order_relaxed);
    if (requested != appliedPreset_.load(std::memory_order_relaxed)) {
        applyPreset(static_cast<int>(requested), requestedMs);
    } else if (requested == static_cast<uint32_t>(BufferPreset::Fixed) &&
               requestedMs != appliedFixedMs_) {
        appliedFixedMs_ = requestedMs;
        minTarget_ = maxTarget_ = depthFor(requestedMs / 1000.0);
        stepUp_ = 0;
        adaptive_ = false;
        if (depthCap_ != 0 && maxTarget_ > depthCap_) {
            maxTarget_ = depthCap_;
        }
        target_.store(maxTarget_, std::memory_order_relaxed);
        integral_ = 0.0;
        framesSinceStep_ = 0;
        primed_ = false;
    }

    // Effective target: the adaptive target, raised to the alignment floor within the cap.
    const uint64_t target = target_.load(std::memory_order_relaxed);
    uint64_t effective = target;
    const uint64_t floor = alignFloor_.load(std::memory_order_relaxed);
    if (floor > target) {
        effective = depthCap_ != 0 ? std::min(floor, depthCap_) : floor;
    }
    effectiveTarget_.store(effective, std::memory_order_relaxed);
    const auto effectiveD = static_cast<double>(effective);

    const auto depth = static_cast<double>(ring_->depth());
    // Averaged over time, not over calls, so the trim behaves the same at any callback size.
    const double slowWeight =
        -std::expm1(-static_cast<double>(frames) / (sampleRate_ * kSlowDepthSeconds));
    slowDepth_ += slowWeight * (depth - slowDepth_);
    fastDepth_.store(
        (1.0 - kFastWeight) * fastDepth_.load(std::memory_order_relaxed) + kFastWeight * depth,
        std::memory_order_relaxed);

    if (!primed_) {
        if (depth < effectiveD) {
            std::fill(out, out + 2 * frames, 0.0f);
            return;
        }
        // Playback starts at the target, not at whatever more arrived since the last call:
        // what lies beyond it would only be latency for the trim to wear off. The two frames
        // priming takes out are the ones being interpolated, as in steady playback.
        ring_->dropOldest(effective + 4);
        primeStart();
    }

    // Overflow: the slow average ran too far above the target; drop the oldest audio.
    if (slowDepth_ > effectiveD + static_cast<double>(overflowSlack_)) {
        ring_->dropOldest(effective);
        slowDepth_ = effectiveD;
    }

    // Proportional-integral trim on the fill error in ms (two floats per frame).
    const double errorMs = (slowDepth_ - effectiveD) * 500.0 / sampleRate_;
    const double proportional = kTrimPerErrorMs * errorMs;
    if (std::fabs(errorMs) < kIntegrateWithinMs) {
        integral_ = std::clamp(integral_ + kIntegralGainPerMsSecond * errorMs *
                                               static_cast<double>(frames) / sampleRate_,
                               -kIntegralTrimLimit, kIntegralTrimLimit);
    }
    const double trim = std::clamp(integral_ + proportional, -kTrimLimit, kTrimLimit);

    // A switch between estimated and assumed sender clocks makes the old integral meaningless.
    const double published = senderRatio_.load(std::memory_order_relaxed);
    const bool senderValid = published != 0.0;
    if (senderValid != lastSenderRatioValid_) {
        integral_ = 0.0;
        lastSenderRatioValid_ = senderValid;
    }

    step_ = (1.0 + trim) * ((senderValid ? published : 1.0) / deviceRatio_);
    trimPpm_.store(static_cast<int32_t>(trim * 1'000'000.0), std::memory_order_relaxed);

    for (std::size_t i = 0; i < frames; ++i) {
        out[2 * i] = static_cast<float>(prevFrame_[0] + (nextFrame_[0] - prevFrame_[0]) * phase_);
        out[2 * i + 1] =
            static_cast<float>(prevFrame_[1] + (nextFrame_[1] - prevFrame_[1]) * phase_);
        phase_ += step_;
        while (phase_ >= 1.0) {
            prevFrame_[0] = nextFrame_[0];
            prevFrame_[1] = nextFrame_[1];
            if (!ring_->takeFrame(nextFrame_)) {
                underrun(out, i, frames);
                return;
            }
            phase_ -= 1.0;
        }
    }

    // Clean-run step down.
    framesSinceStep_ += frames;
    const uint64_t current = target_.load(std::memory_order_relaxed);
    if (adaptive_ && framesSinceStep_ >= stepInterval_ && current > minTarget_) {
        target_.store(current > minTarget_ + stepDown_ ? current - stepDown_ : minTarget_,
                      std::memory_order_relaxed);
        framesSinceStep_ = 0;
    }
}

void JitterConsumer::requestPreset(uint32_t preset, int fixedMs) {
    requestedFixedMs_.store(std::clamp(fixedMs, kMinFixedMs, kMaxFixedMs),
                            std::memory_order_relaxed);
    requestedPreset_.store(preset, std::memory_order_release);
}

void JitterConsumer::setSenderRatio(double ratio, bool valid) {
    senderRatio_.store(valid && ratio > 0.5 && ratio < 2.0 ? ratio : 0.0,
                       std::memory_order_relaxed);
}

void JitterConsumer::setAlignFloor(uint64_t floats) {
    alignFloor_.store(wholeFrames(floats), std::memory_order_relaxed);
}

void JitterConsumer::setDepthCap(uint64_t floats) {
    depthCap_ = wholeFrames(floats);
    if (depthCap_ != 0) {
        maxTarget_ = std::min(maxTarget_, depthCap_);
        target_.store(std::min(target_.load(std::memory_order_relaxed), depthCap_),
                      std::memory_order_relaxed);
    }
}

void JitterConsumer::resetForNewPeer() {
    ring_->discardAll();
    // The preset the previous phone left applied stays until the new phone asks for another,
    // so the new target respects its bounds: a "fixed" slot keeps its fixed depth.
    uint64_t target = std::max(depthFor(initialTargetMs_ / 1000.0), minTarget_);
    target = std::min(target, maxTarget_);
    if (depthCap_ != 0) {
        target = std::min(target, depthCap_);
    }
    target_.store(target, std::memory_order_relaxed);
    primed_ = false;
    integral_ = 0.0;
    slowDepth_ = 0.0;
    fastDepth_.store(0.0, std::memory_order_relaxed);
    phase_ = 0.0;
    framesSinceStep_ = 0;
    prevFrame_[0] = prevFrame_[1] = 0.0;
    nextFrame_[0] = nextFrame_[1] = 0.0;
    underruns_.store(0, std::memory_order_relaxed);
    trimPpm_.store(0, std::memory_order_relaxed);
    alignFloor_.store(0, std::memory_order_relaxed);
    step_ = 1.0;
    senderRatio_.store(0.0, std::memory_order_relaxed);
    deviceRatio_ = 1.0;
    lastSenderRatioValid_ = false;
}

}  // namespace vocari
