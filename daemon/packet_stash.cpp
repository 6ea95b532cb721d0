#include "packet_stash.h"

#include <algorithm>
#include <cstring>

namespace vocari {

bool PacketStash::hold(const protocol::AudioHeader& header, std::span<const uint8_t> payload,
                       int64_t arrivalNs) {
    if (count_ == kCapacity || payload.size() > kMaxPayload || holds(header.sequence)) {
        return false;
    }
    const auto free = std::find(used_.begin(), used_.end(), false);
    Held& slot = slots_[static_cast<size_t>(free - used_.begin())];
    slot.header = header;
    slot.arrivalNs = arrivalNs;
    slot.length = payload.size();
    std::memcpy(slot.payload.data(), payload.data(), payload.size());
    *free = true;
    ++count_;
    return true;
}

bool PacketStash::holds(uint32_t sequence) const {
    for (size_t i = 0; i < kCapacity; ++i) {
        if (used_[i] && slots_[i].header.sequence == sequence) {
            return true;
        }
    }
    return false;
}

const PacketStash::Held* PacketStash::next(uint32_t after) const {
    const Held* first = nullptr;
    uint32_t nearest = 0;
    for (size_t i = 0; i < kCapacity; ++i) {
        const uint32_t distance = slots_[i].header.sequence - after;
        if (used_[i] && (first == nullptr || distance < nearest)) {
            first = &slots_[i];
            nearest = distance;
        }
    }
    return first;
}

void PacketStash::release(const Held* held) {
    const auto index = static_cast<size_t>(held - slots_.data());
    if (index < kCapacity && used_[index]) {
        used_[index] = false;
        --count_;
    }
}

}  // namespace vocari
