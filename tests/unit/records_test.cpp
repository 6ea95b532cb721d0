#include "records.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace vocari::app {
namespace {

const std::vector<std::string> kKitchen = {
    "session:", "1",    "1",        "1234",         "60",   "45",         "2",
    "3.5",      "-1.0", "balanced", "192.168.1.20", "opus", "4294967295", "Kitchen"};

// The fields joined with tabs, field `index` replaced by `text`.
std::string lineWith(std::vector<std::string> fields, std::size_t index, const std::string& text) {
    fields[index] = text;
    std::string line = fields[0];
    for (std::size_t i = 1; i < fields.size(); ++i) {
        line += "\t" + fields[i];
    }
    return line;
}

const std::vector<std::string> kDevice = {"device:", "1", "16", "4", "vocari-lb", "Loopback 16"};
const char* const kNotIntegers[] = {"", " 1", "1 ", "1.0", "+-1", "0x10", "-", "1e3"};

TEST(LoopbackDeviceParse, ReadsFieldsAndKeepsTheRestOfTheLineAsName) {
    EXPECT_EQ(LoopbackDevice::parse(lineWith(kDevice, 0, "device:")),
              (LoopbackDevice{"vocari-lb", "Loopback 16", 16, true, 4}));
    EXPECT_EQ(LoopbackDevice::parse("device:\t0\t+2\t-2\tu\tA\t\tB\t"),
              (LoopbackDevice{"u", "A\t\tB\t", 2, false, -2}));
    EXPECT_EQ(LoopbackDevice::parse("device:\t\t2\t0\t\t"), (LoopbackDevice{"", "", 2, false, 0}));
    EXPECT_EQ(LoopbackDevice::parse("device:\t1\t2\t0\tu\t\r")->name, "\r");
    for (const char* active : {"01", "0", "+1", "1 ", ""}) {
        EXPECT_FALSE(LoopbackDevice::parse(lineWith(kDevice, 1, active))->isActive) << active;
    }
}

TEST(LoopbackDeviceParse, RejectsMalformedLines) {
    for (const char* line : {"device:\t1\t16\t0\tuid", "devices:\t1\t16\t0\tu\tn",
                             " device:\t1\t16\t0\tu\tn", "device:1\t16\t0\tu\tn\t"}) {
        EXPECT_FALSE(LoopbackDevice::parse(line)) << line;
    }
    EXPECT_FALSE(LoopbackDevice::parse(lineWith(kDevice, 3, "")));
    EXPECT_FALSE(LoopbackDevice::parse(lineWith(kDevice, 2, "2147483648")));
    EXPECT_FALSE(LoopbackDevice::parse(lineWith(kDevice, 3, "-2147483649")));
}

TEST(PhoneSessionParse, ReadsEveryFieldInOrder) {
    EXPECT_EQ(PhoneSession::parse(lineWith(kKitchen, 0, "session:")),
              (PhoneSession{1, 1, 1234, 60, 45, 2, 3.5, -1.0, "balanced", "192.168.1.20", "opus",
                            4294967295u, "Kitchen"}));
    EXPECT_EQ(PhoneSession::parse(
                  "session:\t+8\t-2147483648\t18446744073709551615\t-0\t0\t4294967295\t+2.25\t1e3"
                  "\tlow\t(silent)\tpcm\t-0\tTab\tPhone\t"),
              (PhoneSession{8, INT_MIN, UINT64_MAX, 0, 0, 4294967295, 2.25, 1000.0, "low",
                            "(silent)", "pcm", 0, "Tab\tPhone\t"}));
    EXPECT_EQ(PhoneSession::parse(lineWith(kKitchen, 13, ""))->name, "");
}

TEST(PhoneSessionParse, OneBadFieldDropsTheLine) {
    EXPECT_FALSE(
        PhoneSession::parse(lineWith({kKitchen.begin(), kKitchen.end() - 1}, 0, "session:")));
    EXPECT_FALSE(PhoneSession::parse(lineWith(kKitchen, 0, "session")));
    for (const std::size_t integer : {1, 2, 3, 4, 5, 6, 12}) {
        for (const char* text : kNotIntegers) {
            EXPECT_FALSE(PhoneSession::parse(lineWith(kKitchen, integer, text))) << integer << text;
        }
    }
    for (const char* text :
         {"", "nan", "inf", "-inf", "1,5", "1.5ms", " 1.0", "+-1.0", "0x1p3", "1e400", "1.0.0"}) {
        EXPECT_FALSE(PhoneSession::parse(lineWith(kKitchen, 7, text))) << text;
        EXPECT_FALSE(PhoneSession::parse(lineWith(kKitchen, 8, text))) << text;
    }
    for (const auto& [index, text] : std::vector<std::pair<std::size_t, std::string>>{
             {3, "-1"}, {3, "18446744073709551616"}, {12, "-1"}, {12, "4294967296"}}) {
        EXPECT_FALSE(PhoneSession::parse(lineWith(kKitchen, index, text))) << index << text;
    }
}

TEST(RecordValues, PairsSilenceAndChannelLabels) {
    for (const auto& [channels, pairs] : {std::pair{2, 1}, {3, 1}, {4, 2}, {16, 8}, {0, 1}}) {
        EXPECT_EQ((LoopbackDevice{"u", "n", channels, false, 0}.stereoPairs()), pairs) << channels;
    }
    PhoneSession session;
    for (const auto& [first, label] :
         {std::pair{1, "1\u20132"}, {7, "7\u20138"}, {INT_MAX, "2147483647\u20132147483648"}}) {
        session.firstChannel = first;
        EXPECT_EQ(session.channelLabel(), label);
    }
    EXPECT_FALSE(session.isSilent());
    session.label = "(silent)";
    EXPECT_TRUE(session.isSilent());
}

}  // namespace
}  // namespace vocari::app
