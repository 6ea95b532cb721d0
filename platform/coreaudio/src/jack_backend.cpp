#include "jack_backend.h"

#include <jack/jack.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "vocari/sim_audio.h"

namespace vocari::coreaudio {
namespace {

constexpr uint32_t kDefaultJackChannels = 16;
constexpr uint32_t kMaxJackChannels = 256;
// JACK's largest period; the interleaved buffer is sized for it up front so that a change of
// the server's buffer size never needs an allocation on the process thread.
constexpr uint32_t kMaxJackFrames = 8192;
constexpr int64_t kProbeIntervalNs = 1'000'000'000;
constexpr uint32_t kRequiredRate = 48000;

int64_t clockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void ignoreMessage(const char*) {}

// libjack reports every failed connection attempt on stderr; a missing server is normal here.
void silenceLibjack() {
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(ignoreMessage);
        jack_set_info_function(ignoreMessage);
    });
}

jack_client_t* openClient(const char* clientName, const std::string& serverName) {
    silenceLibjack();
    jack_status_t status{};
    const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
    return jack_client_open(clientName, options, &status, serverName.c_str());
}

class JackOutput final : public OutputEngine {
  public:
    JackOutput(const std::string& serverName, uint32_t channels, const EngineSetup& setup)
        : serverName_(serverName), channels_(channels), setup_(setup) {}

    ~JackOutput() override {
        stop();
        if (client_ != nullptr) {
            jack_client_close(client_);
        }
    }

    OSStatus prepare() override {
        client_ = openClient("vocari", serverName_);
        if (client_ == nullptr) {
            std::fprintf(stderr, "vocari audio: JACK server \"%s\" is not running\n",
                         serverName_.c_str());
            return kAudioUnitErr_FailedInitialization;
        }
        const jack_nframes_t rate = jack_get_sample_rate(client_);
        if (rate != kRequiredRate) {
            std::fprintf(stderr,
                         "vocari audio: JACK server \"%s\" runs at %u Hz; Vocari plays at %u Hz "
                         "only (start jackd with -r %u)\n",
                         serverName_.c_str(), static_cast<unsigned>(rate), kRequiredRate,
                         kRequiredRate);
            jack_client_close(client_);
            client_ = nullptr;
            return kAudioUnitErr_FormatNotSupported;
        }
        for (uint32_t channel = 0; channel < channels_; ++channel) {
            const std::string name = "out_" + std::to_string(channel + 1);
            jack_port_t* port = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                   JackPortIsOutput, 0);
            if (port == nullptr) {
                std::fprintf(stderr, "vocari audio: cannot register JACK port %s\n", name.c_str());
                return kAudioUnitErr_FailedInitialization;
            }
            ports_.push_back(port);
        }
        portBuffers_.assign(channels_, nullptr);
        interleaved_.assign(static_cast<size_t>(kMaxJackFrames) * setup_.clientChannels, 0.0f);
        jack_set_process_callback(client_, &JackOutput::process, this);
        jack_on_shutdown(client_, &JackOutput::serverGone, this);
        return noErr;
    }

    OSStatus start() override {
        if (active_) {
            stop_.store(false, std::memory_order_release);
            return noErr;
        }
        if (serverGone_.load(std::memory_order_acquire)) {
            std::fprintf(stderr, "vocari audio: JACK server \"%s\" has shut down\n",
                         serverName_.c_str());
            return kAudioHardwareNotRunningError;
        }
        stop_.store(false, std::memory_order_release);
        if (jack_activate(client_) != 0) {
            std::fprintf(stderr, "vocari audio: cannot activate the JACK client\n");
            return kAudioUnitErr_FailedInitialization;
        }
        active_ = true;
        return noErr;
    }

    void stop() override {
        stop_.store(true, std::memory_order_release);
        if (active_) {
            jack_deactivate(client_);
            active_ = false;
        }
    }

    void requestStop() override { stop_.store(true, std::memory_order_release); }

    bool stopRequested() const override { return stop_.load(std::memory_order_acquire); }

    bool deviceLost() const override { return serverGone_.load(std::memory_order_acquire); }

  private:
    static void serverGone(void* self) {
        static_cast<JackOutput*>(self)->serverGone_.store(true, std::memory_order_release);
    }

    static int process(jack_nframes_t frames, void* self) {
        static_cast<JackOutput*>(self)->render(frames);
        return 0;
    }

    // JACK process thread. Allocates nothing and takes no lock.
    void render(jack_nframes_t frames) {
        setCurrentRenderUnit(setup_.unit);
        for (uint32_t channel = 0; channel < channels_; ++channel) {
            portBuffers_[channel] =
                static_cast<float*>(jack_port_get_buffer(ports_[channel], frames));
        }
        const bool play = !stop_.load(std::memory_order_acquire) && frames <= kMaxJackFrames &&
                          setup_.callback.inputProc != nullptr;
        if (!play) {
            for (float* port : portBuffers_) {
                std::fill(port, port + frames, 0.0f);
            }
            return;
        }
        jack_nframes_t cycleFrames = 0;
        jack_time_t cycleUsecs = 0;
        jack_time_t nextUsecs = 0;
        float periodUsecs = 0.0f;
        if (jack_get_cycle_times(client_, &cycleFrames, &cycleUsecs, &nextUsecs, &periodUsecs) !=
            0) {
            cycleFrames = jack_last_frame_time(client_);
            cycleUsecs = jack_frames_to_time(client_, cycleFrames);
        }
        // JACK keeps time on CLOCK_MONOTONIC_RAW; callers measure against CLOCK_MONOTONIC. The
        // two drift apart while NTP slews, so the offset is taken afresh every cycle.
        const int64_t rawBefore = clockNs(CLOCK_MONOTONIC_RAW);
        const int64_t monotonic = clockNs(CLOCK_MONOTONIC);
        const int64_t rawAfter = clockNs(CLOCK_MONOTONIC_RAW);
        const int64_t offset = monotonic - (rawBefore + (rawAfter - rawBefore) / 2);
        int64_t hostNs = static_cast<int64_t>(cycleUsecs) * 1000 + offset;

        // JACK's frame counter is 32 bits; carry it on in 64 so sample time never wraps.
        int64_t sampleTime = cycleFrames;
        if (haveFrameTime_) {
            sampleTime = lastJackSampleTime_ + static_cast<int32_t>(cycleFrames - lastCycleFrames_);
        }
        lastJackSampleTime_ = sampleTime;
        lastCycleFrames_ = cycleFrames;
        // On a busy machine the cycle times read here can still be those of the cycle before.
        // A device's clock never stands still, so such a cycle follows straight on from the last.
        if (haveFrameTime_ && sampleTime < nextSampleTime_) {
            sampleTime = nextSampleTime_;
            hostNs = nextHostNs_;
        }
        haveFrameTime_ = true;
        nextSampleTime_ = sampleTime + frames;
        nextHostNs_ = hostNs + static_cast<int64_t>(frames) * 1'000'000'000 / kRequiredRate;

        AudioTimeStamp timeStamp{};
        timeStamp.mSampleTime = static_cast<Float64>(sampleTime);
        timeStamp.mHostTime = static_cast<UInt64>(hostNs);
        timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
        const uint32_t clientChannels = setup_.clientChannels;
        const bool silent = !renderInterleaved(setup_, timeStamp, frames, interleaved_.data());
        for (uint32_t channel = 0; channel < channels_; ++channel) {
            float* port = portBuffers_[channel];
            if (silent || channel >= clientChannels) {
                std::fill(port, port + frames, 0.0f);
                continue;
            }
            for (jack_nframes_t f = 0; f < frames; ++f) {
                port[f] = interleaved_[static_cast<size_t>(f) * clientChannels + channel];
            }
        }
    }

    const std::string serverName_;
    const uint32_t channels_;
    const EngineSetup setup_;
    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> ports_;
    std::vector<float*> portBuffers_;
    std::vector<float> interleaved_;
    bool active_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> serverGone_{false};
    // Process thread only.
    bool haveFrameTime_ = false;
    int64_t lastJackSampleTime_ = 0;
    jack_nframes_t lastCycleFrames_ = 0;
    int64_t nextSampleTime_ = 0;
    int64_t nextHostNs_ = 0;
};

}  // namespace

std::string jackServerName() {
    const char* name = std::getenv("JACK_DEFAULT_SERVER");
    return name != nullptr && name[0] != '\0' ? name : "default";
}

uint32_t jackDeviceChannels() {
    const char* text = std::getenv("VOCARI_JACK_CHANNELS");
    if (text == nullptr) {
        return kDefaultJackChannels;
    }
    char* end = nullptr;
    const long channels = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || channels < 1 || channels > kMaxJackChannels) {
        return kDefaultJackChannels;
    }
    return static_cast<uint32_t>(channels);
}

std::optional<JackServerInfo> reachableJackServer() {
    static std::mutex mutex;
    static int64_t probedAtNs = 0;
    static std::string probedName;
    static std::optional<JackServerInfo> probed;
    const std::string name = jackServerName();
    const std::lock_guard lock(mutex);
    const int64_t now = clockNs(CLOCK_MONOTONIC);
    if (probedAtNs != 0 && name == probedName && now - probedAtNs < kProbeIntervalNs) {
        return probed;
    }
    probedAtNs = now;
    probedName = name;
    probed.reset();
    if (jack_client_t* client = openClient("vocari-probe", name)) {
        probed = JackServerInfo{name, jack_get_sample_rate(client), jack_get_buffer_size(client)};
        jack_client_close(client);
    }
    return probed;
}

std::unique_ptr<OutputEngine> makeJackOutput(const std::string& serverName, uint32_t channels,
                                             const EngineSetup& setup) {
    return std::make_unique<JackOutput>(serverName, channels, setup);
}

}  // namespace vocari::coreaudio
