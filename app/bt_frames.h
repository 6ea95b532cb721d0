#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// The frames a phone and the Bluetooth bridge exchange on an RFCOMM channel: a type byte, the
// payload's length as 4 bytes, most significant first, then the payload. Frames follow each
// other with no gap and arrive split and joined however the radio delivers them.
namespace vocari::app {

// The longest payload a phone may announce; a longer one is a broken or hostile stream.
inline constexpr uint32_t kMaxBtPayload = 65536;
inline constexpr size_t kBtHeaderSize = 5;

namespace bt_frame {
inline constexpr uint8_t kHello = 'H';       // phone: hello, first byte its bridge protocol version
inline constexpr uint8_t kTestStart = 'R';   // phone: link test begins
inline constexpr uint8_t kTestFill = 'P';    // phone: link test filler, counted
inline constexpr uint8_t kTestEnd = 'E';     // phone: link test ends
inline constexpr uint8_t kAttach = 'A';      // phone: connect me to the receiver
inline constexpr uint8_t kDetach = 'D';      // phone: disconnect me
inline constexpr uint8_t kData = 'd';        // both: the receiver's TCP byte stream
inline constexpr uint8_t kTestAck = 'r';     // bridge: link test start acknowledged
inline constexpr uint8_t kTestResult = 'e';  // bridge: bytes counted, 4 bytes big-endian
}  // namespace bt_frame

std::vector<uint8_t> encodeBtFrame(uint8_t type, const uint8_t* payload, size_t length);

// Writes `frame` as consecutive pieces of at most `mtu` bytes; a piece may end inside a frame. An
// MTU of 0 (a channel that cannot say) writes the frame whole rather than never.
void writeInPieces(const std::vector<uint8_t>& frame, size_t mtu,
                   const std::function<void(const uint8_t*, size_t)>& write);

// Cuts the bytes received on a channel into frames. Not thread-safe: the channel's thread only.
class BtFrameReader {
  public:
    enum class Result {
        Frame,     // `type` and `payload` hold the next frame
        NeedMore,  // no complete frame yet
        TooLong,   // a header announced more than kMaxBtPayload: the stream cannot go on
    };

    void append(const uint8_t* bytes, size_t length);
    Result next(uint8_t& type, std::vector<uint8_t>& payload);
    // Forgets every byte received (the channel is gone).
    void clear();
    size_t buffered() const { return inbox_.size() - start_; }

  private:
    std::vector<uint8_t> inbox_;
    size_t start_ = 0;  // bytes at the front already taken as frames
};

}  // namespace vocari::app
