#include "time_sync.h"

#include <gtest/gtest.h>

#include "manual_clock.h"
#include "session_table.h"

namespace vocari {
namespace {

uint32_t ipv4(int last) {
    return 0x0000007F | (static_cast<uint32_t>(last) << 24);
}

std::array<uint8_t, protocol::kTimeResponseSize> response(uint32_t sequence, uint64_t t1 = 0,
                                                          int64_t t2 = 1000, int64_t t3 = 1100) {
    return protocol::encodeTimeResponse({sequence, t1, t2, t3});
}

TEST(TimeSyncResponse, OnlyWholeAnswersToRecentRequestsAreTaken) {
    const auto good = response(100);
    EXPECT_TRUE(acceptTimeResponse(good, 100));
    EXPECT_TRUE(acceptTimeResponse(good, 108));                // 8 behind
    EXPECT_FALSE(acceptTimeResponse(good, 109));               // 9 behind: stale
    EXPECT_FALSE(acceptTimeResponse(good, 99));                // ahead of anything sent
    EXPECT_TRUE(acceptTimeResponse(response(0xFFFFFFFE), 3));  // across the wrap: 5 behind
    EXPECT_FALSE(acceptTimeResponse(std::span(good).first(35), 100));
    auto request = good;
    request[5] = static_cast<uint8_t>(protocol::MessageType::TimeRequest);
    EXPECT_FALSE(acceptTimeResponse(request, 100));
    auto otherVersion = good;
    otherVersion[4] = 9;  // the version is not looked at
    EXPECT_TRUE(acceptTimeResponse(otherVersion, 100));
}

TEST(TimeSyncResponse, IsCreditedToTheFirstWifiPhoneAtItsAddress) {
    test::ManualClock clock;
    SessionTable table(48000.0, 45.0);
    Runtime runtime;
    runtime.sessions = &table;
    runtime.clock = &clock;
    Session* usb = table.claim(0, 8, 0, clock.nowNs());
    Session* lower = table.claim(0, 8, ipv4(2), clock.nowNs());
    Session* higher = table.claim(0, 8, ipv4(3), clock.nowNs());
    lower->setPeer({ipv4(2), 4000});
    higher->setPeer({ipv4(2), 4001});  // a second phone behind the same address

    const auto answer = acceptTimeResponse(response(1, 0, 1000, 1100), 1);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(creditTimeResponse(runtime, *answer, ipv4(2), 300));
    EXPECT_DOUBLE_EQ(lower->rttMs.load(), 0.0002);  // (1000 - 0) + (300 - 1100) ns
    EXPECT_EQ(lower->ptp.lastT4(), 300);
    EXPECT_EQ(higher->rttMs.load(), 0.0);
    EXPECT_EQ(usb->rttMs.load(), 0.0);

    const auto later = acceptTimeResponse(response(2, 5000, 7000, 7100), 2);
    EXPECT_TRUE(creditTimeResponse(runtime, *later, ipv4(2), 9000));
    EXPECT_EQ(lower->ptp.lastT4(), 9000);
    EXPECT_FALSE(creditTimeResponse(runtime, *later, ipv4(9), 9000));
    lower->close();
    EXPECT_TRUE(creditTimeResponse(runtime, *later, ipv4(2), 9000));
    EXPECT_DOUBLE_EQ(higher->rttMs.load(), 0.0039);
}

}  // namespace
}  // namespace vocari
