#pragma once

// The phone wire protocol: every message a phone and the receiver exchange, on UDP 5555, on the
// length-prefixed TCP stream and on the time-sync port 5557. Pure encoding and decoding, no
// sockets. All integers are little-endian and several fields sit at odd offsets, so every field
// is read and written byte by byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vocari::protocol {

inline constexpr uint32_t kMagic = 0x564F4341;  // the bytes "ACOV"
inline constexpr uint8_t kVersion = 7;

// Wi-Fi phones send to the receiver's UDP 5555; the time exchange runs between the receiver's
// and each phone's UDP 5557.
inline constexpr uint16_t kPhonePort = 5555;
inline constexpr uint16_t kTimeSyncPort = 5557;

enum class MessageType : uint8_t {
    Hello = 1,
    Audio = 2,
    TimeRequest = 4,
    TimeResponse = 5,
    Bye = 6,
    Heartbeat = 7,
};

inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kHelloSize = 55;
inline constexpr size_t kAudioHeaderSize = 28;
inline constexpr size_t kHeartbeatSize = 20;
inline constexpr size_t kTimeRequestSize = 20;
inline constexpr size_t kTimeResponseSize = 36;
// Longest message the receiver reads: UDP datagrams are cut to it, TCP lengths above it end the
// connection.
inline constexpr size_t kMaxMessageSize = 4124;
inline constexpr size_t kLengthPrefixSize = 4;
inline constexpr size_t kPhoneNameField = 24;

// Buffer presets a phone may request in its HELLO.
enum class BufferPreset : uint8_t { Low = 0, Balanced = 1, Safe = 2, Fixed = 3 };
inline constexpr uint16_t kMinFixedMs = 20;
inline constexpr uint16_t kMaxFixedMs = 400;

enum class Codec : uint8_t { Pcm = 0, Opus = 2 };

uint16_t readU16(const uint8_t* at);
uint32_t readU32(const uint8_t* at);
uint64_t readU64(const uint8_t* at);
int64_t readI64(const uint8_t* at);
void writeU16(uint8_t* at, uint16_t value);
void writeU32(uint8_t* at, uint32_t value);
void writeU64(uint8_t* at, uint64_t value);

// True when the message is at least a header long, starts with the magic and carries version 7:
// the check every received message passes before anything else looks at it.
bool headerValid(std::span<const uint8_t> message);
// The type byte of a message that passed headerValid.
uint8_t messageType(std::span<const uint8_t> message);
void writeHeader(uint8_t* at, MessageType type);

struct Hello {
    uint8_t preset = 0;
    uint32_t pairingCode = 0;
    uint16_t fixedMs = 0;  // as sent; clampFixedMs gives the value the receiver uses
    uint32_t deviceId = 0;
    // The phone's name as the receiver keeps it: at most 23 bytes, always NUL-terminated.
    std::array<char, kPhoneNameField> name{};
};

uint16_t clampFixedMs(uint16_t requested);

// A HELLO of at least 55 bytes with a valid header and type 1; nullopt otherwise.
std::optional<Hello> parseHello(std::span<const uint8_t> message);
// The pairing code at offset 21 of a message known to be at least 55 bytes long.
uint32_t helloPairingCode(std::span<const uint8_t> message);
// `name` is cut to 24 bytes on the wire (the receiver keeps 23).
std::array<uint8_t, kHelloSize> encodeHello(uint8_t preset, uint32_t pairingCode, uint16_t fixedMs,
                                            uint32_t deviceId, std::span<const char> name);

struct AudioHeader {
    uint32_t sequence = 0;
    uint16_t frames = 0;
    uint8_t channels = 0;
    uint8_t codec = 0;
    int64_t senderTimeNs = 0;
};

// The 28-byte header of an AUDIO message of at least 28 bytes with a valid header and type 2.
std::optional<AudioHeader> parseAudioHeader(std::span<const uint8_t> message);
std::vector<uint8_t> encodeAudio(const AudioHeader& header, std::span<const uint8_t> payload);

std::array<uint8_t, kHeaderSize> encodeBye();

struct Heartbeat {
    uint32_t packets = 0;
    uint32_t bufferMs = 0;
    uint32_t underruns = 0;
};

std::array<uint8_t, kHeartbeatSize> encodeHeartbeat(const Heartbeat& heartbeat);
std::optional<Heartbeat> parseHeartbeat(std::span<const uint8_t> message);

struct TimeRequest {
    uint32_t sequence = 0;
    uint64_t t1 = 0;
};

struct TimeResponse {
    uint32_t sequence = 0;
    uint64_t t1 = 0;
    int64_t t2 = 0;
    int64_t t3 = 0;
};

std::array<uint8_t, kTimeRequestSize> encodeTimeRequest(const TimeRequest& request);
std::optional<TimeRequest> parseTimeRequest(std::span<const uint8_t> message);
std::array<uint8_t, kTimeResponseSize> encodeTimeResponse(const TimeResponse& response);
// Exactly 36 bytes, the magic and type 5; the version byte is not looked at.
std::optional<TimeResponse> parseTimeResponse(std::span<const uint8_t> message);

// Prepends the 4-byte little-endian length the TCP link puts before every message.
std::vector<uint8_t> frameForStream(std::span<const uint8_t> message);

// Splits the TCP byte stream into messages. Bytes may arrive in any number of pieces, and one
// piece may hold several messages. A length outside [8, 4124] poisons the reader: the
// connection must end. Holds at most one message; allocates nothing after construction.
class FrameReader {
  public:
    enum class Status { Ok, BadLength };

    // Feeds the next bytes of the stream; calls onMessage(std::span<const uint8_t>) for every
    // message completed, in order. Returns BadLength (and stops) at the first invalid length;
    // every later call returns BadLength at once.
    template <typename OnMessage>
    Status feed(std::span<const uint8_t> bytes, OnMessage&& onMessage);

    bool poisoned() const { return poisoned_; }
    // Bytes held of a message not yet complete (length prefix included).
    size_t pending() const { return filled_; }

  private:
    // Takes bytes into the pending message; returns how many were used.
    size_t take(std::span<const uint8_t> bytes);

    std::array<uint8_t, kLengthPrefixSize + kMaxMessageSize> buffer_{};
    size_t filled_ = 0;
    size_t expected_ = 0;  // message length once the prefix is complete, else 0
    bool poisoned_ = false;
};

template <typename OnMessage>
FrameReader::Status FrameReader::feed(std::span<const uint8_t> bytes, OnMessage&& onMessage) {
    while (!poisoned_ && !bytes.empty()) {
        bytes = bytes.subspan(take(bytes));
        if (poisoned_) {
            break;
        }
        if (expected_ != 0 && filled_ == kLengthPrefixSize + expected_) {
            const std::span<const uint8_t> message(buffer_.data() + kLengthPrefixSize, expected_);
            filled_ = 0;
            expected_ = 0;
            onMessage(message);
        }
    }
    return poisoned_ ? Status::BadLength : Status::Ok;
}

}  // namespace vocari::protocol
