// AUDIO messages from a phone, as the network delivers them, through the real ingest into a
// session that is also being played, with the receiving thread feeding it on time between
// messages: any header, any payload, PCM and Opus, in any order.
// Input: a series of [length byte][message bytes]; each message gets a valid AUDIO header
// start (magic, version, type) and keeps everything else it brings.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "clock.h"
#include "ingest.h"
#include "protocol.h"
#include "session_table.h"

namespace {

class SteppedClock final : public vocari::Clock {
  public:
    int64_t nowNs() const override { return now += 2'500'000; }

  private:
    mutable int64_t now = 1'000'000'000'000;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vocari::SessionTable table(48000.0, 45.0);
    static SteppedClock clock;
    vocari::Session& session = *table.claim(0, 8, 0, clock.nowNs());
    std::vector<float> played(2 * 512);
    std::vector<uint8_t> message;
    size_t at = 0;
    while (at < size) {
        // Lengths are scaled so a few input bytes can still make a long Opus packet.
        const size_t length = std::min<size_t>(size - at - 1, size_t{data[at]} * 17 + 28);
        ++at;
        message.assign(data + at, data + at + length);
        at += length;
        message.resize(std::max<size_t>(message.size(), vocari::protocol::kAudioHeaderSize));
        vocari::protocol::writeHeader(message.data(), vocari::protocol::MessageType::Audio);
        const auto header = vocari::protocol::parseAudioHeader(message);
        if (!header) {
            __builtin_trap();
        }
        vocari::ingestAudio(session, *header,
                            std::span(message).subspan(vocari::protocol::kAudioHeaderSize), clock);
        // The receiving thread's wait ends; then the render plays a callback.
        vocari::feedOnTime(session, clock, 0);
        session.jitter->pull(played.data(), 512);
        if (session.stash.size() > vocari::PacketStash::kCapacity) {
            __builtin_trap();
        }
        if (session.ring.depth() >= vocari::SampleRing::kCapacity) {
            __builtin_trap();
        }
    }
    session.close();
    table.releaseClosing();
    return 0;
}
