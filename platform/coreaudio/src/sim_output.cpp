#include "sim_output.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

#include "vocari/ring_file.h"
#include "vocari/sim_audio.h"

namespace vocari::coreaudio {
namespace {

// A pacing thread held up longer than this (suspended, starved) does not replay the buffers it
// missed: like a device after an overload, its sample time jumps ahead and the gap is silent.
constexpr int64_t kMaxLatenessNs = 200'000'000;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void sleepUntil(int64_t deadlineNs) {
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadlineNs / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(deadlineNs % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

class SimOutput final : public OutputEngine {
  public:
    SimOutput(const SimOutputConfig& config, const EngineSetup& setup)
        : config_(config), setup_(setup) {}

    ~SimOutput() override { stop(); }

    OSStatus prepare() override {
        std::string error;
        ring_ = RingFileWriter::open(config_.ringPath, config_.deviceChannels, &error);
        if (!ring_) {
            std::fprintf(stderr, "vocari audio: %s\n", error.c_str());
            return kAudioUnitErr_FailedInitialization;
        }
        buffer_.assign(static_cast<size_t>(config_.bufferFrames) * setup_.clientChannels, 0.0f);
        return noErr;
    }

    OSStatus start() override {
        if (thread_.joinable()) {
            if (!stop_.load(std::memory_order_acquire)) {
                return noErr;
            }
            thread_.join();
        }
        stop_.store(false, std::memory_order_release);
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return kAudioUnitErr_FailedInitialization;
        }
        return noErr;
    }

    void stop() override {
        stop_.store(true, std::memory_order_release);
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void requestStop() override { stop_.store(true, std::memory_order_release); }

    bool stopRequested() const override { return stop_.load(std::memory_order_acquire); }

  private:
    // Pacing thread. Allocates nothing and holds no lock while the callback runs.
    void run() {
        pthread_setname_np(pthread_self(), "sim-device");
        setCurrentRenderUnit(setup_.unit);
        const uint32_t frames = config_.bufferFrames;
        const double rate = kSimSampleRate * (1.0 + config_.ratePpm * 1e-6);
        const double nsPerFrame = 1e9 / rate;
        const auto periodNs = static_cast<int64_t>(std::llround(frames * nsPerFrame));
        const int64_t maxLatenessNs = std::max(kMaxLatenessNs, 4 * periodNs);
        const auto bytes = static_cast<UInt32>(buffer_.size() * sizeof(float));
        const int64_t startNs = monotonicNs();
        ring_->setTiming(startNs, nsPerFrame);
        uint64_t sampleIndex = 0;
        while (!stop_.load(std::memory_order_acquire)) {
            const int64_t dueNs =
                startNs + std::llround(static_cast<double>(sampleIndex) * nsPerFrame);
            sleepUntil(dueNs);
            if (stop_.load(std::memory_order_acquire)) {
                break;
            }
            const int64_t nowNs = monotonicNs();
            if (nowNs - dueNs > maxLatenessNs) {
                const auto reached = static_cast<uint64_t>(static_cast<double>(nowNs - startNs) /
                                                           nsPerFrame / frames);
                const uint64_t target = reached * frames;
                ring_->writeSilence(target - sampleIndex);
                sampleIndex = target;
                continue;
            }
            AudioTimeStamp timeStamp{};
            timeStamp.mSampleTime = static_cast<Float64>(sampleIndex);
            timeStamp.mHostTime = static_cast<UInt64>(dueNs);
            timeStamp.mRateScalar = rate / kSimSampleRate;
            timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid |
                               kAudioTimeStampRateScalarValid;
            AudioBufferList list{};
            list.mNumberBuffers = 1;
            list.mBuffers[0] = AudioBuffer{setup_.clientChannels, bytes, buffer_.data()};
            std::fill(buffer_.begin(), buffer_.end(), 0.0f);
            AudioUnitRenderActionFlags flags = 0;
            OSStatus status = noErr;
            if (setup_.callback.inputProc != nullptr) {
                status = setup_.callback.inputProc(setup_.callback.inputProcRefCon, &flags,
                                                   &timeStamp, 0, frames, &list);
            }
            if (status == noErr && (flags & kAudioUnitRenderAction_OutputIsSilence) == 0) {
                ring_->write(buffer_.data(), setup_.clientChannels, frames);
            } else {
                ring_->writeSilence(frames);
            }
            sampleIndex += frames;
        }
        setCurrentRenderUnit(nullptr);
    }

    const SimOutputConfig config_;
    const EngineSetup setup_;
    std::unique_ptr<RingFileWriter> ring_;
    std::vector<float> buffer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<OutputEngine> makeSimOutput(const SimOutputConfig& config,
                                            const EngineSetup& setup) {
    return std::make_unique<SimOutput>(config, setup);
}

}  // namespace vocari::coreaudio
