#include "protocol.h"

#include <algorithm>
#include <cstring>

namespace vocari::protocol {

uint16_t readU16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t readU32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint64_t readU64(const uint8_t* at) {
    return static_cast<uint64_t>(readU32(at)) | (static_cast<uint64_t>(readU32(at + 4)) << 32);
}

int64_t readI64(const uint8_t* at) {
    return static_cast<int64_t>(readU64(at));
}

void writeU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void writeU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void writeU64(uint8_t* at, uint64_t value) {
    writeU32(at, static_cast<uint32_t>(value));
    writeU32(at + 4, static_cast<uint32_t>(value >> 32));
}

bool headerValid(std::span<const uint8_t> message) {
    return message.size() >= kHeaderSize && readU32(message.data()) == kMagic &&
           message[4] == kVersion;
}

uint8_t messageType(std::span<const uint8_t> message) {
    return message[5];
}

void writeHeader(uint8_t* at, MessageType type) {
    writeU32(at, kMagic);
    at[4] = kVersion;
    at[5] = static_cast<uint8_t>(type);
    at[6] = 0;
    at[7] = 0;
}

namespace {

bool isType(std::span<const uint8_t> message, MessageType type, size_t minimumSize) {
    return message.size() >= minimumSize && headerValid(message) &&
           messageType(message) == static_cast<uint8_t>(type);
}

}  // namespace

uint16_t clampFixedMs(uint16_t requested) {
    return std::clamp(requested, kMinFixedMs, kMaxFixedMs);
}

uint32_t helloPairingCode(std::span<const uint8_t> message) {
    return readU32(&message[21]);
}

std::optional<Hello> parseHello(std::span<const uint8_t> message) {
    if (!isType(message, MessageType::Hello, kHelloSize)) {
        return std::nullopt;
    }
    Hello hello;
    hello.preset = message[20];
    hello.pairingCode = helloPairingCode(message);
    hello.fixedMs = readU16(&message[25]);
    hello.deviceId = readU32(&message[27]);
    std::memcpy(hello.name.data(), &message[31], kPhoneNameField);
    hello.name.back() = '\0';
    return hello;
}

std::array<uint8_t, kHelloSize> encodeHello(uint8_t preset, uint32_t pairingCode, uint16_t fixedMs,
                                            uint32_t deviceId, std::span<const char> name) {
    std::array<uint8_t, kHelloSize> message{};
    writeHeader(message.data(), MessageType::Hello);
    message[20] = preset;
    writeU32(&message[21], pairingCode);
    writeU16(&message[25], fixedMs);
    writeU32(&message[27], deviceId);
    std::memcpy(&message[31], name.data(), std::min(name.size(), kPhoneNameField));
    return message;
}

std::optional<AudioHeader> parseAudioHeader(std::span<const uint8_t> message) {
    if (!isType(message, MessageType::Audio, kAudioHeaderSize)) {
        return std::nullopt;
    }
    AudioHeader header;
    header.sequence = readU32(&message[8]);
    header.frames = readU16(&message[16]);
    header.channels = message[18];
    header.codec = message[19];
    header.senderTimeNs = readI64(&message[20]);
    return header;
}

std::vector<uint8_t> encodeAudio(const AudioHeader& header, std::span<const uint8_t> payload) {
    std::vector<uint8_t> message(kAudioHeaderSize + payload.size());
    writeHeader(message.data(), MessageType::Audio);
    writeU32(&message[8], header.sequence);
    writeU16(&message[16], header.frames);
    message[18] = header.channels;
    message[19] = header.codec;
    writeU64(&message[20], static_cast<uint64_t>(header.senderTimeNs));
    std::copy(payload.begin(), payload.end(), message.begin() + kAudioHeaderSize);
    return message;
}

std::array<uint8_t, kHeaderSize> encodeBye() {
    std::array<uint8_t, kHeaderSize> message{};
    writeHeader(message.data(), MessageType::Bye);
    return message;
}

std::array<uint8_t, kHeartbeatSize> encodeHeartbeat(const Heartbeat& heartbeat) {
    std::array<uint8_t, kHeartbeatSize> message{};
    writeHeader(message.data(), MessageType::Heartbeat);
    writeU32(&message[8], heartbeat.packets);
    writeU32(&message[12], heartbeat.bufferMs);
    writeU32(&message[16], heartbeat.underruns);
    return message;
}

std::optional<Heartbeat> parseHeartbeat(std::span<const uint8_t> message) {
    if (!isType(message, MessageType::Heartbeat, kHeartbeatSize)) {
        return std::nullopt;
    }
    return Heartbeat{readU32(&message[8]), readU32(&message[12]), readU32(&message[16])};
}

std::array<uint8_t, kTimeRequestSize> encodeTimeRequest(const TimeRequest& request) {
    std::array<uint8_t, kTimeRequestSize> message{};
    writeHeader(message.data(), MessageType::TimeRequest);
    writeU32(&message[8], request.sequence);
    writeU64(&message[12], request.t1);
    return message;
}

std::optional<TimeRequest> parseTimeRequest(std::span<const uint8_t> message) {
    if (!isType(message, MessageType::TimeRequest, kTimeRequestSize)) {
        return std::nullopt;
    }
    return TimeRequest{readU32(&message[8]), readU64(&message[12])};
}

std::array<uint8_t, kTimeResponseSize> encodeTimeResponse(const TimeResponse& response) {
    std::array<uint8_t, kTimeResponseSize> message{};
    writeHeader(message.data(), MessageType::TimeResponse);
    writeU32(&message[8], response.sequence);
    writeU64(&message[12], response.t1);
    writeU64(&message[20], static_cast<uint64_t>(response.t2));
    writeU64(&message[28], static_cast<uint64_t>(response.t3));
    return message;
}

std::optional<TimeResponse> parseTimeResponse(std::span<const uint8_t> message) {
    if (message.size() != kTimeResponseSize || readU32(message.data()) != kMagic ||
        messageType(message) != static_cast<uint8_t>(MessageType::TimeResponse)) {
        return std::nullopt;
    }
    return TimeResponse{readU32(&message[8]), readU64(&message[12]), readI64(&message[20]),
                        readI64(&message[28])};
}

std::vector<uint8_t> frameForStream(std::span<const uint8_t> message) {
    std::vector<uint8_t> framed(kLengthPrefixSize + message.size());
    writeU32(framed.data(), static_cast<uint32_t>(message.size()));
    std::copy(message.begin(), message.end(), framed.begin() + kLengthPrefixSize);
    return framed;
}

size_t FrameReader::take(std::span<const uint8_t> bytes) {
    const size_t wanted =
        expected_ == 0 ? kLengthPrefixSize - filled_ : kLengthPrefixSize + expected_ - filled_;
    const size_t used = std::min(wanted, bytes.size());
    std::memcpy(buffer_.data() + filled_, bytes.data(), used);
    filled_ += used;
    if (expected_ == 0 && filled_ == kLengthPrefixSize) {
        const uint32_t length = readU32(buffer_.data());
        if (length < kHeaderSize || length > kMaxMessageSize) {
            poisoned_ = true;
        } else {
            expected_ = length;
        }
    }
    return used;
}

}  // namespace vocari::protocol
