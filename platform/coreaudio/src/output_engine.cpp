#include "output_engine.h"

namespace vocari::coreaudio {
namespace {

thread_local AudioUnit renderingUnit = nullptr;

}  // namespace

AudioUnit currentRenderUnit() {
    return renderingUnit;
}

void setCurrentRenderUnit(AudioUnit unit) {
    renderingUnit = unit;
}

}  // namespace vocari::coreaudio
