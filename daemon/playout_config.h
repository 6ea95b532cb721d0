#pragma once

// Every tunable of playout control (JitterConsumer), each in the unit its name carries. One
// instance, kPlayout, is what the daemon plays with; tests may build consumers with others.

#include <cstdint>

#include "protocol.h"

namespace vocari {

// The target depths of one adaptive preset.
struct PresetShape {
    double minMs;     // the target never steps down below this
    double maxMs;     // nor grows above this
    double stepUpMs;  // growth after each underrun
    double initialMs;
};

struct PlayoutConfig {
    PresetShape low{8.0, 90.0, 15.0, 25.0};
    PresetShape balanced{12.0, 250.0, 25.0, 45.0};
    PresetShape safe{60.0, 400.0, 30.0, 90.0};

    // The adaptive target steps down by this much after each clean interval.
    double stepDownMs = 2.0;
    double cleanIntervalSeconds = 8.0;
    // An average fill this far above the target drops the oldest audio down to the target.
    double overflowSlackMs = 30.0;

    // The trim reads a little faster or slower to steer the fill toward the target. It acts on
    // the fill error in milliseconds, so every target settles alike: a time constant of about
    // 4 s for a small error, and at most 3 ms of buffer per second (the limit) for a large one
    // such as a new alignment floor. The integral takes up the clock error the estimators
    // leave, and only near the target, so a large step never winds it up into an overshoot.
    double trimLimitPpm = 3000.0;
    double trimPpmPerErrorMs = 250.0;
    double integralPpmPerErrorMsSecond = 12.5;
    double integralLimitPpm = 600.0;
    double integrateWithinMs = 2.0;
    // The fill the trim acts on is averaged over this much audio.
    double fillAveragingSeconds = 1.0;
    // The fill shown to people: each pull moves it this share of the way to the current depth.
    double shownFillWeightPerPull = 0.1;
};

inline constexpr PlayoutConfig kPlayout{};

}  // namespace vocari
