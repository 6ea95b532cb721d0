#include "capture.h"

#include <sndfile.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "analysis.h"
#include "vocari/ring_file.h"
#include "vocari/sim_audio.h"

namespace vocari {
namespace {

constexpr uint64_t kChunkFrames = 4800;
constexpr int64_t kPollNs = 5'000'000;
// No new frames for this long means nothing plays into the device.
constexpr int64_t kIdleAfterNs = 500'000'000;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void pause() {
    const timespec interval{0, kPollNs};
    nanosleep(&interval, nullptr);
}

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

}  // namespace

int captureDevice(const CaptureOptions& options, const std::atomic<bool>& interrupted, FILE* report,
                  FILE* errors) {
    if (!(options.seconds > 0.0) || options.seconds > 86400.0) {
        std::fprintf(errors, "vocari-capture: --seconds must be above 0 and at most 86400\n");
        return 2;
    }
    const auto devices = listSimDevices(options.folder);
    const bool known = std::any_of(devices.begin(), devices.end(),
                                   [&](const SimDevice& d) { return d.uid == options.deviceUid; });
    if (!known) {
        std::fprintf(
            errors, "vocari-capture: no simulated device with UID \"%s\" in %s%s\n",
            options.deviceUid.c_str(), options.folder.c_str(),
            options.deviceUid.rfind("jack:", 0) == 0 ? " (record JACK devices with jack_rec)" : "");
        return 1;
    }
    const std::string ringPath = ringFilePath(options.folder, options.deviceUid);
    std::string error;
    const auto ring = RingFileReader::open(ringPath, &error);
    if (!ring) {
        std::fprintf(errors,
                     "vocari-capture: device \"%s\" has no ring file to record from: %s "
                     "(nothing has played into it yet)\n",
                     options.deviceUid.c_str(), error.c_str());
        return 1;
    }
    const uint32_t channels = ring->channels();
    SF_INFO info{};
    info.samplerate = static_cast<int>(kSimSampleRate);
    info.channels = static_cast<int>(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const std::unique_ptr<SNDFILE, SndfileCloser> out(
        sf_open(options.outPath.c_str(), SFM_WRITE, &info));
    if (!out) {
        std::fprintf(errors, "vocari-capture: cannot write %s: %s\n", options.outPath.c_str(),
                     sf_strerror(nullptr));
        return 1;
    }

    const auto total = static_cast<uint64_t>(std::llround(options.seconds * kSimSampleRate));
    std::vector<float> chunk(kChunkFrames * channels);
    const std::vector<float> silence(kChunkFrames * channels, 0.0f);
    uint64_t recorded = 0;
    uint64_t cursor = ring->writtenFrames();
    int64_t lastProgressNs = monotonicNs();
    int64_t silenceClockNs = 0;
    bool idle = false;
    uint64_t lostFrames = 0;
    // When the recording's first frame played, if it came straight from the ring.
    std::optional<int64_t> firstFrameHostNs;
    std::optional<RingTiming> timing;
    const auto append = [&](const float* frames, uint64_t count) {
        if (sf_writef_float(out.get(), frames, static_cast<sf_count_t>(count)) !=
            static_cast<sf_count_t>(count)) {
            return false;
        }
        recorded += count;
        return true;
    };

    while (recorded < total && !interrupted.load(std::memory_order_relaxed)) {
        const uint64_t written = ring->writtenFrames();
        if (written < cursor) {
            // The ring was started afresh: follow it from where it is now.
            cursor = written;
        }
        if (written > cursor) {
            idle = false;
            lastProgressNs = monotonicNs();
            if (written - cursor > ring->reachFrames() - kChunkFrames) {
                // We fell a whole ring behind; keep the file's timing with silence.
                const uint64_t skip = written - cursor - ring->reachFrames() / 2;
                lostFrames += skip;
                for (uint64_t left = std::min(skip, total - recorded); left > 0;) {
                    const uint64_t n = std::min(left, kChunkFrames);
                    if (!append(silence.data(), n)) {
                        break;
                    }
                    left -= n;
                }
                cursor += skip;
                continue;
            }
            const uint64_t n = std::min({written - cursor, kChunkFrames, total - recorded});
            if (ring->read(cursor, n, chunk.data()) != RingFileReader::Read::Ok) {
                continue;
            }
            if (recorded == 0 && (timing = ring->timing())) {
                firstFrameHostNs = timing->hostTimeOf(cursor);
            }
            if (!append(chunk.data(), n)) {
                std::fprintf(errors, "vocari-capture: cannot write %s: %s\n",
                             options.outPath.c_str(), sf_strerror(out.get()));
                return 1;
            }
            cursor += n;
            continue;
        }
        const int64_t nowNs = monotonicNs();
        if (nowNs - lastProgressNs > kIdleAfterNs) {
            // Nothing plays into the device: its input is silence, at the nominal rate.
            if (!idle) {
                idle = true;
                silenceClockNs = lastProgressNs;
            }
            const auto due = static_cast<uint64_t>(static_cast<double>(nowNs - silenceClockNs) *
                                                   kSimSampleRate / 1e9);
            const uint64_t n = std::min({due, kChunkFrames, total - recorded});
            if (n > 0) {
                if (!append(silence.data(), n)) {
                    std::fprintf(errors, "vocari-capture: cannot write %s: %s\n",
                                 options.outPath.c_str(), sf_strerror(out.get()));
                    return 1;
                }
                silenceClockNs +=
                    static_cast<int64_t>(static_cast<double>(n) * 1e9 / kSimSampleRate);
                continue;
            }
        }
        pause();
    }
    if (lostFrames > 0) {
        std::fprintf(errors, "vocari-capture: fell behind; %llu frames were replaced by silence\n",
                     static_cast<unsigned long long>(lostFrames));
    }
    if (firstFrameHostNs) {
        std::fprintf(report,
                     "vocari-capture: the first frame played at %lld ns on CLOCK_MONOTONIC, "
                     "each next one %.6f ns later\n",
                     static_cast<long long>(*firstFrameHostNs), timing->nsPerFrame);
    }
    std::fprintf(report, "vocari-capture: recorded %llu frames (%u channels) from \"%s\" to %s%s\n",
                 static_cast<unsigned long long>(recorded), channels, options.deviceUid.c_str(),
                 options.outPath.c_str(), recorded < total ? " (interrupted)" : "");
    return 0;
}

int reportRecording(const std::string& path, FILE* report, FILE* errors) {
    SF_INFO info{};
    const std::unique_ptr<SNDFILE, SndfileCloser> in(sf_open(path.c_str(), SFM_READ, &info));
    if (!in || info.channels < 1) {
        std::fprintf(errors, "vocari-capture: cannot read %s: %s\n", path.c_str(),
                     sf_strerror(nullptr));
        return 1;
    }
    std::vector<float> samples(static_cast<size_t>(info.frames) *
                               static_cast<size_t>(info.channels));
    const sf_count_t got = sf_readf_float(in.get(), samples.data(), info.frames);
    samples.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)) *
                   static_cast<size_t>(info.channels));
    std::fprintf(report, "%s: %.1f s, %d channels\n%s", path.c_str(),
                 static_cast<double>(got) / info.samplerate, info.channels,
                 describePairs(summariseChannels(samples, info.channels, info.samplerate)).c_str());
    return 0;
}

}  // namespace vocari
