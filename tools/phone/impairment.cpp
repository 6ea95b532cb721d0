#include "impairment.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vocari::phone {

Impairment::Impairment(const ImpairmentConfig& config) : config_(config) {}

bool Impairment::chance(double percent, std::mt19937_64& random) {
    if (percent <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 100.0)(random) < percent;
}

int64_t Impairment::drawDelayNs(std::mt19937_64& random) {
    double delayMs = config_.delayMs;
    if (config_.jitterMs > 0) {
        if (config_.jitter == JitterModel::Normal) {
            delayMs += std::normal_distribution<double>(0.0, config_.jitterMs)(random);
        } else {
            const double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
            delayMs += config_.jitterMs * (std::pow(1.0 - u, -1.0 / config_.paretoShape) - 1.0);
        }
    }
    return std::llround(std::clamp(delayMs, 0.0, kMaxDelayMs) * 1e6);
}

void Impairment::add(Decision& decision, Dispatch dispatch) {
    if (config_.keepOrder) {
        dispatch.dueNs = std::max(dispatch.dueNs, lastDueNs_);
        lastDueNs_ = dispatch.dueNs;
    }
    decision.sends[decision.count++] = dispatch;
}

Decision Impairment::decide(uint64_t index, int64_t madeNs, std::mt19937_64& random) {
    Decision decision;
    if (inBurst_) {
        inBurst_ = !chance(100.0 / config_.burstLength, random);
    } else {
        inBurst_ = chance(config_.burstPercent, random);
    }
    decision.lost = inBurst_ || chance(config_.lossPercent, random);

    std::array<int64_t, 2> due{};
    size_t copies = 0;
    if (!decision.lost) {
        due[copies++] = madeNs + drawDelayNs(random);
        decision.duplicated = chance(config_.duplicatePercent, random);
        if (decision.duplicated) {
            due[copies++] = config_.keepOrder ? due[0] : madeNs + drawDelayNs(random);
        }
    }

    // The message held by the previous decision goes out with this one: after it on a
    // datagram network, before it (at its time) on a stream.
    std::optional<Decision> released = std::exchange(held_, std::nullopt);
    const int64_t successorDue = copies > 0 ? due[0] : INT64_MIN;
    const auto releaseHeldCopies = [&] {
        for (size_t copy = 0; copy < released->count; ++copy) {
            Dispatch dispatch = released->sends[copy];
            dispatch.dueNs = std::max(dispatch.dueNs, successorDue);
            add(decision, dispatch);
        }
    };
    if (released && config_.keepOrder) {
        releaseHeldCopies();
    }

    if (copies > 0 && !released && chance(config_.reorderPercent, random)) {
        decision.held = true;
        Decision keep;
        for (size_t copy = 0; copy < copies; ++copy) {
            keep.sends[keep.count++] = {index, due[copy]};
        }
        held_ = keep;
    } else {
        for (size_t copy = 0; copy < copies; ++copy) {
            add(decision, {index, due[copy]});
        }
    }

    if (released && !config_.keepOrder) {
        releaseHeldCopies();
    }
    return decision;
}

Decision Impairment::releaseHeld() {
    Decision decision;
    if (std::optional<Decision> released = std::exchange(held_, std::nullopt)) {
        for (size_t copy = 0; copy < released->count; ++copy) {
            add(decision, released->sends[copy]);
        }
    }
    return decision;
}

}  // namespace vocari::phone
