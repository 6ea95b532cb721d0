#pragma once

// What the daemon tells the app about itself, as text lines.

#include <string>

namespace vocari {

class AudioOut;
struct Runtime;

// Status thread: once a second the slot housekeeping (audio time-outs, release of closing
// slots, channel pins from the `channels` file), then a flush of standard output. Returns once
// the running flag is false.
void statsLoop(Runtime& runtime);

// The device block: "devices: N" and one "device:\t..." line per loopback device, best first.
// The device the output plays into (when it is a loopback device) is marked 1 and carries the
// first phone channel, `firstPair` x 2.
std::string deviceInventory(const AudioOut* output, int firstPair);

}  // namespace vocari
