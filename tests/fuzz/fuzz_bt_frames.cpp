// The Bluetooth frame reader on any bytes: never more than it was given, never a payload above
// the limit, and the same frames however the bytes are split into deliveries.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bt_frames.h"

namespace {

using vocari::app::BtFrameReader;

// Reads frames until the reader needs more; false once it refused a header.
bool drain(BtFrameReader& reader, std::vector<std::vector<uint8_t>>& frames) {
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    while (true) {
        switch (reader.next(type, payload)) {
            case BtFrameReader::Result::Frame:
                if (payload.size() > vocari::app::kMaxBtPayload) {
                    std::abort();
                }
                payload.insert(payload.begin(), type);
                frames.push_back(payload);
                break;
            case BtFrameReader::Result::NeedMore:
                return true;
            case BtFrameReader::Result::TooLong:
                return false;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t step = 1 + data[0] % 32;
    std::vector<std::vector<uint8_t>> whole;
    BtFrameReader once;
    once.append(data + 1, size - 1);
    const bool wholeGood = drain(once, whole);

    std::vector<std::vector<uint8_t>> pieces;
    BtFrameReader split;
    bool splitGood = true;
    for (size_t at = 1; at < size && splitGood; at += step) {
        split.append(data + at, std::min(step, size - at));
        splitGood = drain(split, pieces);
    }
    if (whole != pieces || wholeGood != splitGood) {
        std::abort();
    }
    return 0;
}
