#pragma once

// The per-phone ring of decoded interleaved stereo floats between the phone's receiving thread
// (the writer) and the render thread (the reader). Lock-free, fixed size, allocated once.
//
// Moving the read index from two threads. The writer cuts a backlog by moving the read index
// forward while the reader may be consuming. If both simply stored their new index, a reader
// that loaded the index before the cut would store its older value back over it: frames would
// be played again, and since the writer has already refilled the space the cut freed, the
// depth would exceed the capacity and the reader would read overwritten samples. So every
// move of the read index is a compare-and-swap that only ever moves it forward:
//   - the reader reads frames from index r on, then swaps r -> r + 2n for the n it read. If the
//     swap fails, the writer has cut in between; what was just read is discarded and the reader
//     retries at the new index. A successful swap proves the index was still r when the frames
//     were taken, so no cut had freed that space and the writer cannot have overwritten it.
//   - the writer's cut swaps r -> writeIndex - kBacklogKeep and retries while the backlog
//     still exceeds kBacklogKeep, so a cut can never undo the reader's progress.
// Samples are copied with relaxed atomic accesses (std::atomic_ref), which compile to plain
// loads and stores; the reader's discarded read of a slot being refilled is thus well defined.
// Every index is a count of floats and always even: the writer stores whole frames only, so a
// channel swap cannot happen.
//
// Invariants: 0 <= writeIndex - readIndex <= capacity - 1 (the writer sizes each write from a
// read index no newer than the current one, and the read index never moves back); a float is
// handed to the reader at most once and in write order (each is claimed by one successful swap
// of the read index, which only grows). The reader's swap is a release and the writer learns
// of freed space by an acquire load, so a slot is refilled only after the reader's read of it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vocari {

class SampleRing {
  public:
    static constexpr uint64_t kCapacity = 131072;
    static constexpr uint64_t kMask = kCapacity - 1;
    // A backlog above this many floats (700 ms at 48000 Hz stereo) is cut by the writer ...
    static constexpr uint64_t kBacklogLimit = 67200;
    // ... down to the newest this many (300 ms).
    static constexpr uint64_t kBacklogKeep = 28800;

    // Allocates and zero-fills the storage; the only allocation the ring ever makes.
    SampleRing();
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    // Writer thread only. Appends whole frames from `samples` (n floats, interleaved stereo) as
    // far as they fit; the rest and any odd trailing float are dropped. Returns the floats
    // written. Lock-free; allocates nothing.
    std::size_t write(const float* samples, std::size_t n);

    // Writer thread only, once after the writes of a packet. When more than kBacklogLimit floats
    // are queued, drops the oldest so that the newest kBacklogKeep remain. Returns whether it
    // cut. Lock-free; allocates nothing.
    bool trimBacklog();

    // Reader thread only. Takes the oldest frame into `frame` (L, R). False, with nothing taken,
    // when less than one frame is queued. Lock-free; allocates nothing.
    bool takeFrame(double frame[2]);

    // Reader thread only. Takes up to `maxFrames` of the oldest frames into `out` (interleaved)
    // with one move of the read index; returns how many. Lock-free; allocates nothing.
    std::size_t takeFrames(float* out, std::size_t maxFrames);

    // Reader thread only. Drops the oldest floats so that at most `keep` remain (`keep` even).
    void dropOldest(uint64_t keep);

    // Claim thread or reader thread. Drops everything queued.
    void discardAll();

    // Any thread. Floats queued, within [0, kCapacity - 1].
    uint64_t depth() const;
    // Any thread. Floats ever written / consumed (including those dropped by cuts).
    uint64_t writeIndex() const { return writeIndex_.load(std::memory_order_acquire); }
    uint64_t readIndex() const { return readIndex_.load(std::memory_order_acquire); }
    static constexpr uint64_t capacity() { return kCapacity; }

  private:
    std::vector<float> data_;
    // Written by the writer only; published with release stores.
    alignas(64) std::atomic<uint64_t> writeIndex_{0};
    // Moved forward by compare-and-swap from both sides (see the top of this file).
    alignas(64) std::atomic<uint64_t> readIndex_{0};
};

}  // namespace vocari
