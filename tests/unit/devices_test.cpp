#include "devices.h"

#include <gtest/gtest.h>

#include "audio_out.h"
#include "recording_sink.h"
#include "session_table.h"
#include "status.h"
#include "temp_dir.h"

#include <unistd.h>
#include <cstdlib>

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

// A private folder of simulated devices; files are listed in file-name order.
class SimulatedDevices : public ::testing::Test {
  protected:
    test::TempDir dir;

    void SetUp() override {
        setenv("VOCARI_AUDIO_DIR", dir.path().c_str(), 1);
        setenv("JACK_DEFAULT_SERVER", "vocari-test-no-server", 1);
        setenv("PIPEWIRE_REMOTE", "vocari-test-no-server", 1);
    }

    void add(const std::string& file, const std::string& uid, const std::string& name,
             const std::string& transport, int in, int out, const std::string& extra = "") {
        test::writeFile(dir.file(file + ".device"),
                        "uid=" + uid + "\nname=" + name + "\ntransport=" + transport +
                            "\ninput_channels=" + std::to_string(in) +
                            "\noutput_channels=" + std::to_string(out) + "\n" + extra);
    }
    void remove(const std::string& file) { unlink(dir.file(file + ".device").c_str()); }

    static std::vector<std::string> uids(const std::vector<DeviceInfo>& devices) {
        std::vector<std::string> out;
        for (const auto& device : devices) {
            out.push_back(device.uid);
        }
        return out;
    }
};

TEST_F(SimulatedDevices, AllDevicesListsEveryDeviceWithItsChannels) {
    add("a", "mic", "USB Mic", "usb", 1, 0);
    add("b", "spk", "Speakers", "builtin", 0, 2, "default_output=1\n");
    const auto devices = allDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].name, "USB Mic");
    EXPECT_EQ(devices[0].inputChannels, 1u);
    EXPECT_EQ(devices[0].outputChannels, 0u);
    EXPECT_EQ(devices[1].uid, "spk");
    EXPECT_EQ(devices[1].outputChannels, 2u);
    EXPECT_NE(devices[0].id, devices[1].id);
    EXPECT_EQ(devices_detail::stringProperty(devices[1].id, kAudioObjectPropertyName), "Speakers");
    EXPECT_EQ(devices_detail::stringProperty(999999, kAudioObjectPropertyName), "");
}

TEST_F(SimulatedDevices, LoopbacksRankBlackHoleFirstThenWiderThenListOrder) {
    add("a", "other64", "Loopback 64", "virtual", 64, 64);
    add("b", "bh2", "BlackHole 2ch", "virtual", 2, 2);
    add("c", "bh16", "blackhole 16ch", "virtual", 16, 16);
    add("d", "tieA", "Tie A", "virtual", 8, 8);
    add("e", "tieB", "Tie B", "virtual", 8, 8);
    add("f", "short", "BH", "virtual", 4, 4);
    add("g", "noInput", "BlackHole no input", "virtual", 0, 16);
    add("h", "mono", "BlackHole mono out", "virtual", 2, 1);
    add("i", "usb", "BlackHole USB", "usb", 16, 16);
    EXPECT_EQ(uids(loopbackDevices()),
              (std::vector<std::string>{"bh16", "bh2", "other64", "tieA", "tieB", "short"}));
}

// Where PipeWire runs, its device is the better choice than a wider JACK device (PipeWire's own
// JACK, most likely) or any other loopback but a BlackHole.
TEST_F(SimulatedDevices, PipeWireGoesAheadOfAllButBlackHole) {
    add("a", "other", "Loop 16", "virtual", 16, 16);
    add("b", "jack:default", "JACK default", "virtual", 32, 32);
    add("c", "jack:second", "JACK second", "virtual", 16, 16);
    add("d", "pipewire", "Vocari phones (PipeWire)", "virtual", 16, 16);
    add("e", "bh", "BlackHole 2ch", "virtual", 2, 2);
    EXPECT_EQ(uids(loopbackDevices()),
              (std::vector<std::string>{"bh", "pipewire", "jack:default", "other", "jack:second"}));
    remove("b");
    EXPECT_EQ(uids(loopbackDevices()),
              (std::vector<std::string>{"bh", "pipewire", "other", "jack:second"}));
}

TEST_F(SimulatedDevices, ChoiceTakesTheNamedLoopbackElseTheBest) {
    add("a", "wide", "Wide", "virtual", 16, 16);
    add("b", "ABC", "Narrow", "virtual", 2, 2);
    add("c", "spk", "Speakers", "builtin", 0, 2);
    const auto loopbacks = loopbackDevices();
    EXPECT_EQ(chooseLoopbackDevice(loopbacks, "ABC")->name, "Narrow");
    EXPECT_EQ(chooseLoopbackDevice(loopbacks, "")->uid, "wide");
    EXPECT_EQ(chooseLoopbackDevice(loopbacks, "spk")->uid, "wide");  // not a loopback device
    EXPECT_EQ(chooseLoopbackDevice(loopbacks, "gone")->uid, "wide");
    EXPECT_EQ(chooseLoopbackDevice(loopbacks, "AB")->uid, "wide");  // the whole UID must match
    EXPECT_EQ(chooseLoopbackDevice({}, "ABC"), nullptr);
}

TEST_F(SimulatedDevices, InventoryMarksTheDeviceInUseAndFollowsHotPlug) {
    add("a", "loop16", "Loop 16", "virtual", 16, 16);
    add("b", "spk", "Speakers", "builtin", 0, 2, "default_output=1\n");
    EXPECT_EQ(deviceInventory(nullptr, 2), "devices: 1\ndevice:\t0\t16\t0\tloop16\tLoop 16\n");

    test::RecordingSink out;
    test::RecordingSink err;
    AudioOut output(out, err);
    SessionTable table(48000.0, 45.0);
    ASSERT_TRUE(output.start(&table, 48000.0, OutputTarget{}));
    EXPECT_EQ(deviceInventory(&output, 2), "devices: 1\ndevice:\t1\t16\t4\tloop16\tLoop 16\n");

    add("0", "bh", "BlackHole 2ch", "virtual", 2, 2);  // plugged in while playing
    EXPECT_EQ(deviceInventory(&output, 2),
              "devices: 2\ndevice:\t0\t2\t0\tbh\tBlackHole 2ch\n"
              "device:\t1\t16\t4\tloop16\tLoop 16\n");
    output.stop();
    remove("a");
    EXPECT_EQ(deviceInventory(&output, 2), "devices: 1\ndevice:\t0\t2\t0\tbh\tBlackHole 2ch\n");
}

TEST_F(SimulatedDevices, InventoryLinesStayWholeWithAVeryLongName) {
    // Names and UIDs come back whole up to 511 bytes each, so together they can pass the limit.
    add("a", std::string(510, 'u'), std::string(510, 'n'), "virtual", 2, 2);
    const std::string block = deviceInventory(nullptr, 0);
    const std::string line = block.substr(block.find('\n') + 1);
    EXPECT_EQ(line.size(), 1023u);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.rfind("device:\t0\t2\t0\t" + std::string(510, 'u') + "\tnnn", 0), 0u);
}

TEST_F(SimulatedDevices, DefaultOutputIsUsedWhenNoLoopbackExists) {
    add("a", "spk", "Speakers", "builtin", 0, 2, "default_output=1\n");
    test::RecordingSink out;
    test::RecordingSink err;
    AudioOut output(out, err);
    SessionTable table(48000.0, 45.0);
    ASSERT_TRUE(output.start(&table, 48000.0, OutputTarget{"spk", 0, true}));
    EXPECT_FALSE(output.isVirtual());
    EXPECT_EQ(output.channels(), 2u);
    EXPECT_EQ(output.deviceUid(), "spk");
    ASSERT_EQ(out.lines().size(), 2u);
    EXPECT_EQ(out.lines()[0],
              "routing to default-output device: \"Speakers\" @ 48000 Hz, 2 channels = 1 phone "
              "slots\n");
    EXPECT_EQ(out.lines()[1],
              "  (no loopback audio device found \u2014 install BlackHole, then apps can select "
              "the phone as a mic)\n");
    EXPECT_EQ(deviceInventory(&output, 0), "devices: 0\n");
    output.stop();
}

}  // namespace
}  // namespace vocari
