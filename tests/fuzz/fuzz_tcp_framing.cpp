// The TCP length-prefix reader: the same stream cut into arbitrary pieces must give the same
// messages, in the same order, and the same verdict as the stream fed in one piece.

#include <cstdlib>
#include <vector>

#include "protocol.h"

using vocari::protocol::FrameReader;

namespace {

struct Result {
    std::vector<std::vector<uint8_t>> messages;
    FrameReader::Status status = FrameReader::Status::Ok;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte seeds the piece sizes; the rest is the stream.
    unsigned seed = data[0];
    const std::span<const uint8_t> stream(data + 1, size - 1);

    auto collect = [](Result& result) {
        return [&result](std::span<const uint8_t> message) {
            if (message.size() < 8 || message.size() > 4124) {
                std::abort();
            }
            result.messages.emplace_back(message.begin(), message.end());
        };
    };

    Result whole;
    FrameReader wholeReader;
    whole.status = wholeReader.feed(stream, collect(whole));

    Result pieces;
    FrameReader pieceReader;
    size_t at = 0;
    while (at < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(1 + (seed >> 16) % 700, stream.size() - at);
        pieces.status = pieceReader.feed(stream.subspan(at, piece), collect(pieces));
        at += piece;
    }
    if (pieces.messages != whole.messages || pieces.status != whole.status) {
        std::abort();
    }
    return 0;
}
