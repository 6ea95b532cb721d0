#pragma once

// Packets that overtook a missing one, held by the session's receiving thread until the missing
// packet comes or the buffer can wait no longer, so a phone's audio is decoded in sequence
// order whenever the network only reordered it. Fixed capacity, allocated with the session.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol.h"

namespace vocari {

class PacketStash {
  public:
    static constexpr size_t kCapacity = 8;
    // The largest payload a valid AUDIO message carries (1024 stereo 16-bit frames).
    static constexpr size_t kMaxPayload = 4096;

    struct Held {
        protocol::AudioHeader header;
        int64_t arrivalNs = 0;
        size_t length = 0;
        std::array<uint8_t, kMaxPayload> payload{};

        std::span<const uint8_t> bytes() const { return {payload.data(), length}; }
    };

    // Receiving thread only. Keeps a copy of the packet; false when the stash is full, the
    // payload too long, or that sequence number is already held.
    bool hold(const protocol::AudioHeader& header, std::span<const uint8_t> payload,
              int64_t arrivalNs);
    bool holds(uint32_t sequence) const;
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }

    // The held packet that comes first after `after` in sequence order (wrap-around counts
    // forward); null when empty. Stays held until released.
    const Held* next(uint32_t after) const;
    void release(const Held* held);
    void clear() {
        used_.fill(false);
        count_ = 0;
    }

  private:
    std::array<Held, kCapacity> slots_{};
    std::array<bool, kCapacity> used_{};
    size_t count_ = 0;
};

}  // namespace vocari
