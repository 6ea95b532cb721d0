// Frames on the Bluetooth channel: cut the same however the radio splits and joins them, the
// largest payload accepted and a longer one refused at its header, pieces of the channel's MTU.

#include <gtest/gtest.h>

#include "bt_frames.h"

namespace vocari::app {
namespace {

using Frame = std::pair<uint8_t, std::vector<uint8_t>>;

std::vector<Frame> readAll(BtFrameReader& reader) {
    std::vector<Frame> frames;
    Frame frame;
    while (reader.next(frame.first, frame.second) == BtFrameReader::Result::Frame) {
        frames.push_back(frame);
    }
    return frames;
}

TEST(BtFrames, SplitAtEveryByteOrJoinedTheyReadTheSame) {
    const std::vector<uint8_t> payload = {1, 2, 3};
    std::vector<uint8_t> stream = encodeBtFrame(bt_frame::kHello, payload.data(), 1);
    for (const uint8_t type : {bt_frame::kTestStart, bt_frame::kData, bt_frame::kAttach}) {
        const auto frame = encodeBtFrame(type, payload.data(), payload.size());
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    BtFrameReader whole;
    whole.append(stream.data(), stream.size());
    const std::vector<Frame> expected = readAll(whole);
    ASSERT_EQ(expected.size(), 4u);
    EXPECT_EQ(expected[0], (Frame{'H', {1}}));
    EXPECT_EQ(expected[3], (Frame{'A', {1, 2, 3}}));
    EXPECT_EQ(whole.buffered(), 0u);

    for (size_t cut = 1; cut < stream.size(); ++cut) {
        BtFrameReader split;
        split.append(stream.data(), cut);
        std::vector<Frame> frames = readAll(split);
        split.append(stream.data() + cut, stream.size() - cut);
        const std::vector<Frame> rest = readAll(split);
        frames.insert(frames.end(), rest.begin(), rest.end());
        EXPECT_EQ(frames, expected) << "cut at " << cut;
    }
}

TEST(BtFrames, TheLargestPayloadIsTakenAndALongerOneRefusedAtItsHeader) {
    const std::vector<uint8_t> largest(kMaxBtPayload, 7);
    const auto frame = encodeBtFrame(bt_frame::kData, largest.data(), largest.size());
    BtFrameReader reader;
    reader.append(frame.data(), frame.size());
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    ASSERT_EQ(reader.next(type, payload), BtFrameReader::Result::Frame);
    EXPECT_EQ(payload.size(), kMaxBtPayload);

    const uint8_t tooLong[] = {'d', 0x00, 0x01, 0x00, 0x01};  // 65537, no payload yet
    reader.append(tooLong, 4);
    EXPECT_EQ(reader.next(type, payload), BtFrameReader::Result::NeedMore);
    reader.append(tooLong + 4, 1);
    EXPECT_EQ(reader.next(type, payload), BtFrameReader::Result::TooLong);
}

TEST(BtFrames, FramesAreWrittenInPiecesOfTheMtu) {
    const std::vector<uint8_t> payload(2048, 1);
    const auto frame = encodeBtFrame(bt_frame::kData, payload.data(), payload.size());
    std::vector<size_t> pieces;
    std::vector<uint8_t> written;
    const auto write = [&](const uint8_t* bytes, size_t length) {
        pieces.push_back(length);
        written.insert(written.end(), bytes, bytes + length);
    };
    writeInPieces(frame, 127, write);
    ASSERT_EQ(pieces.size(), 17u);
    EXPECT_EQ(pieces.back(), 21u);
    EXPECT_EQ(written, frame);
    pieces.clear();
    writeInPieces(frame, 0, write);  // an MTU the channel cannot tell
    EXPECT_EQ(pieces, std::vector<size_t>{frame.size()});
}

}  // namespace
}  // namespace vocari::app
