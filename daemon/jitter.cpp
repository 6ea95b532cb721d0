#include "jitter.h"

#include <algorithm>
#include <cmath>

namespace vocari {

namespace {

uint64_t wholeFrames(uint64_t floats) {
    return floats & ~uint64_t{1};
}

// The two frames being interpolated when playback starts are taken out of the ring.
constexpr uint64_t kFloatsInFlight = 4;

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

JitterConsumer::JitterConsumer(SampleRing& ring, double sampleRate, double targetMs,
                               const PlayoutConfig& config)
    : ring_(&ring),
      config_(config),
      sampleRate_(sampleRate),
      initialTargetMs_(targetMs),
      stepDown_(depthFor(config.stepDownMs / 1000.0)),
      overflowSlack_(depthFor(config.overflowSlackMs / 1000.0)),
      stepInterval_(static_cast<uint64_t>(sampleRate * config.cleanIntervalSeconds)),
      minTarget_(depthFor(config.balanced.minMs / 1000.0)),
      maxTarget_(depthFor(config.balanced.maxMs / 1000.0)),
      stepUp_(depthFor(config.balanced.stepUpMs / 1000.0)),
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

uint64_t JitterConsumer::carryingMinimum(std::size_t callbackFrames) const {
    const uint64_t carry =
        2 * (uint64_t{packetFrames_.load(std::memory_order_relaxed)} + callbackFrames);
    return std::min(std::max(minTarget_, carry), maxTarget_);
}

void JitterConsumer::applyPreset(int preset, int fixedMs) {
    fixedMs = std::clamp<int>(fixedMs, protocol::kMinFixedMs, protocol::kMaxFixedMs);
    appliedPreset_.store(static_cast<uint32_t>(preset), std::memory_order_relaxed);
    appliedFixedMs_ = fixedMs;
    adaptive_ = true;
    const PresetShape* shape = &config_.balanced;
    switch (preset) {
        case static_cast<int>(BufferPreset::Fixed):
            minTarget_ = maxTarget_ = depthFor(fixedMs / 1000.0);
            stepUp_ = 0;
            adaptive_ = false;
            shape = nullptr;
            break;
        case static_cast<int>(BufferPreset::Low):
            shape = &config_.low;
            break;
        case static_cast<int>(BufferPreset::Safe):
            shape = &config_.safe;
            break;
        default:
            break;
    }
    if (shape != nullptr) {
        minTarget_ = depthFor(shape->minMs / 1000.0);
        maxTarget_ = depthFor(shape->maxMs / 1000.0);
        stepUp_ = depthFor(shape->stepUpMs / 1000.0);
    }
    if (depthCap_ != 0 && maxTarget_ > depthCap_) {
        maxTarget_ = depthCap_;
    }
    boundTarget(depthFor((shape != nullptr ? shape->initialMs : fixedMs) / 1000.0));
    integral_ = 0.0;
    framesSinceStep_ = 0;
    primed_ = false;
}

void JitterConsumer::primeStart() {
    primed_ = true;
    // With less than a frame queued the frame stays silent; the ring holds whole frames only.
    resampler_.start(*ring_);
    const auto depth = static_cast<double>(ring_->depth());
    slowDepth_ = depth;
    fastDepth_.store(depth, std::memory_order_relaxed);
    framesSinceStep_ = 0;
}

void JitterConsumer::growTarget() {
    if (adaptive_) {
        uint64_t raised = std::min(target_.load(std::memory_order_relaxed) + stepUp_, maxTarget_);
        if (depthCap_ != 0) {
            raised = std::min(raised, depthCap_);
        }
        target_.store(raised, std::memory_order_relaxed);
    }
    framesSinceStep_ = 0;
}

void JitterConsumer::underrun(float* out, std::size_t from, std::size_t frames) {
    std::fill(out + 2 * from, out + 2 * frames, 0.0f);
    primed_ = false;
    playing_.store(false, std::memory_order_relaxed);
    underruns_.fetch_add(1, std::memory_order_relaxed);
    growTarget();
}

void JitterConsumer::setDeviceRatio(double ratio, bool measured) {
    const bool usable = measured && ratio > 0.5 && ratio < 2.0;
    if (usable != deviceRatioMeasured_) {
        integral_ = 0.0;
        deviceRatioMeasured_ = usable;
    }
    deviceRatio_ = usable ? ratio : 1.0;
}

void JitterConsumer::updateTrim(double effective, std::size_t frames) {
    const double errorMs = (slowDepth_ - effective) * 500.0 / sampleRate_;
    if (std::fabs(errorMs) < config_.integrateWithinMs) {
        const double limit = config_.integralLimitPpm * 1e-6;
        integral_ = std::clamp(integral_ + config_.integralPpmPerErrorMsSecond * 1e-6 * errorMs *
                                               static_cast<double>(frames) / sampleRate_,
                               -limit, limit);
    }
    const double limit = config_.trimLimitPpm * 1e-6;
    const double trim =
        std::clamp(integral_ + config_.trimPpmPerErrorMs * 1e-6 * errorMs, -limit, limit);

    // A switch between estimated and assumed sender clocks makes the old integral meaningless.
    const double published = senderRatio_.load(std::memory_order_relaxed);
    const bool senderValid = published != 0.0;
    if (senderValid != lastSenderRatioValid_) {
        integral_ = 0.0;
        lastSenderRatioValid_ = senderValid;
    }

    step_ = (1.0 + trim) * ((senderValid ? published : 1.0) / deviceRatio_);
    trimPpm_.store(static_cast<int32_t>(trim * 1'000'000.0), std::memory_order_relaxed);
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

    pullFrames_.store(static_cast<uint32_t>(frames), std::memory_order_relaxed);
    const uint32_t late = latePackets_.load(std::memory_order_relaxed);
    if (late != latePacketsSeen_) {
        latePacketsSeen_ = late;
        // The fill follows a raised target slowly (the trim's limit), and on a heavy-tailed
        // network more late packets come while it climbs. Those say nothing the last raise did
        // not: raising again would wind the target far above what the network needs and only
        // add latency once the fill gets there. So a late packet raises the target only once
        // the fill has come within half a step of it.
        const auto target = static_cast<double>(target_.load(std::memory_order_relaxed));
        if (!primed_ || slowDepth_ >= target - static_cast<double>(stepUp_) / 2.0) {
            growTarget();
        }
    }

    // An adaptive target too small to carry the stream from packet to packet is raised.
    const uint64_t lowest = adaptive_ ? carryingMinimum(frames) : minTarget_;
    uint64_t target = target_.load(std::memory_order_relaxed);
    if (adaptive_ && target < lowest) {
        target = depthCap_ != 0 ? std::min(lowest, depthCap_) : lowest;
        target_.store(target, std::memory_order_relaxed);
    }

    // Effective target: the adaptive target, raised to the alignment floor within the cap.
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
        -std::expm1(-static_cast<double>(frames) / (sampleRate_ * config_.fillAveragingSeconds));
    slowDepth_ += slowWeight * (depth - slowDepth_);
    const double shown = fastDepth_.load(std::memory_order_relaxed);
    fastDepth_.store(shown + config_.shownFillWeightPerPull * (depth - shown),
                     std::memory_order_relaxed);

    if (!primed_) {
        if (depth < effectiveD) {
            std::fill(out, out + 2 * frames, 0.0f);
            playing_.store(false, std::memory_order_relaxed);
            return;
        }
        // Playback starts at the target, not at whatever more arrived since the last call:
        // what lies beyond it would only be latency for the trim to wear off. The target is the
        // fill on average over the packets' comings, so half a packet is kept above it.
        const uint64_t halfPacket = wholeFrames(packetFrames_.load(std::memory_order_relaxed));
        ring_->dropOldest(effective + halfPacket + kFloatsInFlight);
        primeStart();
    }

    // Overflow: the slow average ran too far above the target; drop the oldest audio.
    if (slowDepth_ > effectiveD + static_cast<double>(overflowSlack_)) {
        ring_->dropOldest(effective);
        slowDepth_ = effectiveD;
    }

    playing_.store(true, std::memory_order_relaxed);
    updateTrim(effectiveD, frames);

    const std::size_t played = resampler_.render(*ring_, out, frames, step_);
    if (played < frames) {
        underrun(out, played, frames);
        return;
    }

    // Clean-run step down, never below what carries the stream.
    framesSinceStep_ += frames;
    const uint64_t current = target_.load(std::memory_order_relaxed);
    if (adaptive_ && framesSinceStep_ >= stepInterval_ && current > lowest) {
        target_.store(current > lowest + stepDown_ ? current - stepDown_ : lowest,
                      std::memory_order_relaxed);
        framesSinceStep_ = 0;
    }
}

void JitterConsumer::requestPreset(uint32_t preset, int fixedMs) {
    requestedFixedMs_.store(std::clamp<int>(fixedMs, protocol::kMinFixedMs, protocol::kMaxFixedMs),
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
    resampler_.reset();
    framesSinceStep_ = 0;
    underruns_.store(0, std::memory_order_relaxed);
    trimPpm_.store(0, std::memory_order_relaxed);
    alignFloor_.store(0, std::memory_order_relaxed);
    packetFrames_.store(0, std::memory_order_relaxed);
    latePackets_.store(0, std::memory_order_relaxed);
    latePacketsSeen_ = 0;
    playing_.store(false, std::memory_order_relaxed);
    pullFrames_.store(0, std::memory_order_relaxed);
    step_ = 1.0;
    senderRatio_.store(0.0, std::memory_order_relaxed);
    deviceRatio_ = 1.0;
    deviceRatioMeasured_ = false;
    lastSenderRatioValid_ = false;
}

}  // namespace vocari
