#include "status.h"

#include <locale.h>

#include <algorithm>
#include <cstdio>

#include "alignment.h"
#include "audio_out.h"
#include "devices.h"
#include "runtime.h"
#include "session_table.h"

namespace vocari {

namespace {

// The app reads one line per device; a line never exceeds this many bytes, its line feed
// included, so a very long name is shortened rather than losing the line's end.
constexpr size_t kDeviceLineLimit = 1023;

constexpr int64_t kRecentAudioNs = 2'000'000'000;
constexpr int kDeviceCheckEvery = 5;
constexpr size_t kSessionLineSize = 512;

int ppm(double ratio) {
    return static_cast<int>((ratio - 1.0) * 1'000'000.0);
}

bool recentAudio(const Session& session, int64_t now) {
    const int64_t last = session.lastAudioNs.load();
    return last != 0 && now - last < kRecentAudioNs;
}

// The name people know the phone by: the one it gave in its HELLO, else its address or link.
std::string displayName(const Session& session) {
    std::string name = session.phoneName();
    return name.empty() ? session.name() : name;
}

double netDelayShown(const Session& session) {
    return session.netDelayValid.load() ? session.netDelayMs.load() : -1.0;
}

}  // namespace

std::string statusLine(const Runtime& runtime, const AudioOut* output) {
    const int active = runtime.sessions->activeCount();
    const bool measured = output != nullptr && output->measuredRatioValid();
    const double ratio = measured ? output->measuredRatio() : 1.0;
    char line[1024];
    const int length = std::snprintf(
        line, sizeof line,
        "[vocarid] phones=%d/%d  dev=\"%s\"(%dch)  align=%s  dev=%+dppm%s  phone=%s\n", active,
        output != nullptr ? output->pairs() : 0,
        output != nullptr ? output->deviceName().c_str() : "",
        output != nullptr ? static_cast<int>(output->channels()) : 0,
        runtime.alignment.load() ? "on" : "off", ppm(ratio), measured ? "" : "?",
        active > 0 ? "yes" : "waiting");
    if (length < 0) {
        return {};
    }
    std::string text(line, std::min(static_cast<size_t>(length), sizeof line - 1));
    text.back() = '\n';  // a device name too long for the line is shortened, still one line
    return text;
}

std::string sessionDetailLine(const Session& session, int64_t now) {
    const JitterConsumer& jitter = *session.jitter;
    const ClockChoice clock = chooseClock(session.ptp, session.clock, now);
    const int channel = session.channel.load();
    char line[512];
    const int length = std::snprintf(
        line, sizeof line,
        "  [%d] ch%d-%d %-18s pkts=%llu buf=%.0fms(t%.0f) trim=%dppm clk=%+dppm(%s) net=%.1fms "
        "xruns=%u rtt=%.1fms [%s/%s]%s\n",
        session.index + 1, channel + 1, channel + 2, displayName(session).c_str(),
        static_cast<unsigned long long>(session.packets.load()), jitter.depthMs(jitter.fastDepth()),
        jitter.depthMs(static_cast<double>(jitter.effectiveTarget())), jitter.trimPpm(),
        ppm(clock.shownRatio), clock.source, netDelayShown(session), jitter.underruns(),
        session.rttMs.load(), bufferPresetName(jitter.appliedPreset()),
        session.isOpus.load() ? "opus" : "pcm", recentAudio(session, now) ? "" : "  (silent)");
    return std::string(line, static_cast<size_t>(std::clamp(length, 0, 511)));
}

std::string sessionBlock(SessionTable& table, int64_t now) {
    std::string lines;
    int count = 0;
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        Session& session = table.session(i);
        const SessionUse use({&session, session.generation()});
        if (!use) {
            continue;
        }
        const JitterConsumer& jitter = *session.jitter;
        const bool recent = recentAudio(session, now);
        char line[kSessionLineSize];
        const int length = std::snprintf(
            line, sizeof line,
            "session:\t%d\t%d\t%llu\t%.0f\t%.0f\t%u\t%.1f\t%.1f\t%s\t%s\t%s\t%u\t%s\n",
            session.index + 1, session.channel.load() + 1,
            static_cast<unsigned long long>(session.packets.load()),
            jitter.depthMs(jitter.fastDepth()),
            jitter.depthMs(static_cast<double>(jitter.effectiveTarget())), jitter.underruns(),
            session.rttMs.load(), netDelayShown(session), bufferPresetName(jitter.appliedPreset()),
            recent ? session.name().c_str() : "(silent)", session.isOpus.load() ? "opus" : "pcm",
            session.deviceId.load(), displayName(session).c_str());
        if (length > 0) {
            lines.append(line, std::min(static_cast<size_t>(length), kSessionLineSize - 1));
        }
        ++count;
    }
    return "sessions: " + std::to_string(count) + "\n" + lines;
}

void statsLoop(Runtime& runtime, std::string devicesShown) {
    nameThisThread("status");
    // Every number in the status output is read by the app with a point as decimal separator,
    // whatever locale the process was given.
    const locale_t posix = newlocale(LC_ALL_MASK, "C", nullptr);
    const locale_t previous = posix != nullptr ? uselocale(posix) : nullptr;
    const std::string channelsPath = runtime.settingsFolder + "channels";
    const AudioOut* output = runtime.output.load();
    std::string devices = std::move(devicesShown);
    int passes = 0;
    // Passes keep to whole seconds from the start, however long each one takes.
    auto next = std::chrono::steady_clock::now();
    while (sleepWhileRunningUntil(runtime, next += std::chrono::seconds(1))) {
        const int64_t now = runtime.clock->nowNs();
        SessionTable& table = *runtime.sessions;
        table.housekeeping(now, channelsPath, pairsForClaims(runtime), *runtime.out);
        alignStreams(table, runtime.alignment.load(), now);
        if (++passes == kDeviceCheckEvery) {
            passes = 0;
            std::string current = deviceInventory(output, runtime.firstPair.load());
            if (current != devices) {
                runtime.out->write(current);
                devices = std::move(current);
            }
        }
        if (output != nullptr && output->deviceLost()) {
            // Nothing would be heard again: end, so that whoever supervises the daemon starts
            // it anew on the devices there are now.
            printLine(*runtime.err, "output device \"%s\" has gone away; vocarid stops\n",
                      output->deviceName().c_str());
            runtime.exitStatus.store(1);
            runtime.stop();
            break;
        }
        runtime.out->write(statusLine(runtime, output));
        for (int i = 0; i < SessionTable::kSlots; ++i) {
            Session& session = table.session(i);
            const SessionUse use({&session, session.generation()});
            if (use) {
                runtime.out->write(sessionDetailLine(session, now));
            }
        }
        runtime.out->write(sessionBlock(table, now));
        std::fflush(stdout);
    }
    if (posix != nullptr) {
        uselocale(previous);
        freelocale(posix);
    }
}

std::string deviceInventory(const AudioOut* output, int firstPair) {
    const auto devices = loopbackDevices();
    std::string block = "devices: " + std::to_string(devices.size()) + "\n";
    for (const auto& device : devices) {
        const bool inUse =
            output != nullptr && output->isVirtual() && device.uid == output->deviceUid();
        char line[kDeviceLineLimit + 1];
        int length =
            std::snprintf(line, sizeof line, "device:\t%d\t%d\t%d\t%s\t%s\n", inUse ? 1 : 0,
                          static_cast<int>(device.outputChannels), inUse ? firstPair * 2 : 0,
                          device.uid.c_str(), device.name.c_str());
        if (length < 0) {
            continue;
        }
        if (static_cast<size_t>(length) > kDeviceLineLimit) {
            line[kDeviceLineLimit - 1] = '\n';
            length = static_cast<int>(kDeviceLineLimit);
        }
        block.append(line, static_cast<size_t>(length));
    }
    return block;
}

}  // namespace vocari
