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

    bool isActive() const { return state.load(std::memory_order_acquire) == SessionState::Active; }
    // Any thread. Active -> Closing once, whichever cause comes first; true for the one that won.
    bool close();

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
    std::atomic<uint64_t> peer_{0};
    // The two texts are written by the receiving thread and read by the status thread; they are
    // too long for one atomic word, so a lock keeps readers from seeing half a name.
    mutable std::mutex textMutex_;
    std::array<char, kPhoneNameSize> phoneName_{};
    std::array<char, kNameSize> name_{};
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
    // claim time, for telling a silent old session of the same phone.
    Session* claim(int firstPair, int pairs, uint32_t key, int64_t now);

    // Status thread, once a second: the three steps below, in order, with the pins read from the
    // `channels` file at `channelsPath` (a missing file changes nothing).
    void housekeeping(int64_t now, const std::string& channelsPath, int pairs, LineSink& out);

    // Closes Active sessions whose audio stopped more than 5 s ago, printing why.
    void closeSilentSessions(int64_t now, LineSink& out);
    // Frees Closing slots while no render callback has run for 1 s.
    void releaseIfRenderIdle(int64_t now);
    // Applies the `channels` file when its content differs from what was applied last.
    void applyChannelPins(std::string_view content, int pairs, LineSink& out);

    // Render thread only. Lock-free.
    void releaseClosing();

    int activeCount() const;

    // Written by the render thread at every callback; read by the status thread.
    std::atomic<int64_t> lastRenderNs{0};

  private:
    void movePin(const ChannelPin& pin, LineSink& out);

    std::vector<std::unique_ptr<Session>> sessions_;
    std::mutex mutex_;         // serialises claims and pin moves
    std::string appliedPins_;  // status thread only
};

// The whole `channels` file, or nullopt when it cannot be opened.
std::optional<std::string> readChannelsFile(const std::string& path);

}  // namespace vocari
