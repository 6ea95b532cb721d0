#pragma once

// The eight phone slots. Each slot is created once at start-up and reused for the life of the
// daemon: a phone claims a Free slot and a stereo pair of the output device, plays while Active,
// and leaves through Closing, which hands the slot back only after the render thread (or, while
// no render runs, the status thread) has let go of it.

#include <opus.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clocks.h"
#include "jitter.h"
#include "lines.h"
#include "packet_stash.h"

namespace vocari {

enum class SessionState : uint32_t { Free = 0, Active = 1, Closing = 2 };

// An IPv4 address and UDP port, packed into one word so it can be published atomically.
struct PeerAddress {
    uint32_t address = 0;  // network byte order, as in sockaddr_in
    uint16_t port = 0;     // network byte order

    uint64_t pack() const { return (static_cast<uint64_t>(address) << 16) | port; }
    static PeerAddress unpack(uint64_t packed) {
        return {static_cast<uint32_t>(packed >> 16), static_cast<uint16_t>(packed & 0xFFFF)};
    }
    bool operator==(const PeerAddress&) const = default;
};

class Session {
  public:
    static constexpr size_t kPhoneNameSize = 24;
    static constexpr size_t kNameSize = 64;

    Session(int index, double sampleRate, double initialTargetMs);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Claiming thread only, on a Free slot (no other thread reads it): clears it for a new phone.
    void resetForNewPeer();

    // Any thread. Sequentially consistent, so a thread that announced itself first (a use of
    // the slot, a render callback) and then sees Active is seen by whoever closes or frees it.
    bool isActive() const { return state.load() == SessionState::Active; }
    // Any thread. Active -> Closing once, whichever cause comes first; true for the one that won.
    bool close();
    // Any thread. Closes the session and, only when this call closed it, prints
    // "phone N (name) disconnected: <cause>", so each departure is announced exactly once.
    bool closeFor(const char* cause, LineSink& out);

    // Any thread, outside a SessionUse of this slot: waits until no thread uses it any more.
    void waitForUsers() const;

    // Any thread. Which claim the slot holds: every claim makes a new one, so a thread that
    // saw an earlier claim can tell that the slot has since gone to another phone.
    uint32_t generation() const { return generation_.load(); }

    // Any thread. The label in status and disconnect lines: the address or "USB n"; "?" if unset.
    std::string name() const;
    void setName(std::string_view text);
    std::string phoneName() const;
    void setPhoneName(std::string_view text);

    std::optional<PeerAddress> peerAddress() const;
    // Receiving thread only.
    void setPeer(PeerAddress peer);

    std::atomic<SessionState> state{SessionState::Free};
    SampleRing ring;
    ClockTracker clock;
    PtpClock ptp;
    std::unique_ptr<JitterConsumer> jitter;

    // Receiving thread only (the UDP thread or the session's TCP client thread), and the claim.
    OpusDecoder* decoder = nullptr;
    int decoderChannels = 0;
    uint32_t lastSeq = 0;
    bool haveLastSeq = false;
    // Of the 64 sequence numbers up to lastSeq, which were played from a packet that came (bit
    // i for lastSeq - i); the others were concealed.
    uint64_t playedMask = 0;
    uint16_t lastFrames = 0;  // frames per packet of the latest packet played
    // Packets concealed in a row because the next one was not there when the buffer needed it.
    uint32_t concealedInRow = 0;
    PacketStash stash;

    std::atomic<bool> isOpus{false};
    std::atomic<bool> hasPeer{false};
    std::atomic<int> tcpSocket{-1};
    // The Wi-Fi address the slot was last claimed from (0 for TCP links); survives a release.
    std::atomic<uint32_t> claimKey{0};
    std::atomic<uint32_t> deviceId{0};
    // First device channel of the session's stereo pair; always even.
    std::atomic<int> channel{0};
    std::atomic<int64_t> lastAudioNs{0};
    std::atomic<uint64_t> packets{0};
    std::atomic<double> rttMs{0.0};
    std::atomic<double> netDelayMs{0.0};
    std::atomic<bool> netDelayValid{false};
    const int index;

  private:
    friend class SessionUse;
    friend class SessionTable;

    std::atomic<uint32_t> generation_{0};
    // Threads inside a SessionUse of this slot.
    std::atomic<uint32_t> users_{0};
    std::atomic<uint64_t> peer_{0};
    // The two texts are written by the receiving thread and read by the status thread; they are
    // too long for one atomic word, so a lock keeps readers from seeing half a name.
    mutable std::mutex textMutex_;
    std::array<char, kPhoneNameSize> phoneName_{};
    std::array<char, kNameSize> name_{};
};

// A claim as one thread saw it: the slot and the generation it had then.
struct SessionClaim {
    Session* session = nullptr;
    uint32_t generation = 0;

    explicit operator bool() const { return session != nullptr; }
};

// Holds a slot for one short piece of work (a message, a heartbeat, a time-out check) on
// behalf of a claim. It is valid only while that claim is the slot's current one and Active;
// while any use is held the slot is never reset for a new phone, so whatever the holder writes
// lands in the phone it means. The slot may still close meanwhile (Active -> Closing), which
// the holder sees through Session::close failing.
//
// Why it is sound: a use counts itself in first and then reads the state and generation; a
// claim first sees the slot Free and then waits for the count to reach zero. All four steps are
// sequentially consistent, so either the use sees the slot no longer Active (and backs out), or
// the claim sees the use and waits for it.
class SessionUse {
  public:
    // What the claim must still be: Active (to receive, send or time out), or merely current,
    // Active or Closing (to let go of what the claim set up, such as its TCP socket).
    enum class Need { Active, Current };

    explicit SessionUse(const SessionClaim& claim, Need need = Need::Active);
    ~SessionUse();
    SessionUse(const SessionUse&) = delete;
    SessionUse& operator=(const SessionUse&) = delete;

    explicit operator bool() const { return valid_; }

  private:
    Session* session_;
    bool valid_ = false;
};

// One line of the `channels` file: the phone with this device ID goes to this stereo pair.
struct ChannelPin {
    uint32_t deviceId = 0;
    int pair = 0;
};

// The pins in a `channels` file's text, in order, skipping lines without "=", device ID 0 and
// pairs that the device does not have.
std::vector<ChannelPin> parseChannelPins(std::string_view text, int pairs);

class SessionTable {
  public:
    static constexpr int kSlots = 8;
    static constexpr int64_t kAudioTimeoutNs = 5'000'000'000;
    static constexpr int64_t kStaleForReclaimNs = 1'000'000'000;
    static constexpr int64_t kRenderIdleNs = 1'000'000'000;

    SessionTable(double sampleRate, double initialTargetMs);

    Session& session(int index) { return *sessions_[static_cast<size_t>(index)]; }
    const Session& session(int index) const { return *sessions_[static_cast<size_t>(index)]; }

    // Receiving threads. Gives a phone that passed pairing a Free slot and a free stereo pair,
    // starting at `firstPair` out of `pairs`; `key` is its IPv4 address (0 for TCP links), used
    // to hand a reconnecting phone its old pair. Null when no slot or pair is free. `now` is the
    // claim time, for telling a silent old session of the same phone. Waits for threads still
    // finishing a use of the chosen slot's previous claim.
    SessionClaim claimSlot(int firstPair, int pairs, uint32_t key, int64_t now);
    Session* claim(int firstPair, int pairs, uint32_t key, int64_t now) {
        return claimSlot(firstPair, pairs, key, now).session;
    }

    // Any thread. The first Active session whose phone sends from `peer`, as a claim.
    SessionClaim findByPeer(PeerAddress peer);
    // Any thread. The first Active session whose phone has this (non-zero) device ID.
    SessionClaim findByDeviceId(uint32_t deviceId);
    // Any thread. Whether any slot, in any state, was last claimed from this address.
    bool claimedBefore(uint32_t key) const;

    // Status thread, once a second: the three steps below, in order, with the pins read from the
    // `channels` file at `channelsPath` (a missing file changes nothing).
    void housekeeping(int64_t now, const std::string& channelsPath, int pairs, LineSink& out);

    // Closes Active sessions whose audio stopped more than 5 s ago, printing why.
    void closeSilentSessions(int64_t now, LineSink& out);
    // Frees Closing slots while no render callback has run for 1 s and none is running.
    void releaseIfRenderIdle(int64_t now);
    // Applies the `channels` file when its content differs from what was applied last.
    void applyChannelPins(std::string_view content, int pairs, LineSink& out);

    // Render thread only. Lock-free.
    void releaseClosing();

    // Render thread only, around each callback's use of the sessions. Lock-free; no system call.
    void beginRender() { renderEpoch_.fetch_add(1); }
    void endRender() { renderEpoch_.fetch_add(1, std::memory_order_release); }

    int activeCount() const;

    // Written by the render thread at every callback; read by the status thread.
    std::atomic<int64_t> lastRenderNs{0};

  private:
    void movePin(const ChannelPin& pin, LineSink& out);

    std::vector<std::unique_ptr<Session>> sessions_;
    // Odd while a render callback runs. A callback's last read of a slot happens before the
    // status thread, seeing an even count, frees that slot for a new claim.
    std::atomic<uint64_t> renderEpoch_{0};
    std::mutex mutex_;         // serialises claims and pin moves
    std::string appliedPins_;  // status thread only
};

// The whole `channels` file, or nullopt when it cannot be opened.
std::optional<std::string> readChannelsFile(const std::string& path);

}  // namespace vocari
