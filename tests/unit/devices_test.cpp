#include "devices.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vocari {
namespace {

TEST(DeviceFile, WhatTheAppWritesIsReadBack) {
    const auto target = parseOutputTarget("uid=ABC\nchannel=4\nalign=0\n");
    EXPECT_EQ(target.uid, "ABC");
    EXPECT_EQ(target.channel, 4);
    EXPECT_FALSE(target.align);
}

TEST(DeviceFile, KeysInAnyOrderAndLaterLinesWin) {
    const auto target =
        parseOutputTarget("align=false\nchannel=6\nuid=first\nuid=second\nchannel=2");
    EXPECT_EQ(target.uid, "second");
    EXPECT_EQ(target.channel, 2);  // a last line without a line feed counts
    EXPECT_FALSE(target.align);
}

TEST(DeviceFile, ValuesAreTakenTheWayTheAppMeansThem) {
    EXPECT_EQ(parseOutputTarget("uid=a=b==c\n").uid, "a=b==c");
    EXPECT_EQ(parseOutputTarget("uid =ABC\n").uid, "");  // a key with a trailing blank is ignored
    EXPECT_EQ(parseOutputTarget("channel=-3\n").channel, 0);
    EXPECT_EQ(parseOutputTarget("channel=3\n").channel, 3);
    EXPECT_EQ(parseOutputTarget("channel= +7xyz\n").channel, 7);
    EXPECT_EQ(parseOutputTarget("channel=none\n").channel, 0);
    EXPECT_TRUE(parseOutputTarget("align=yes\n").align);
    EXPECT_TRUE(parseOutputTarget("align=\n").align);
    EXPECT_TRUE(parseOutputTarget("align=FALSE\n").align);
    EXPECT_TRUE(parseOutputTarget("uid=\nchannel=1\n").align);  // no align line: on
    EXPECT_FALSE(parseOutputTarget("align=false\r\n").align);
    EXPECT_EQ(parseOutputTarget("uid=X\r\n").uid, "X");
}

TEST(DeviceFile, JunkLinesAreSkipped) {
    const auto target = parseOutputTarget("\n\nnonsense\n=5\nUID=lower\nuid=kept\n");
    EXPECT_EQ(target.uid, "kept");
    EXPECT_EQ(target.channel, 0);
    EXPECT_TRUE(target.align);
}

TEST(DeviceFile, LongLinesArriveInPieces) {
    // A uid longer than the 511-byte line buffer: its tail is read as a line of its own, so a
    // "channel=" hidden there takes effect.
    const std::string text = "uid=" + std::string(507, 'u') + "channel=9\n";
    const auto target = parseOutputTarget(text);
    EXPECT_EQ(target.uid, std::string(507, 'u'));
    EXPECT_EQ(target.channel, 9);
}

TEST(DeviceFile, MissingFileGivesTheDefaults) {
    test::TempDir dir;
    const auto missing = loadOutputTarget(dir.file("device"));
    EXPECT_EQ(missing.uid, "");
    EXPECT_EQ(missing.channel, 0);
    EXPECT_TRUE(missing.align);
    test::writeFile(dir.file("device"), "uid=BlackHole16ch_UID\nchannel=4\nalign=0\n");
    const auto written = loadOutputTarget(dir.file("device"));
    EXPECT_EQ(written.uid, "BlackHole16ch_UID");
    EXPECT_EQ(written.channel, 4);
    EXPECT_FALSE(written.align);
}

TEST(DeviceNames, BlackHoleAnywhereInAnyCase) {
    EXPECT_TRUE(devices_detail::namesBlackHole("BlackHole 16ch"));
    EXPECT_TRUE(devices_detail::namesBlackHole("my BLACKHOLE"));
    EXPECT_TRUE(devices_detail::namesBlackHole("xblackholex"));
    EXPECT_FALSE(devices_detail::namesBlackHole("Black"));
    EXPECT_FALSE(devices_detail::namesBlackHole("Black Hole"));
    EXPECT_FALSE(devices_detail::namesBlackHole(""));
}

}  // namespace
}  // namespace vocari
