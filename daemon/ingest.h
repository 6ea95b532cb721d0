#pragma once

// Audio ingest: one AUDIO message of an Active session turned into interleaved stereo floats at
// 48000 Hz (16-bit PCM conversion, or Opus decoding with concealment of short gaps), written
// into the session's ring, and everything measured per packet: the sender clock tracker, the
// one-way network delay, the clock ratio handed to the jitter consumer, the packet counter and
// the last-audio time.

#include <cstddef>
#include <cstdint>
#include <span>

#include "clock.h"
#include "protocol.h"

namespace vocari {

class Session;

// Largest block one packet decodes to, in floats (1024 stereo frames).
inline constexpr size_t kIngestBlockFloats = 2048;
// Missing packets are concealed only for gaps of up to this many sequence steps.
inline constexpr uint32_t kMaxConcealedGap = 8;
// A packet at most this many sequence steps behind the last one ingested is a late (reordered)
// packet and is dropped; one further behind means the phone restarted its numbering and is
// taken as the new start of its stream.
inline constexpr uint32_t kLateWindow = 64;
// A packet whose place, and only what followed it, was concealed because it came too late is
// still played after the concealment when that adds at most this much to the buffer.
inline constexpr uint32_t kMaxLateMergeFrames = 2880;  // 60 ms
inline constexpr size_t kMaxOpusPacket = 4000;

// What one message did to its session.
enum class IngestResult {
    Written,    // decoded (after any concealment) into the ring, counted as audio; also a
                // packet that came just after its place was concealed, with no packet played
                // since (see arrive in ingest.cpp), played after the concealment
    Rejected,   // invalid header or payload, or undecodable: the session is unchanged
    Duplicate,  // the sequence number just ingested again: dropped, the session unchanged
    Late,       // behind the stream: dropped, the session unchanged
    Held,       // ahead of a missing packet: kept until that one comes or feedOnTime gives up
};

// The session's receiving thread only (its single ring producer). `clock` gives the arrival
// time. Allocates nothing, except the session's Opus decoder on its first Opus packet and on a
// change of channel count.
IngestResult ingestAudio(Session& session, const protocol::AudioHeader& header,
                         std::span<const uint8_t> payload, const Clock& clock);

// When the session's receiving thread must call feedOnTime, on `now`'s clock: shortly before
// the render callback that would find the buffer dry, if the next packet has not come by
// then. `lastRenderNs` is when the last callback ran (0: unknown). 0 for never (nothing
// playing, or a stream that stopped and has been concealed as far as it may be).
int64_t feedDeadline(const Session& session, int64_t now, int64_t lastRenderNs);

// The session's receiving thread only, whenever its wait for the network ends. Once the
// deadline has come: plays the held packet that comes next, concealing what it overtook, or,
// when none is held, conceals the packet that did not come (at most kMaxConcealedGap in a row).
// Allocates nothing.
void feedOnTime(Session& session, const Clock& clock, int64_t lastRenderNs);

namespace ingest_detail {

// 16-bit little-endian samples to floats (s / 32768), a mono sample written as both L and R:
// `frames` stereo frames into `out` (2 x frames floats).
void convertPcm(const uint8_t* samples, size_t frames, int channels, float* out);

}  // namespace ingest_detail

}  // namespace vocari
