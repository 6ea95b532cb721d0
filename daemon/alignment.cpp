#include "alignment.h"

#include <algorithm>
#include <array>

#include "session_table.h"

namespace vocari {

namespace {

constexpr int64_t kRecentAudioNs = 2'000'000'000;

struct Participant {
    SessionClaim claim;
    double netMs = 0.0;
    double bufferMs = 0.0;
};

}  // namespace

void alignStreams(SessionTable& table, bool alignmentOn, int64_t now) {
    std::array<Participant, SessionTable::kSlots> participants{};
    size_t count = 0;
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        Session& session = table.session(i);
        const SessionClaim claim{&session, session.generation()};
        const SessionUse use(claim);
        const int64_t lastAudio = session.lastAudioNs.load();
        if (!use || lastAudio == 0 || now - lastAudio >= kRecentAudioNs) {
            continue;
        }
        const JitterConsumer& jitter = *session.jitter;
        Participant& p = participants[count++];
        p.claim = claim;
        p.netMs = session.netDelayValid.load() ? session.netDelayMs.load() : 0.0;
        p.bufferMs = jitter.depthMs(static_cast<double>(jitter.target()));
    }
    const bool align = alignmentOn && count >= 2;
    double longest = 0.0;
    for (size_t i = 0; i < count; ++i) {
        longest = std::max(longest, participants[i].netMs + participants[i].bufferMs);
    }
    for (size_t i = 0; i < count; ++i) {
        const Participant& p = participants[i];
        const SessionUse use(p.claim);
        if (!use) {
            continue;
        }
        JitterConsumer& jitter = *p.claim.session->jitter;
        const double wantMs = align ? std::max(longest - p.netMs, p.bufferMs) : 0.0;
        jitter.setAlignFloor(
            wantMs > 0.0 ? 2 * static_cast<uint64_t>(jitter.sampleRate() * wantMs / 1000.0) : 0);
    }
}

}  // namespace vocari
