// Every phone message parser on arbitrary bytes: no crash, and whatever parses re-encodes to the
// same fields.

#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol.h"

using namespace vocari::protocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> message(data, size);
    const bool valid = headerValid(message);
    if (valid && size < kHeaderSize) {
        std::abort();
    }
    if (const auto hello = parseHello(message)) {
        if (!valid || size < kHelloSize || hello->name.back() != '\0') {
            std::abort();
        }
        const auto again =
            parseHello(encodeHello(hello->preset, hello->pairingCode, hello->fixedMs,
                                   hello->deviceId, std::span(hello->name.data(), 23)));
        if (!again || again->pairingCode != hello->pairingCode ||
            again->fixedMs != hello->fixedMs || again->deviceId != hello->deviceId ||
            again->preset != hello->preset ||
            std::strcmp(again->name.data(), hello->name.data()) != 0) {
            std::abort();
        }
        const uint16_t clamped = clampFixedMs(hello->fixedMs);
        if (clamped < kMinFixedMs || clamped > kMaxFixedMs) {
            std::abort();
        }
    }
    if (const auto audio = parseAudioHeader(message)) {
        const auto again = parseAudioHeader(encodeAudio(*audio, message.subspan(kAudioHeaderSize)));
        if (!again || again->sequence != audio->sequence || again->frames != audio->frames ||
            again->channels != audio->channels || again->codec != audio->codec ||
            again->senderTimeNs != audio->senderTimeNs) {
            std::abort();
        }
    }
    if (const auto heartbeat = parseHeartbeat(message)) {
        const auto encoded = encodeHeartbeat(*heartbeat);
        if (std::memcmp(encoded.data() + 8, data + 8, 12) != 0) {
            std::abort();
        }
    }
    if (const auto request = parseTimeRequest(message)) {
        if (parseTimeRequest(encodeTimeRequest(*request))->t1 != request->t1) {
            std::abort();
        }
    }
    if (const auto response = parseTimeResponse(message)) {
        const auto encoded = encodeTimeResponse(*response);
        if (size != kTimeResponseSize || std::memcmp(encoded.data() + 8, data + 8, 28) != 0) {
            std::abort();
        }
    }
    return 0;
}
