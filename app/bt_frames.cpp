#include "bt_frames.h"

#include <algorithm>

namespace vocari::app {

std::vector<uint8_t> encodeBtFrame(uint8_t type, const uint8_t* payload, size_t length) {
    std::vector<uint8_t> frame;
    frame.reserve(kBtHeaderSize + length);
    frame.push_back(type);
    const auto size = static_cast<uint32_t>(length);
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<uint8_t>(size >> shift));
    }
    if (length > 0) {
        frame.insert(frame.end(), payload, payload + length);
    }
    return frame;
}

void writeInPieces(const std::vector<uint8_t>& frame, size_t mtu,
                   const std::function<void(const uint8_t*, size_t)>& write) {
    const size_t piece = mtu == 0 ? std::max<size_t>(frame.size(), 1) : mtu;
    for (size_t at = 0; at < frame.size(); at += piece) {
        write(frame.data() + at, std::min(piece, frame.size() - at));
    }
}

void BtFrameReader::append(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length == 0) {
        return;
    }
    // What was taken is dropped before the buffer grows, so it holds at most one frame and the
    // start of the next.
    if (start_ > 0) {
        inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    inbox_.insert(inbox_.end(), bytes, bytes + length);
}

BtFrameReader::Result BtFrameReader::next(uint8_t& type, std::vector<uint8_t>& payload) {
    const size_t available = buffered();
    if (available < kBtHeaderSize) {
        return Result::NeedMore;
    }
    const uint8_t* header = inbox_.data() + start_;
    const uint32_t length = (uint32_t{header[1]} << 24) | (uint32_t{header[2]} << 16) |
                            (uint32_t{header[3]} << 8) | uint32_t{header[4]};
    if (length > kMaxBtPayload) {
        return Result::TooLong;
    }
    if (available < kBtHeaderSize + length) {
        return Result::NeedMore;
    }
    type = header[0];
    payload.assign(header + kBtHeaderSize, header + kBtHeaderSize + length);
    start_ += kBtHeaderSize + length;
    if (start_ == inbox_.size()) {
        inbox_.clear();
        start_ = 0;
    }
    return Result::Frame;
}

void BtFrameReader::clear() {
    inbox_.clear();
    start_ = 0;
}

}  // namespace vocari::app
