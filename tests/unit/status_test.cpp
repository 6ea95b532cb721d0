#include "status.h"

#include <gtest/gtest.h>

#include "runtime.h"
#include "session_table.h"

namespace vocari {
namespace {

constexpr int64_t kNow = 1'000'000'000'000;

class StatusLines : public ::testing::Test {
  protected:
    SessionTable table{48000.0, 45.0};
    Runtime runtime;

    void SetUp() override { runtime.sessions = &table; }

    // A Wi-Fi phone named Kitchen on channels 3-4 that sent audio 100 ms ago.
    Session& kitchen() {
        table.claim(0, 8, 0, kNow);
        Session& s = *table.claim(0, 8, 0, kNow);
        s.setName("192.168.1.20");
        s.setPhoneName("Kitchen");
        s.deviceId.store(4242);
        s.packets.store(1000);
        s.isOpus.store(true);
        s.rttMs.store(3.25);
        s.lastAudioNs.store(kNow - 100'000'000);
        std::vector<float> out(2 * 256);
        s.jitter->pull(out.data(), 256);  // publishes the effective target, 45 ms
        return s;
    }
};

TEST_F(StatusLines, StatusLineWithoutOutputOrPhones) {
    runtime.alignment.store(false);
    EXPECT_EQ(statusLine(runtime, nullptr),
              "[vocarid] phones=0/0  dev=\"\"(0ch)  align=off  dev=+0ppm?  phone=waiting\n");
    EXPECT_EQ(sessionBlock(table, kNow), "sessions: 0\n");
}

TEST_F(StatusLines, DetailAndSessionLinesInTheirVariants) {
    Session& s = kitchen();
    table.session(0).close();
    EXPECT_EQ(sessionDetailLine(s, kNow),
              "  [2] ch3-4 Kitchen            pkts=1000 buf=0ms(t45) trim=0ppm clk=+0ppm(--) "
              "net=-1.0ms xruns=0 rtt=3.2ms [balanced/opus]\n");
    EXPECT_EQ(sessionBlock(table, kNow),
              "sessions: 1\nsession:\t2\t3\t1000\t0\t45\t0\t3.2\t-1.0\tbalanced\t192.168.1.20\topus"
              "\t4242\tKitchen\n");

    // Known delay, no HELLO name, silent for 2 s, PCM.
    s.netDelayMs.store(12.34);
    s.netDelayValid.store(true);
    s.setPhoneName("");
    s.isOpus.store(false);
    const int64_t later = kNow + 1'900'000'000;
    EXPECT_EQ(sessionDetailLine(s, later),
              "  [2] ch3-4 192.168.1.20       pkts=1000 buf=0ms(t45) trim=0ppm clk=+0ppm(--) "
              "net=12.3ms xruns=0 rtt=3.2ms [balanced/pcm]  (silent)\n");
    EXPECT_EQ(
        sessionBlock(table, later),
        "sessions: 1\nsession:\t2\t3\t1000\t0\t45\t0\t3.2\t12.3\tbalanced\t(silent)\tpcm\t4242"
        "\t192.168.1.20\n");
}

}  // namespace
}  // namespace vocari
