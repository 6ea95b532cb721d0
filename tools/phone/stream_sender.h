#pragma once

// Streams like a phone: makes each AUDIO message when the phone's sample clock says its frames
// are captured, passes it through the simulated network and sends every copy at its due time.
// All deadlines are absolute, so a long stream does not drift, and one wake-up sends every
// message that has come due.

#include <atomic>
#include <cstdint>
#include <functional>
#include <queue>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "audio_message.h"
#include "impairment.h"
#include "phone_clock.h"

namespace vocari::phone {

struct StreamCounts {
    uint64_t made = 0;  // AUDIO messages made, each with its own sequence number
    uint64_t lost = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;  // held back and sent after the next message
    uint64_t datagrams = 0;  // copies that went out
    // The copies as a receiver meets them, in the order they went out (on loopback, the order
    // they arrive): messages missing before a copy in gaps of 2 to 8 (what a receiver
    // conceals), in longer gaps, and copies that came after a later one or twice.
    uint64_t missingInShortGaps = 0;
    uint64_t missingInLongGaps = 0;
    uint64_t lateOrRepeated = 0;
};

// Lives on one sending thread; only the stop flag is shared with other threads.
class StreamSender {
  public:
    // Sends one prepared message (already length-prefixed on TCP); false when it failed.
    using Send = std::function<bool(std::span<const uint8_t>)>;
    using SendHello = std::function<bool()>;

    enum class Outcome { Finished, Stopped, Failed };

    StreamSender(AudioMessageMaker& maker, const PhoneClock& clock, Waiter& waiter,
                 const ImpairmentConfig& impairment, uint64_t seed, Send send);

    // Streams `seconds` of the phone's clock (a whole number of messages, the last one
    // covering the end), repeating HELLO every `helloEveryMs` while messages are made (0:
    // never), then waits until every delayed copy has gone out. Stops early, with
    // Outcome::Stopped, once `stop` is set; on a failed send or encoding, with Outcome::Failed
    // and error() set. Copies not yet sent are then dropped. Counts add up over calls.
    Outcome run(double seconds, int helloEveryMs, const SendHello& sendHello,
                const std::atomic<bool>& stop);

    const StreamCounts& counts() const { return counts_; }
    // When the last run's first frame was captured, on the host's monotonic clock; 0 before
    // the first run. Any thread may ask.
    int64_t streamStartNs() const { return streamStartNs_.load(std::memory_order_relaxed); }
    const std::string& error() const { return error_; }
    // The errno of the send that failed, 0 when none did.
    int sendErrno() const { return sendErrno_; }

  private:
    struct Pending {
        int64_t dueNs;
        uint64_t order;  // keeps equal due times in the order they were decided
        uint32_t slot;
    };
    struct Later {
        bool operator()(const Pending& a, const Pending& b) const {
            return a.dueNs != b.dueNs ? a.dueNs > b.dueNs : a.order > b.order;
        }
    };

    uint32_t takeSlot();
    void schedule(const Decision& decision, uint64_t index, uint32_t slot);
    bool sendDue(int64_t now);
    void countArrival(std::span<const uint8_t> copy);
    Outcome fail(std::string error);
    void discardPending();

    AudioMessageMaker& maker_;
    const PhoneClock& clock_;
    Waiter& waiter_;
    Impairment impairment_;
    std::mt19937_64 random_;
    Send send_;
    StreamCounts counts_;
    std::string error_;
    int sendErrno_ = 0;
    std::atomic<int64_t> streamStartNs_{0};

    // Message buffers are reused, so a stream allocates only while its backlog grows.
    std::vector<std::vector<uint8_t>> slots_;
    std::vector<uint32_t> freeSlots_;
    std::priority_queue<Pending, std::vector<Pending>, Later> queue_;
    uint64_t order_ = 0;
    uint32_t heldSlot_ = 0;  // the message the impairment holds back, if any
    // Streams in one run share one index space, so a message held at the end of one stream is
    // released there and never confused with a message of the next.
    uint64_t nextIndex_ = 0;
    // The newest sequence number that went out, for the arrival-order counts.
    bool sentAny_ = false;
    uint32_t newestSent_ = 0;
};

}  // namespace vocari::phone
