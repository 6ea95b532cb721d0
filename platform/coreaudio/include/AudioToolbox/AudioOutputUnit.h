#pragma once

#include <AudioToolbox/AUComponent.h>

extern "C" {

// Control thread. Starts the I/O thread; the render callback runs from then on.
OSStatus AudioOutputUnitStart(AudioUnit unit);
// Control thread: returns once the render callback will not be called again. From inside the
// render callback it only asks the unit to stop; the next control call completes it.
OSStatus AudioOutputUnitStop(AudioUnit unit);

}  // extern "C"
