#include "stream_sender.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

namespace vocari::phone {

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr uint64_t kNoMessage = std::numeric_limits<uint64_t>::max();
// Longest sleep between looks at the stop flag, for when only long-delayed copies are left.
constexpr int64_t kStopCheckNs = 100'000'000;

}  // namespace

StreamSender::StreamSender(AudioMessageMaker& maker, const PhoneClock& clock, Waiter& waiter,
                           const ImpairmentConfig& impairment, uint64_t seed, Send send)
    : maker_(maker),
      clock_(clock),
      waiter_(waiter),
      impairment_(impairment),
      random_(seed),
      send_(std::move(send)) {}

uint32_t StreamSender::takeSlot() {
    if (freeSlots_.empty()) {
        slots_.emplace_back().reserve(maker_.maxMessageBytes());
        return static_cast<uint32_t>(slots_.size() - 1);
    }
    const uint32_t slot = freeSlots_.back();
    freeSlots_.pop_back();
    return slot;
}

void StreamSender::schedule(const Decision& decision, uint64_t index, uint32_t slot) {
    bool currentQueued = false;
    bool heldQueued = false;
    for (size_t at = 0; at < decision.count; ++at) {
        const Dispatch& dispatch = decision.sends[at];
        const bool current = dispatch.index == index;
        bool& queued = current ? currentQueued : heldQueued;
        const uint32_t source = current ? slot : heldSlot_;
        uint32_t target = source;
        if (queued) {
            // A second copy needs its own buffer: the first is freed once it is sent.
            target = takeSlot();
            slots_[target] = slots_[source];
        }
        queued = true;
        queue_.push({dispatch.dueNs, order_++, target});
    }
    if (decision.held) {
        heldSlot_ = slot;
    } else if (!currentQueued && index != kNoMessage) {
        freeSlots_.push_back(slot);
    }
}

void StreamSender::countArrival(std::span<const uint8_t> copy) {
    const size_t prefix = maker_.format().lengthPrefix ? protocol::kLengthPrefixSize : 0;
    const auto header = protocol::parseAudioHeader(copy.subspan(prefix));
    if (!header) {
        return;
    }
    // Sequence steps since the newest copy; wrap-around counts forward, and a step "back" of
    // up to half the range is a late copy.
    const uint32_t gap = header->sequence - newestSent_;
    if (sentAny_ && (gap == 0 || gap > 0x8000'0000u)) {
        ++counts_.lateOrRepeated;
        return;
    }
    if (sentAny_ && gap >= 2) {
        (gap <= 8 ? counts_.missingInShortGaps : counts_.missingInLongGaps) += gap - 1;
    }
    sentAny_ = true;
    newestSent_ = header->sequence;
}

bool StreamSender::sendDue(int64_t now) {
    while (!queue_.empty() && queue_.top().dueNs <= now) {
        const Pending due = queue_.top();
        queue_.pop();
        countArrival(slots_[due.slot]);
        const bool sent = send_(slots_[due.slot]);
        const int sendErrno = errno;
        freeSlots_.push_back(due.slot);
        if (!sent) {
            sendErrno_ = sendErrno;
            error_ = std::string("could not send an AUDIO message: ") + std::strerror(sendErrno);
            return false;
        }
        ++counts_.datagrams;
    }
    return true;
}

void StreamSender::discardPending() {
    schedule(impairment_.releaseHeld(), kNoMessage, 0);
    while (!queue_.empty()) {
        freeSlots_.push_back(queue_.top().slot);
        queue_.pop();
    }
}

StreamSender::Outcome StreamSender::fail(std::string error) {
    if (!error.empty()) {
        error_ = std::move(error);
    }
    discardPending();
    return Outcome::Failed;
}

StreamSender::Outcome StreamSender::run(double seconds, int helloEveryMs,
                                        const SendHello& sendHello, const std::atomic<bool>& stop) {
    const int frames = maker_.format().frames;
    const auto totalFrames =
        static_cast<uint64_t>(std::llround(std::max(seconds, 0.0) * kSampleRate));
    const uint64_t count =
        (totalFrames + static_cast<uint64_t>(frames) - 1) / static_cast<uint64_t>(frames);
    const TimeSource& time = clock_.timeSource();
    const int64_t startMonotonic = time.nowNs();
    const int64_t startPhone = clock_.at(startMonotonic);
    streamStartNs_.store(clock_.monotonicAt(startPhone), std::memory_order_relaxed);
    const int64_t helloEveryNs = static_cast<int64_t>(helloEveryMs) * 1'000'000;
    int64_t nextHello = helloEveryNs > 0 ? startMonotonic + helloEveryNs : kNever;
    uint64_t made = 0;
    // A message goes out once its last frame is captured, stamped with that moment.
    int64_t nextMade = clock_.monotonicAt(startPhone + madeOffsetNs(1, frames));
    bool released = false;
    error_.clear();
    sendErrno_ = 0;

    while (true) {
        if (stop.load(std::memory_order_relaxed)) {
            discardPending();
            return Outcome::Stopped;
        }
        const int64_t now = time.nowNs();
        while (made < count && nextMade <= now) {
            const uint32_t slot = takeSlot();
            if (!maker_.make(startPhone + madeOffsetNs(made, frames),
                             startPhone + madeOffsetNs(made + 1, frames), slots_[slot])) {
                freeSlots_.push_back(slot);
                return fail("could not encode an AUDIO message");
            }
            const uint64_t index = nextIndex_++;
            const Decision decision = impairment_.decide(index, nextMade, random_);
            counts_.lost += decision.lost ? 1 : 0;
            counts_.duplicated += decision.duplicated ? 1 : 0;
            counts_.reordered += decision.held ? 1 : 0;
            ++counts_.made;
            schedule(decision, index, slot);
            ++made;
            nextMade = clock_.monotonicAt(startPhone + madeOffsetNs(made + 1, frames));
        }
        if (made == count && !released) {
            schedule(impairment_.releaseHeld(), kNoMessage, 0);
            released = true;
        }
        if (!sendDue(now)) {
            return fail({});
        }
        if (made < count && nextHello <= now) {
            if (!sendHello()) {
                sendErrno_ = errno;
                return fail(std::string("could not send HELLO: ") + std::strerror(sendErrno_));
            }
            while (nextHello <= now) {
                nextHello += helloEveryNs;
            }
        }
        if (made == count && queue_.empty()) {
            return Outcome::Finished;
        }
        int64_t wake = made < count ? std::min(nextMade, nextHello) : kNever;
        if (!queue_.empty()) {
            wake = std::min(wake, queue_.top().dueNs);
        }
        waiter_.waitUntil(std::min(wake, now + kStopCheckNs));
    }
}

}  // namespace vocari::phone
