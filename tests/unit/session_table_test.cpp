#include "session_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "recording_sink.h"
#include "temp_dir.h"

namespace vocari {
namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kStart = 1000 * kSecond;

uint32_t ipv4(int last) {
    return 0x0000007F | (static_cast<uint32_t>(last) << 24);
}

class Table : public ::testing::Test {
  protected:
    SessionTable table{48000.0, 45.0};
    test::RecordingSink out;
    int64_t now = kStart;

    Session* claim(int firstPair, int pairs, uint32_t key) {
        return table.claim(firstPair, pairs, key, now);
    }
    std::vector<int> activePairs() {
        std::vector<int> pairs;
        for (int i = 0; i < SessionTable::kSlots; ++i) {
            if (table.session(i).isActive()) {
                pairs.push_back(table.session(i).channel.load() / 2);
            }
        }
        return pairs;
    }
};

TEST_F(Table, ClaimsPairsInOrderAndWrapsFromTheFirstPair) {
    for (int i = 0; i < 8; ++i) {
        Session* s = claim(0, 8, ipv4(i + 2));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->index, i);
        EXPECT_EQ(s->channel.load(), 2 * i);
    }
    SessionTable wrapped{48000.0, 45.0};
    std::vector<int> pairs;
    for (int i = 0; i < 7; ++i) {
        pairs.push_back(wrapped.claim(2, 8, ipv4(i + 2), now)->channel.load() / 2);
    }
    EXPECT_EQ(pairs, (std::vector<int>{2, 3, 4, 5, 6, 7, 0}));
}

TEST_F(Table, TwoChannelDeviceTakesOnePhone) {
    ASSERT_NE(claim(0, 1, ipv4(2)), nullptr);
    EXPECT_EQ(claim(0, 1, ipv4(3)), nullptr);
    EXPECT_EQ(claim(0, 1, 0), nullptr);
    EXPECT_EQ(table.activeCount(), 1);
}

TEST_F(Table, NinthPhoneIsRefusedOnAWideDevice) {
    for (int i = 0; i < 8; ++i) {
        ASSERT_NE(claim(0, 12, 0), nullptr);
    }
    EXPECT_EQ(claim(0, 12, 0), nullptr);
}

TEST_F(Table, ClosingSlotsAreNotFree) {
    for (int i = 0; i < 8; ++i) {
        claim(0, 12, 0);
    }
    EXPECT_TRUE(table.session(3).close());
    EXPECT_FALSE(table.session(3).close());  // a second cause does not close it again
    EXPECT_EQ(claim(0, 12, 0), nullptr);
    table.releaseClosing();
    Session* s = claim(0, 12, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->index, 3);
}

TEST_F(Table, ReconnectingPhoneKeepsItsPairInAnotherSlot) {
    Session* first = claim(0, 8, ipv4(2));
    claim(0, 8, ipv4(3));
    first->lastAudioNs.store(now);
    first->deviceId.store(77);
    now += 2 * kSecond;
    Session* again = claim(0, 8, ipv4(2));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->index, 2);
    EXPECT_EQ(again->channel.load(), 0);
    EXPECT_EQ(first->state.load(), SessionState::Closing);
    EXPECT_EQ(again->deviceId.load(), 0u);  // set by the HELLO that follows, not carried over
}

TEST_F(Table, PhoneStillStreamingIsNotDisplacedByAHelloFromItsAddress) {
    Session* first = claim(0, 8, ipv4(2));
    first->lastAudioNs.store(now - kSecond / 2);
    Session* second = claim(0, 8, ipv4(2));
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(first->isActive());
    EXPECT_EQ(second->channel.load(), 2);  // its old pair is busy, so the next free one
}

TEST_F(Table, PreferredPairBeyondTheDeviceIsIgnored) {
    Session* first = claim(3, 8, ipv4(2));
    EXPECT_EQ(first->channel.load(), 6);
    first->close();
    table.releaseClosing();
    Session* again = claim(0, 2, ipv4(2));  // now only two pairs: pair 3 cannot be kept
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->channel.load(), 0);
}

TEST_F(Table, ResetForNewPeerClearsTheSlotButKeepsTheHelloFields) {
    Session* s = claim(0, 8, ipv4(2));
    s->deviceId.store(9);
    s->setPhoneName("Pixel");
    s->setName("127.0.0.2");
    s->setPeer({ipv4(2), 1234});
    s->tcpSocket.store(5);
    s->packets.store(100);
    s->rttMs.store(3.5);
    s->netDelayValid.store(true);
    s->lastAudioNs.store(now);
    s->haveLastSeq = true;
    s->lastSeq = 44;
    s->resetForNewPeer();
    EXPECT_FALSE(s->peerAddress());
    EXPECT_EQ(s->tcpSocket.load(), -1);
    EXPECT_EQ(s->packets.load(), 0u);
    EXPECT_EQ(s->rttMs.load(), 0.0);
    EXPECT_FALSE(s->netDelayValid.load());
    EXPECT_EQ(s->lastAudioNs.load(), 0);
    EXPECT_FALSE(s->haveLastSeq);
    EXPECT_EQ(s->name(), "");
    EXPECT_EQ(s->deviceId.load(), 9u);
    EXPECT_EQ(s->phoneName(), "Pixel");
    EXPECT_EQ(s->claimKey.load(), ipv4(2));
}

TEST_F(Table, NamesAreCutToTheirFields) {
    Session& s = table.session(0);
    s.setPhoneName(std::string(40, 'p'));
    EXPECT_EQ(s.phoneName(), std::string(23, 'p'));
    s.setName(std::string(100, 'n'));
    EXPECT_EQ(s.name(), std::string(63, 'n'));
}

TEST_F(Table, SilentSessionsTimeOutAfterFiveSeconds) {
    Session* streaming = claim(0, 8, ipv4(2));
    Session* neverSent = claim(0, 8, ipv4(3));
    streaming->lastAudioNs.store(now);
    now += 5 * kSecond;
    table.closeSilentSessions(now, out);
    EXPECT_TRUE(out.lines().empty());
    now += 1;
    table.closeSilentSessions(now, out);
    ASSERT_EQ(out.lines().size(), 1u);
    EXPECT_EQ(out.lines()[0], "phone 1 (?) disconnected: no audio for 5 s\n");
    EXPECT_EQ(streaming->state.load(), SessionState::Closing);
    EXPECT_TRUE(neverSent->isActive());
    table.closeSilentSessions(now + 10 * kSecond, out);
    EXPECT_EQ(out.lines().size(), 1u);
}

TEST_F(Table, StatusThreadReleasesOnlyWhileRenderIsIdle) {
    Session* s = claim(0, 8, 0);
    s->close();
    table.lastRenderNs.store(now - kSecond / 2);
    table.releaseIfRenderIdle(now);
    EXPECT_EQ(s->state.load(), SessionState::Closing);
    table.releaseIfRenderIdle(now + kSecond / 2);
    EXPECT_EQ(s->state.load(), SessionState::Free);

    Session* t = claim(0, 8, 0);
    t->close();
    table.lastRenderNs.store(0);
    table.releaseIfRenderIdle(now);
    EXPECT_EQ(t->state.load(), SessionState::Free);
}

TEST(ChannelPinText, SkipsWhatCannotBeAPin) {
    const auto pins =
        parseChannelPins("1234=3\nno equals\n0=1\n55=8\n56=-1\n  77=2 trailing\n88=1\r\n99=0", 8);
    ASSERT_EQ(pins.size(), 4u);
    EXPECT_EQ(pins[0].deviceId, 1234u);
    EXPECT_EQ(pins[0].pair, 3);
    EXPECT_EQ(pins[1].deviceId, 77u);
    EXPECT_EQ(pins[2].deviceId, 88u);
    EXPECT_EQ(pins[2].pair, 1);
    EXPECT_EQ(pins[3].deviceId, 99u);                   // a last line without a line feed counts
    EXPECT_TRUE(parseChannelPins("5=1\n", 1).empty());  // pair 1 needs two pairs
    EXPECT_EQ(parseChannelPins("4294967301=0", 1)[0].deviceId, 5u);  // kept as 32 bits
}

TEST_F(Table, PinSwapsTwoPhonesOnceAndNotAgainForTheSameContent) {
    Session* pinned = claim(0, 8, ipv4(2));
    pinned->deviceId.store(1234);
    claim(0, 8, ipv4(3));
    claim(0, 8, ipv4(4));
    Session* other = claim(0, 8, ipv4(5));
    ASSERT_EQ(other->channel.load(), 6);

    table.applyChannelPins("1234=3\n", 8, out);
    EXPECT_EQ(pinned->channel.load(), 6);
    EXPECT_EQ(other->channel.load(), 0);
    ASSERT_EQ(out.lines().size(), 1u);
    EXPECT_EQ(out.lines()[0], "channel pin: device 1234 -> channels 7-8\n");

    table.applyChannelPins("1234=3\n", 8, out);
    EXPECT_EQ(out.lines().size(), 1u);
    // Changed content is applied again, and prints even when nothing moves.
    table.applyChannelPins("1234=3\n\n", 8, out);
    EXPECT_EQ(out.lines().size(), 2u);
    EXPECT_EQ(pinned->channel.load(), 6);
}

TEST_F(Table, PinIgnoresPhonesThatAreNotConnected) {
    Session* gone = claim(0, 8, ipv4(2));
    gone->deviceId.store(1234);
    Session* playing = claim(0, 8, ipv4(3));
    gone->close();
    ASSERT_EQ(playing->channel.load(), 2);
    table.applyChannelPins("1234=1\n", 8, out);
    EXPECT_TRUE(out.lines().empty());
    EXPECT_EQ(playing->channel.load(), 2);
    EXPECT_EQ(gone->channel.load(), 0);
}

TEST_F(Table, HousekeepingReadsThePinsFileOnlyWhenItChanges) {
    test::TempDir dir;
    const std::string path = dir.file("channels");
    Session* phone = claim(0, 8, ipv4(2));
    phone->deviceId.store(42);
    table.housekeeping(now, path, 8, out);  // no file yet: nothing happens
    EXPECT_TRUE(out.lines().empty());

    test::writeFile(path, "42=5");  // written by hand, without a final line feed
    table.housekeeping(now, path, 8, out);
    table.housekeeping(now + kSecond, path, 8, out);
    ASSERT_EQ(out.lines().size(), 1u);
    EXPECT_EQ(out.lines()[0], "channel pin: device 42 -> channels 11-12\n");
    EXPECT_EQ(phone->channel.load(), 10);

    test::writeFile(path, std::string(300, ' ') + "\n42=2\n");  // longer than one fgets piece
    table.housekeeping(now + 2 * kSecond, path, 8, out);
    EXPECT_EQ(phone->channel.load(), 4);
}

// A render callback still inside (another thread, between beginRender and endRender) keeps the
// status thread from freeing a slot it may be pulling, however long ago the callback started.
TEST_F(Table, StatusThreadNeverFreesASlotDuringARenderCallback) {
    Session* s = claim(0, 8, 0);
    std::atomic<int> step{0};
    std::thread render([&] {
        table.beginRender();
        step.store(1);
        while (step.load() != 2) {
            std::this_thread::yield();
        }
        table.endRender();
        step.store(3);
    });
    while (step.load() != 1) {
        std::this_thread::yield();
    }
    s->close();
    table.lastRenderNs.store(now - 10 * kSecond);
    table.releaseIfRenderIdle(now);
    EXPECT_EQ(s->state.load(), SessionState::Closing);
    step.store(2);
    while (step.load() != 3) {
        std::this_thread::yield();
    }
    table.releaseIfRenderIdle(now);
    EXPECT_EQ(s->state.load(), SessionState::Free);
    render.join();
}

// A thread that keeps a claim (a TCP link whose session timed out) reaches nothing once the
// slot has gone to another phone, and a write it began just before is never left in the new
// phone's ring: the claim waits for it and then resets the slot.
TEST_F(Table, StaleClaimsNeverReachTheNextPhoneInTheirSlot) {
    const SessionClaim first = table.claimSlot(0, 8, 0, now);
    ASSERT_TRUE(first);
    std::atomic<int> step{0};
    std::thread stale([&] {
        const SessionUse use(first);
        step.store(use ? 1 : -1);
        while (step.load() != 2) {
            std::this_thread::yield();
        }
        const std::vector<float> late(64, 0.25f);
        first.session->ring.write(late.data(), late.size());
    });
    while (step.load() == 0) {
        std::this_thread::yield();
    }
    ASSERT_EQ(step.load(), 1);
    first.session->close();
    table.releaseClosing();
    std::atomic<bool> claimed{false};
    SessionClaim next;
    std::thread newPhone([&] {
        next = table.claimSlot(0, 8, 0, now);
        claimed.store(true);
    });
    // Give the claim its chance to finish first: it must wait for the stale write instead.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!claimed.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
    step.store(2);
    stale.join();
    newPhone.join();
    ASSERT_EQ(next.session, first.session);
    EXPECT_EQ(next.session->ring.depth(), 0u);
    EXPECT_FALSE(SessionUse(first));
    EXPECT_TRUE(SessionUse(next));
}

// The time-out closes only the claim it judged silent. Its line is held up (a slow reader of
// standard output) while the phone says BYE and a new phone claims the slot: the new phone,
// which has sent no audio, must keep its slot.
TEST_F(Table, TimeOutNeverClosesTheNextPhoneOfASlot) {
    class HeldSink final : public LineSink {
      public:
        void write(std::string_view line) override {
            lines.push_back(std::string(line));
            entered.store(true);
            while (!released.load()) {
                std::this_thread::yield();
            }
        }
        std::vector<std::string> lines;
        std::atomic<bool> entered{false};
        std::atomic<bool> released{false};
    } sink;
    Session* s = claim(0, 8, 0);
    s->lastAudioNs.store(now);
    std::thread status([&] { table.closeSilentSessions(now + 6 * kSecond, sink); });
    while (!sink.entered.load()) {
        std::this_thread::yield();
    }
    s->close();
    table.releaseClosing();
    std::atomic<Session*> next{nullptr};
    std::thread newPhone([&] { next.store(claim(0, 8, 0)); });
    // Give the claim its chance to finish first: it must wait for the time-out's line instead.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (next.load() == nullptr && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
    sink.released.store(true);
    status.join();
    newPhone.join();
    ASSERT_EQ(next.load(), s);
    EXPECT_TRUE(s->isActive());
    EXPECT_EQ(sink.lines,
              (std::vector<std::string>{"phone 1 (?) disconnected: no audio for 5 s\n"}));
}

}  // namespace
}  // namespace vocari
