#pragma once

// Stream alignment: phones recorded at the same moment reach us with different network delays.
// With alignment on, every phone with a shorter path gets a buffer floor so that all of them
// come out with the same total latency (network delay plus buffer) as the slowest one.

#include <cstdint>

namespace vocari {

class SessionTable;

// Status thread, once a second after the housekeeping. Sessions with audio in the last 2 s
// take part: with `alignmentOn` and at least two of them, each gets the floor that lifts its
// latency to the largest; otherwise their floors are cleared. Others keep theirs. Lock-free.
void alignStreams(SessionTable& table, bool alignmentOn, int64_t now);

}  // namespace vocari
