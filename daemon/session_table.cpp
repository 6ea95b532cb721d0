#include "session_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vocari {

namespace {

template <size_t N>
void copyText(std::array<char, N>& into, std::string_view text) {
    const size_t length = std::min(text.size(), N - 1);
    std::memcpy(into.data(), text.data(), length);
    std::fill(into.begin() + static_cast<std::ptrdiff_t>(length), into.end(), '\0');
}

}  // namespace

Session::Session(int slotIndex, double sampleRate, double initialTargetMs)
    : clock(sampleRate),
      jitter(std::make_unique<JitterConsumer>(ring, sampleRate, initialTargetMs)),
      index(slotIndex) {}

Session::~Session() {
    if (decoder != nullptr) {
        opus_decoder_destroy(decoder);
    }
}

void Session::resetForNewPeer() {
    jitter->resetForNewPeer();
    clock.reset();
    ptp.reset();
    if (decoder != nullptr) {
        opus_decoder_ctl(decoder, OPUS_RESET_STATE);
    }
    lastSeq = 0;
    haveLastSeq = false;
    playedMask = 0;
    lastFrames = 0;
    concealedInRow = 0;
    stash.clear();
    isOpus.store(false);
    lastAudioNs.store(0);
    packets.store(0);
    rttMs.store(0.0);
    netDelayMs.store(0.0);
    netDelayValid.store(false);
    hasPeer.store(false);
    peer_.store(0);
    tcpSocket.store(-1);
    setName("");
}

bool Session::close() {
    SessionState expected = SessionState::Active;
    return state.compare_exchange_strong(expected, SessionState::Closing);
}

void Session::waitForUsers() const {
    while (users_.load() != 0) {
        std::this_thread::yield();
    }
}

SessionUse::SessionUse(const SessionClaim& claim, Need need) : session_(claim.session) {
    if (session_ == nullptr) {
        return;
    }
    session_->users_.fetch_add(1);
    const SessionState state = session_->state.load();
    const bool stateOk =
        state == SessionState::Active || (need == Need::Current && state == SessionState::Closing);
    valid_ = stateOk && session_->generation() == claim.generation;
}

SessionUse::~SessionUse() {
    if (session_ != nullptr) {
        session_->users_.fetch_sub(1, std::memory_order_release);
    }
}

bool Session::closeFor(const char* cause, LineSink& out) {
    if (!close()) {
        return false;
    }
    const std::string label = name();
    printLine(out, "phone %d (%s) disconnected: %s\n", index + 1,
              label.empty() ? "?" : label.c_str(), cause);
    return true;
}

std::string Session::name() const {
    std::lock_guard lock(textMutex_);
    return name_.data();
}

void Session::setName(std::string_view text) {
    std::lock_guard lock(textMutex_);
    copyText(name_, text);
}

std::string Session::phoneName() const {
    std::lock_guard lock(textMutex_);
    return phoneName_.data();
}

void Session::setPhoneName(std::string_view text) {
    std::lock_guard lock(textMutex_);
    copyText(phoneName_, text);
}

std::optional<PeerAddress> Session::peerAddress() const {
    if (!hasPeer.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    return PeerAddress::unpack(peer_.load(std::memory_order_relaxed));
}

void Session::setPeer(PeerAddress peer) {
    peer_.store(peer.pack(), std::memory_order_relaxed);
    hasPeer.store(true, std::memory_order_release);
}

std::vector<ChannelPin> parseChannelPins(std::string_view text, int pairs) {
    std::vector<ChannelPin> pins;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string line(text.substr(start, end - start));
        start = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string idText = line.substr(0, equals);
        const auto deviceId = static_cast<uint32_t>(std::strtoul(idText.c_str(), nullptr, 10));
        const auto pair = static_cast<int>(std::strtol(line.c_str() + equals + 1, nullptr, 10));
        if (deviceId == 0 || static_cast<unsigned>(pair) >= static_cast<unsigned>(pairs)) {
            continue;
        }
        pins.push_back({deviceId, pair});
    }
    return pins;
}

std::optional<std::string> readChannelsFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string content;
    char piece[256];
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        content += piece;
    }
    std::fclose(file);
    return content;
}

SessionTable::SessionTable(double sampleRate, double initialTargetMs) {
    for (int i = 0; i < kSlots; ++i) {
        sessions_.push_back(std::make_unique<Session>(i, sampleRate, initialTargetMs));
    }
}

SessionClaim SessionTable::claimSlot(int firstPair, int pairs, uint32_t key, int64_t now) {
    std::lock_guard lock(mutex_);
    if (key != 0) {
        for (auto& s : sessions_) {
            const int64_t lastAudio = s->lastAudioNs.load();
            if (s->isActive() && s->claimKey.load() == key &&
                (lastAudio == 0 || now - lastAudio >= kStaleForReclaimNs)) {
                s->close();
            }
        }
    }
    std::optional<int> preferred;
    if (key != 0) {
        for (auto& s : sessions_) {
            if (s->claimKey.load() == key && s->channel.load() / 2 < pairs) {
                preferred = s->channel.load() / 2;
                break;
            }
        }
    }
    Session* slot = nullptr;
    for (auto& s : sessions_) {
        if (s->state.load(std::memory_order_acquire) == SessionState::Free) {
            slot = s.get();
            break;
        }
    }
    if (slot == nullptr) {
        return {};
    }
    auto pairInUse = [&](int pair) {
        return std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& s) {
            return s->isActive() && s->channel.load() == 2 * pair;
        });
    };
    std::optional<int> chosen;
    if (preferred && !pairInUse(*preferred)) {
        chosen = preferred;
    } else {
        const int n = std::max(pairs, 1);
        for (int i = 0; i < n && !chosen; ++i) {
            const int pair = (firstPair + i) % n;
            if (!pairInUse(pair)) {
                chosen = pair;
            }
        }
    }
    if (!chosen) {
        return {};
    }
    slot->waitForUsers();
    slot->resetForNewPeer();
    slot->channel.store(2 * *chosen);
    slot->claimKey.store(key);
    const uint32_t generation = slot->generation_.load() + 1;
    slot->generation_.store(generation);
    slot->state.store(SessionState::Active);
    return {slot, generation};
}

SessionClaim SessionTable::findByPeer(PeerAddress peer) {
    for (auto& s : sessions_) {
        const uint32_t generation = s->generation();
        if (s->isActive() && s->peerAddress() == peer) {
            return {s.get(), generation};
        }
    }
    return {};
}

SessionClaim SessionTable::findByDeviceId(uint32_t deviceId) {
    for (auto& s : sessions_) {
        const uint32_t generation = s->generation();
        if (s->isActive() && s->deviceId.load() == deviceId) {
            return {s.get(), generation};
        }
    }
    return {};
}

bool SessionTable::claimedBefore(uint32_t key) const {
    return std::any_of(sessions_.begin(), sessions_.end(),
                       [&](const auto& s) { return s->claimKey.load() == key; });
}

void SessionTable::housekeeping(int64_t now, const std::string& channelsPath, int pairs,
                                LineSink& out) {
    closeSilentSessions(now, out);
    releaseIfRenderIdle(now);
    if (const auto pins = readChannelsFile(channelsPath)) {
        applyChannelPins(*pins, pairs, out);
    }
}

void SessionTable::closeSilentSessions(int64_t now, LineSink& out) {
    for (auto& s : sessions_) {
        // Held across the check and the close, so a slot that changes hands in between is
        // never closed for the silence of the phone that left it.
        const SessionUse use({s.get(), s->generation()});
        const int64_t lastAudio = s->lastAudioNs.load();
        if (!use || lastAudio == 0 || now - lastAudio <= kAudioTimeoutNs) {
            continue;
        }
        s->closeFor("no audio for 5 s", out);
    }
}

void SessionTable::releaseIfRenderIdle(int64_t now) {
    // Under the mutex no claim can turn a slot seen Closing here into another claim's Closing.
    std::lock_guard lock(mutex_);
    // Only slots already Closing before the render epoch is read: a callback that started
    // earlier may still be pulling a slot closed after that read.
    std::array<bool, kSlots> closing{};
    for (int i = 0; i < kSlots; ++i) {
        closing[static_cast<size_t>(i)] = session(i).state.load() == SessionState::Closing;
    }
    const bool rendering = (renderEpoch_.load() & 1) != 0;
    const int64_t lastRender = lastRenderNs.load();
    if (rendering || (lastRender != 0 && now - lastRender < kRenderIdleNs)) {
        return;
    }
    for (int i = 0; i < kSlots; ++i) {
        SessionState expected = SessionState::Closing;
        if (closing[static_cast<size_t>(i)]) {
            session(i).state.compare_exchange_strong(expected, SessionState::Free);
        }
    }
}

void SessionTable::releaseClosing() {
    for (auto& s : sessions_) {
        SessionState expected = SessionState::Closing;
        s->state.compare_exchange_strong(expected, SessionState::Free);
    }
}

void SessionTable::applyChannelPins(std::string_view content, int pairs, LineSink& out) {
    if (content == appliedPins_) {
        return;
    }
    appliedPins_ = content;
    for (const ChannelPin& pin : parseChannelPins(content, pairs)) {
        movePin(pin, out);
    }
}

void SessionTable::movePin(const ChannelPin& pin, LineSink& out) {
    {
        std::lock_guard lock(mutex_);
        // Only a connected phone is moved: a Free or Closing slot that still carries the ID
        // belongs to an earlier connection, and moving it could put two phones on one pair.
        const auto pinned = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) {
            return s->isActive() && s->deviceId.load() == pin.deviceId;
        });
        if (pinned == sessions_.end()) {
            return;
        }
        const int target = 2 * pin.pair;
        const int old = (*pinned)->channel.load();
        if (old != target) {
            for (auto& s : sessions_) {
                if (s.get() != pinned->get() && s->isActive() && s->channel.load() == target) {
                    s->channel.store(old);
                }
            }
            (*pinned)->channel.store(target);
        }
    }
    printLine(out, "channel pin: device %u -> channels %d-%d\n", pin.deviceId, 2 * pin.pair + 1,
              2 * pin.pair + 2);
}

int SessionTable::activeCount() const {
    return static_cast<int>(std::count_if(sessions_.begin(), sessions_.end(),
                                          [](const auto& s) { return s->isActive(); }));
}

}  // namespace vocari
