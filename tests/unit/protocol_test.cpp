#include "protocol.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>

namespace vocari::protocol {
namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) {
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

TEST(Heartbeat, MatchesTheBytesPhonesExpect) {
    const auto message = encodeHeartbeat({1000, 45, 2});
    const auto expected = bytes({0x41, 0x43, 0x4F, 0x56, 0x07, 0x07, 0x00, 0x00, 0xE8, 0x03,
                                 0x00, 0x00, 0x2D, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00});
    EXPECT_EQ(std::vector<uint8_t>(message.begin(), message.end()), expected);

    const auto framed = frameForStream(message);
    ASSERT_EQ(framed.size(), 24u);
    EXPECT_EQ(std::vector<uint8_t>(framed.begin(), framed.begin() + 4), bytes({0x14, 0, 0, 0}));

    const auto parsed = parseHeartbeat(message);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->packets, 1000u);
    EXPECT_EQ(parsed->bufferMs, 45u);
    EXPECT_EQ(parsed->underruns, 2u);
}

TEST(Fields, AreLittleEndianAtAnyOffset) {
    std::vector<uint8_t> buffer(32, 0xEE);
    for (size_t offset = 0; offset < 8; ++offset) {
        writeU32(&buffer[offset + 1], 0x11223344);
        EXPECT_EQ(buffer[offset + 1], 0x44);
        EXPECT_EQ(buffer[offset + 4], 0x11);
        EXPECT_EQ(readU32(&buffer[offset + 1]), 0x11223344u);
        writeU16(&buffer[offset + 3], 0xBEEF);
        EXPECT_EQ(readU16(&buffer[offset + 3]), 0xBEEF);
        writeU64(&buffer[offset + 5], 0x0102030405060708ULL);
        EXPECT_EQ(buffer[offset + 5], 0x08);
        EXPECT_EQ(readU64(&buffer[offset + 5]), 0x0102030405060708ULL);
    }
    writeU64(&buffer[3], static_cast<uint64_t>(int64_t{-2}));
    EXPECT_EQ(readI64(&buffer[3]), -2);
}

TEST(Header, RejectsShortForeignAndOtherVersions) {
    const auto bye = encodeBye();
    EXPECT_TRUE(headerValid(bye));
    EXPECT_FALSE(headerValid(std::span(bye).first(7)));
    auto wrongMagic = bye;
    wrongMagic[0] = 'X';
    EXPECT_FALSE(headerValid(wrongMagic));
    auto wrongVersion = bye;
    wrongVersion[4] = 6;
    EXPECT_FALSE(headerValid(wrongVersion));
    auto reserved = bye;
    reserved[6] = 0xFF;  // reserved bytes are not checked on receipt
    EXPECT_TRUE(headerValid(reserved));
}

TEST(Hello, NeedsFiftyFiveBytes) {
    const std::string name = "Pixel";
    const auto hello = encodeHello(2, 123456, 80, 0xA1B2C3D4, name);
    EXPECT_FALSE(parseHello(std::span(hello).first(54)));
    const auto parsed = parseHello(hello);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->preset, 2);
    EXPECT_EQ(parsed->pairingCode, 123456u);
    EXPECT_EQ(parsed->fixedMs, 80);
    EXPECT_EQ(parsed->deviceId, 0xA1B2C3D4u);
    EXPECT_STREQ(parsed->name.data(), "Pixel");

    std::vector<uint8_t> longer(hello.begin(), hello.end());
    longer.resize(200, 0x55);  // bytes past the fields are ignored
    EXPECT_TRUE(parseHello(longer));

    auto notHello = hello;
    notHello[5] = static_cast<uint8_t>(MessageType::Audio);
    EXPECT_FALSE(parseHello(notHello));
}

TEST(Hello, FieldsSitAtTheirOddOffsets) {
    const auto hello = encodeHello(3, 0x000F4240 - 1, 0x0190, 0x01020304, std::string("A"));
    EXPECT_EQ(hello[20], 3);
    EXPECT_EQ(readU32(&hello[21]), 999999u);
    EXPECT_EQ(hello[25], 0x90);
    EXPECT_EQ(hello[26], 0x01);
    EXPECT_EQ(hello[27], 0x04);
    EXPECT_EQ(hello[30], 0x01);
    EXPECT_EQ(hello[31], 'A');
    EXPECT_EQ(helloPairingCode(hello), 999999u);
}

TEST(Hello, NameKeepsTwentyThreeBytes) {
    const std::string name(24, 'n');
    const auto hello = encodeHello(0, 111111, 20, 1, name);
    EXPECT_EQ(hello[54], 'n');  // all 24 bytes travel
    const auto parsed = parseHello(hello);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(std::string(parsed->name.data()), std::string(23, 'n'));

    const auto tooLong = encodeHello(0, 111111, 20, 1, std::string(40, 'x'));
    EXPECT_EQ(std::string(parseHello(tooLong)->name.data()), std::string(23, 'x'));
}

TEST(Hello, FixedMsIsClamped) {
    EXPECT_EQ(clampFixedMs(0), 20);
    EXPECT_EQ(clampFixedMs(5), 20);
    EXPECT_EQ(clampFixedMs(20), 20);
    EXPECT_EQ(clampFixedMs(137), 137);
    EXPECT_EQ(clampFixedMs(400), 400);
    EXPECT_EQ(clampFixedMs(1000), 400);
    EXPECT_EQ(clampFixedMs(65535), 400);
}

TEST(Audio, HeaderRoundTripsAndNeedsTwentyEightBytes) {
    const AudioHeader header{0xFFFFFFFF, 960, 2, static_cast<uint8_t>(Codec::Opus),
                             -123456789012345};
    const std::vector<uint8_t> payload = {1, 2, 3};
    const auto message = encodeAudio(header, payload);
    ASSERT_EQ(message.size(), 31u);
    EXPECT_EQ(message[28], 1);
    const auto parsed = parseAudioHeader(message);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sequence, 0xFFFFFFFFu);
    EXPECT_EQ(parsed->frames, 960);
    EXPECT_EQ(parsed->channels, 2);
    EXPECT_EQ(parsed->codec, 2);
    EXPECT_EQ(parsed->senderTimeNs, -123456789012345);
    EXPECT_TRUE(parseAudioHeader(std::span(message).first(28)));
    EXPECT_FALSE(parseAudioHeader(std::span(message).first(27)));
}

TEST(TimeSync, RequestAndResponseLayout) {
    const auto request = encodeTimeRequest({7, 0x1122334455667788ULL});
    EXPECT_EQ(request[5], 4);
    EXPECT_EQ(readU32(&request[8]), 7u);
    EXPECT_EQ(readU64(&request[12]), 0x1122334455667788ULL);
    EXPECT_EQ(parseTimeRequest(request)->t1, 0x1122334455667788ULL);

    auto response = encodeTimeResponse({9, 100, 1000, 1100});
    const auto parsed = parseTimeResponse(response);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sequence, 9u);
    EXPECT_EQ(parsed->t1, 100u);
    EXPECT_EQ(parsed->t2, 1000);
    EXPECT_EQ(parsed->t3, 1100);

    response[4] = 99;  // the version byte of a response is not looked at
    EXPECT_TRUE(parseTimeResponse(response));
    EXPECT_FALSE(parseTimeResponse(std::span(response).first(35)));
    std::vector<uint8_t> longer(response.begin(), response.end());
    longer.push_back(0);
    EXPECT_FALSE(parseTimeResponse(longer));
    EXPECT_FALSE(parseTimeResponse(std::span<const uint8_t>(request)));
}

// Collects what a FrameReader delivers.
struct Collected {
    std::vector<std::vector<uint8_t>> messages;
    FrameReader::Status status = FrameReader::Status::Ok;
};

Collected feedInPieces(const std::vector<uint8_t>& stream, const std::vector<size_t>& cuts) {
    FrameReader reader;
    Collected collected;
    size_t at = 0;
    auto onMessage = [&](std::span<const uint8_t> m) {
        collected.messages.emplace_back(m.begin(), m.end());
    };
    for (size_t cut : cuts) {
        collected.status = reader.feed(std::span(stream).subspan(at, cut - at), onMessage);
        at = cut;
    }
    collected.status = reader.feed(std::span(stream).subspan(at), onMessage);
    return collected;
}

std::vector<uint8_t> withLength(uint32_t length, size_t bodySize) {
    std::vector<uint8_t> stream(4 + bodySize, 0x5A);
    writeU32(stream.data(), length);
    return stream;
}

TEST(FrameReader, AcceptsLengthsEightToMaximum) {
    for (uint32_t length : {7u, 8u, 4124u, 4125u, 0u, 0xFFFFFFFFu}) {
        const auto result = feedInPieces(withLength(length, length <= 4125 ? length : 16), {});
        const bool valid = length >= 8 && length <= 4124;
        EXPECT_EQ(result.status == FrameReader::Status::Ok, valid) << length;
        EXPECT_EQ(result.messages.size(), valid ? 1u : 0u) << length;
        if (valid) {
            EXPECT_EQ(result.messages[0].size(), length);
        }
    }
}

TEST(FrameReader, BadLengthPoisonsTheStream) {
    FrameReader reader;
    int delivered = 0;
    auto onMessage = [&](std::span<const uint8_t>) { ++delivered; };
    auto stream = withLength(7, 7);
    const auto bye = frameForStream(encodeBye());
    stream.insert(stream.end(), bye.begin(), bye.end());
    EXPECT_EQ(reader.feed(stream, onMessage), FrameReader::Status::BadLength);
    EXPECT_EQ(reader.feed(bye, onMessage), FrameReader::Status::BadLength);
    EXPECT_EQ(delivered, 0);
    EXPECT_TRUE(reader.poisoned());
}

std::vector<uint8_t> mixedStream(std::vector<std::vector<uint8_t>>& messages) {
    std::mt19937 random(42);
    messages.clear();
    std::vector<uint8_t> stream;
    for (int i = 0; i < 40; ++i) {
        std::vector<uint8_t> payload(random() % 1200);
        std::iota(payload.begin(), payload.end(), static_cast<uint8_t>(i));
        const auto bye = encodeBye();
        const auto message = i % 3 == 0
                                 ? std::vector<uint8_t>(bye.begin(), bye.end())
                                 : encodeAudio({static_cast<uint32_t>(i), 10, 1, 0, i}, payload);
        messages.push_back(message);
        const auto framed = frameForStream(message);
        stream.insert(stream.end(), framed.begin(), framed.end());
    }
    return stream;
}

TEST(FrameReader, ConcatenatedMessagesInOnePiece) {
    std::vector<std::vector<uint8_t>> expected;
    const auto stream = mixedStream(expected);
    const auto result = feedInPieces(stream, {});
    EXPECT_EQ(result.status, FrameReader::Status::Ok);
    EXPECT_EQ(result.messages, expected);
}

TEST(FrameReader, ByteByByteAndRandomFragments) {
    std::vector<std::vector<uint8_t>> expected;
    const auto stream = mixedStream(expected);
    std::vector<size_t> everyByte(stream.size() - 1);
    std::iota(everyByte.begin(), everyByte.end(), size_t{1});
    EXPECT_EQ(feedInPieces(stream, everyByte).messages, expected);

    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = random() % 9; at < stream.size(); at += 1 + random() % 3000) {
            cuts.push_back(at);
        }
        const auto result = feedInPieces(stream, cuts);
        EXPECT_EQ(result.messages, expected) << "round " << round;
    }
}

TEST(FrameReader, HoldsAPartialMessageUntilItCompletes) {
    const auto framed = frameForStream(encodeBye());
    FrameReader reader;
    int delivered = 0;
    auto onMessage = [&](std::span<const uint8_t>) { ++delivered; };
    reader.feed(std::span(framed).first(2), onMessage);
    EXPECT_EQ(reader.pending(), 2u);
    reader.feed(std::span(framed).subspan(2, 5), onMessage);
    EXPECT_EQ(delivered, 0);
    reader.feed(std::span(framed).subspan(7), onMessage);
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(reader.pending(), 0u);
}

}  // namespace
}  // namespace vocari::protocol
