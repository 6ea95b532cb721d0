#pragma once

// What the daemon tells the app about itself, as text lines.

#include <cstdint>
#include <string>

namespace vocari {

class AudioOut;
class Session;
class SessionTable;
struct Runtime;

// Status thread: once a second the slot housekeeping (audio time-outs, release of closing
// slots, channel pins), the stream alignment pass, every fifth pass the device check, then the
// status line, one detail line per Active session and the session block, and a flush of
// standard output. Numbers are always printed with a point. Returns once the running flag is
// false. `devicesShown` is the device block printed at start-up: a device plugged in after it
// was printed is a change to report, however soon the thread starts.
void statsLoop(Runtime& runtime, std::string devicesShown);

// The periodic lines at `now`, each complete with its line feed. Any thread; lock-free.
// "[vocarid] phones=..." for the output in use (null: none published).
std::string statusLine(const Runtime& runtime, const AudioOut* output);
// "  [n] chA-B name pkts=..." for one Active session.
std::string sessionDetailLine(const Session& session, int64_t now);
// "sessions: N" and one "session:\t..." line per Active session, in slot order.
std::string sessionBlock(SessionTable& table, int64_t now);

// The device block: "devices: N" and one "device:\t..." line per loopback device, best first.
// The device the output plays into (when it is a loopback device) is marked 1 and carries the
// first phone channel, `firstPair` x 2.
std::string deviceInventory(const AudioOut* output, int firstPair);

}  // namespace vocari
