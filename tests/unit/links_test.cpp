// The link threads run in-process against their own Runtime, on ephemeral loopback ports.

#include "links.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "manual_clock.h"
#include "net.h"
#include "pairing_gate.h"
#include "phone.h"
#include "protocol.h"
#include "recording_sink.h"
#include "session_table.h"

namespace vocari {
namespace {

constexpr uint32_t kCode = 555123;

uint16_t boundPort(int socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Waits for a line the threads print; the threads run on real time, so this polls briefly.
bool waitForCount(const test::RecordingSink& sink, std::string_view text, size_t count) {
    for (int i = 0; i < 500; ++i) {
        if (sink.count(text) >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class Links : public ::testing::Test {
  protected:
    test::ManualClock clock;
    test::RecordingSink out;
    PairingGate gate{"", kCode, clock, out};
    SessionTable table{48000.0, 45.0};
    Runtime runtime;
    int udp = -1;
    int listener = -1;
    std::thread udpThread;
    std::thread tcpThread;

    void SetUp() override {
        runtime.pairing = &gate;
        runtime.sessions = &table;
        runtime.clock = &clock;
        runtime.out = &out;
        runtime.err = &out;
        udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(udp, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
        listener = openLinkListener(0);
        ASSERT_GE(listener, 0);
        udpThread = std::thread(audioLoop, std::ref(runtime), udp);
        tcpThread = std::thread(tcpLoop, std::ref(runtime), listener);
    }

    void TearDown() override {
        runtime.stop();
        udpThread.join();
        tcpThread.join();
        EXPECT_EQ(runtime.tcpClients.load(), 0);
        close(udp);
        close(listener);
    }

    std::unique_ptr<phone::Phone> phone(phone::Transport transport, uint32_t code) {
        phone::PhoneOptions options;
        options.transport = transport;
        options.port = boundPort(transport == phone::Transport::Udp ? udp : listener);
        options.pairingCode = code;
        std::string error;
        auto opened = phone::Phone::open(options, error);
        EXPECT_TRUE(opened) << error;
        return opened;
    }
};

TEST_F(Links, UdpHelloIsJudgedAndOtherDatagramsAreDropped) {
    auto wifi = phone(phone::Transport::Udp, kCode + 1);
    const auto audio = protocol::encodeAudio({1, 10, 1, 0, 0}, std::vector<uint8_t>(20));
    ASSERT_TRUE(wifi->sendMessage(audio));
    ASSERT_TRUE(wifi->sendMessage(protocol::encodeBye()));
    auto shortHello = protocol::encodeHello(1, kCode + 1, 100, 0, std::string("x"));
    ASSERT_TRUE(wifi->sendRaw(std::span(shortHello).first(54)));
    ASSERT_TRUE(wifi->sendHello());
    ASSERT_TRUE(waitForCount(out, "REJECTED", 1));
    EXPECT_EQ(out.lines().size(), 1u);
    EXPECT_EQ(out.lines()[0], "pairing: REJECTED 127.0.0.1 \u2014 wrong code 555124\n");
}

TEST_F(Links, TcpHelloInOneBytePiecesIsJudged) {
    auto usb = phone(phone::Transport::Tcp, kCode);
    const auto framed =
        protocol::frameForStream(protocol::encodeHello(1, kCode, 100, 9, std::string("USB")));
    for (uint8_t byte : framed) {
        ASSERT_TRUE(usb->sendRaw(std::span(&byte, 1)));
    }
    EXPECT_FALSE(usb->closedByReceiver(300));

    auto wrong = phone(phone::Transport::Tcp, kCode + 7);
    const auto wrongFramed =
        protocol::frameForStream(protocol::encodeHello(1, kCode + 7, 100, 9, std::string("USB")));
    for (uint8_t byte : wrongFramed) {
        ASSERT_TRUE(wrong->sendRaw(std::span(&byte, 1)));
    }
    EXPECT_TRUE(wrong->closedByReceiver(5000));
    EXPECT_EQ(out.count("REJECTED USB client"), 1u);
}

TEST_F(Links, TcpLengthsOutsideTheLimitsEndTheLink) {
    for (uint32_t length : {7u, 4125u}) {
        auto usb = phone(phone::Transport::Tcp, kCode);
        uint8_t prefix[4];
        protocol::writeU32(prefix, length);
        ASSERT_TRUE(usb->sendRaw(prefix));
        EXPECT_TRUE(usb->closedByReceiver(5000)) << length;
    }
    // Length 8 with a BYE, then a HELLO in the same write: both are read, the link stays.
    auto usb = phone(phone::Transport::Tcp, kCode);
    auto stream = protocol::frameForStream(protocol::encodeBye());
    const auto hello =
        protocol::frameForStream(protocol::encodeHello(1, kCode + 1, 100, 9, std::string("U")));
    stream.insert(stream.end(), hello.begin(), hello.end());
    ASSERT_TRUE(usb->sendRaw(stream));
    EXPECT_TRUE(usb->closedByReceiver(5000));  // the HELLO's wrong code closes it
    EXPECT_EQ(out.count("REJECTED"), 1u);
}

TEST_F(Links, StoppingEndsConnectedClients) {
    auto first = phone(phone::Transport::Tcp, kCode);
    auto second = phone(phone::Transport::Tcp, kCode);
    ASSERT_TRUE(waitForCount(out, "USB client connected", 2));
    EXPECT_EQ(runtime.tcpClients.load(), 2);
    runtime.stop();
    EXPECT_TRUE(first->closedByReceiver(5000));
    EXPECT_TRUE(second->closedByReceiver(5000));
}

std::vector<uint8_t> pcmAudio(uint32_t sequence) {
    return protocol::encodeAudio({sequence, 4, 1, 0, 0}, std::vector<uint8_t>(8, 0x10));
}

TEST_F(Links, TcpAudioCountsOnlyAfterAGoodHelloAndABadLengthEndsTheSession) {
    auto usb = phone(phone::Transport::Tcp, kCode);
    ASSERT_TRUE(usb->sendMessage(pcmAudio(1)));  // before the HELLO: skipped
    ASSERT_TRUE(usb->sendHello());
    ASSERT_TRUE(usb->sendMessage(pcmAudio(2)));
    ASSERT_TRUE(waitForCount(out, "phone 1 connected: USB -> channels 1-2", 1));
    Session& session = table.session(0);
    for (int i = 0; i < 500 && session.packets.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(session.packets.load(), 1u);
    EXPECT_EQ(session.ring.depth(), 8u);
    EXPECT_EQ(session.name(), "USB 1");

    uint8_t prefix[4];
    protocol::writeU32(prefix, 4125);
    ASSERT_TRUE(usb->sendRaw(prefix));
    EXPECT_TRUE(usb->closedByReceiver(5000));
    ASSERT_TRUE(waitForCount(out, "phone 1 (USB 1) disconnected: USB disconnected", 1));
    EXPECT_FALSE(session.isActive());
    EXPECT_EQ(session.tcpSocket.load(), -1);
}

// A phone's HELLO and forty messages already queued when the loop first reads (three receive
// batches): the HELLO admits the phone before its next datagram in the same batch is looked up,
// and every message lands once and in order (the ring holds exactly their frames).
TEST_F(Links, DatagramsQueuedBeforeTheLoopReadsAreAllTakenInOrder) {
    const int queued = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(queued, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    phone::PhoneOptions options;
    options.port = boundPort(queued);
    options.pairingCode = kCode;
    std::string error;
    auto wifi = phone::Phone::open(options, error);
    ASSERT_TRUE(wifi) << error;
    ASSERT_TRUE(wifi->sendHello());
    for (uint32_t sequence = 1; sequence <= 40; ++sequence) {
        ASSERT_TRUE(wifi->sendMessage(pcmAudio(sequence)));
    }
    std::thread late(audioLoop, std::ref(runtime), queued);
    Session& session = table.session(0);
    for (int i = 0; i < 500 && session.packets.load() < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    runtime.stop();
    late.join();
    close(queued);
    EXPECT_EQ(out.count("phone 1 connected: 127.0.0.1 (Wi-Fi) -> channels 1-2"), 1u);
    EXPECT_EQ(session.packets.load(), 40u);
    EXPECT_EQ(session.ring.depth(), 40u * 8u);
}

TEST_F(Links, WifiPhoneMovesAddressByDeviceIdAndIsGreetedAgainAfterItsSlotIsFreed) {
    auto options = [&](const std::string& local) {
        phone::PhoneOptions o;
        o.localAddress = local;
        o.port = boundPort(udp);
        o.pairingCode = kCode;
        o.deviceId = 77;
        return o;
    };
    std::string error;
    auto first = phone::Phone::open(options("127.0.0.2"), error);
    ASSERT_TRUE(first) << error;
    ASSERT_TRUE(first->sendHello());
    ASSERT_TRUE(waitForCount(out, "phone 1 connected: 127.0.0.2 (Wi-Fi) -> channels 1-2", 1));

    // Same device on another address: the slot follows it, silently.
    auto moved = phone::Phone::open(options("127.0.0.3"), error);
    ASSERT_TRUE(moved) << error;
    ASSERT_TRUE(moved->sendHello());
    ASSERT_TRUE(moved->sendMessage(pcmAudio(1)));
    Session& session = table.session(0);
    for (int i = 0; i < 500 && session.packets.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(session.packets.load(), 1u);
    ASSERT_TRUE(moved->sendBye());
    ASSERT_TRUE(waitForCount(out, "phone 1 (127.0.0.2) disconnected: said BYE", 1));
    table.releaseClosing();

    // Back from the first address, after its slot was freed: a reconnection on its old pair.
    ASSERT_TRUE(first->sendHello());
    ASSERT_TRUE(waitForCount(out, "phone 1 reconnected: 127.0.0.2 (Wi-Fi) -> channels 1-2", 1));
    EXPECT_EQ(out.count("disconnected"), 1u);
    EXPECT_EQ(out.count("connected"), 3u);
}

// The heartbeat, status and time-sync threads sleep between passes; a stop (the signal handler's)
// must end such a sleep at once rather than at its end, and a sleep must not end early otherwise.
TEST(RuntimeStop, WakesAThreadSleepingForAnHour) {
    Runtime runtime;
    EXPECT_TRUE(sleepWhileRunning(runtime, std::chrono::milliseconds(1)));
    auto slept = std::async(std::launch::async,
                            [&] { return sleepWhileRunning(runtime, std::chrono::hours(1)); });
    EXPECT_EQ(slept.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    runtime.stop();
    ASSERT_EQ(slept.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(slept.get());
    EXPECT_FALSE(sleepWhileRunning(runtime, std::chrono::hours(1)));
}

}  // namespace
}  // namespace vocari
