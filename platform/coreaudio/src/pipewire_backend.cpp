#include "pipewire_backend.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace vocari::coreaudio {
namespace {

constexpr uint32_t kRate = 48000;
// A quantum larger than this is played as silence; the interleaved buffer is sized for it up
// front so that a change of quantum never needs an allocation on the data thread.
constexpr uint32_t kMaxFrames = 8192;
constexpr int64_t kProbeIntervalNs = 1'000'000'000;
constexpr int kConnectTimeoutSeconds = 5;
// All pair streams are scheduled by one driver, so one graph cycle covers every pair.
constexpr const char* kNodeGroup = "vocari-phones";

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

const char* environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

void initPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

class PipeWireOutput;

// One stereo pair's source.
struct PairStream {
    PipeWireOutput* owner = nullptr;
    uint32_t pair = 0;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    // Set by the graph (io_changed), read by the data thread.
    std::atomic<spa_io_position*> position{nullptr};
    std::atomic<int> state{PW_STREAM_STATE_UNCONNECTED};
};

class PipeWireOutput final : public OutputEngine {
  public:
    PipeWireOutput(uint32_t channels, const EngineSetup& setup)
        : channels_(channels), setup_(setup) {}

    ~PipeWireOutput() override {
        stop();
        teardown();
    }

    OSStatus prepare() override {
        initPipeWire();
        loop_ = pw_thread_loop_new("vocari-pipewire", nullptr);
        if (loop_ == nullptr) {
            std::fprintf(stderr, "vocari audio: cannot create the PipeWire loop\n");
            return kAudioUnitErr_FailedInitialization;
        }
        // The configuration of real-time clients: its module gives the data thread, which
        // renders every cycle, real-time priority where the system allows it. At normal
        // priority, any busy program on the machine makes it miss graph cycles.
        context_ =
            pw_context_new(pw_thread_loop_get_loop(loop_),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        if (context_ == nullptr || pw_thread_loop_start(loop_) != 0) {
            std::fprintf(stderr, "vocari audio: cannot start a PipeWire client\n");
            return kAudioUnitErr_FailedInitialization;
        }
        interleaved_.assign(static_cast<size_t>(kMaxFrames) * setup_.clientChannels, 0.0f);
        pw_thread_loop_lock(loop_);
        const OSStatus status = connectLocked();
        const bool ready = status == noErr && waitUntilConnectedLocked();
        pw_thread_loop_unlock(loop_);
        if (status != noErr) {
            return status;
        }
        if (!ready) {
            std::fprintf(stderr, "vocari audio: PipeWire did not accept the phone sources\n");
            return kAudioUnitErr_FailedInitialization;
        }
        return noErr;
    }

    OSStatus start() override {
        if (failed_.load(std::memory_order_acquire)) {
            std::fprintf(stderr, "vocari audio: the PipeWire server has gone away\n");
            return kAudioHardwareNotRunningError;
        }
        stop_.store(false, std::memory_order_release);
        if (!active_) {
            setActive(true);
            active_ = true;
        }
        return noErr;
    }

    void stop() override {
        stop_.store(true, std::memory_order_release);
        if (active_) {
            setActive(false);
            active_ = false;
        }
        // A cycle already past the stop check finishes before this returns; every later one
        // sees the flag.
        if (context_ != nullptr && !streams_.empty()) {
            pw_data_loop_invoke(pw_context_get_data_loop(context_), &PipeWireOutput::barrier, 0,
                                nullptr, 0, true, nullptr);
        }
    }

    void requestStop() override { stop_.store(true, std::memory_order_release); }

    bool stopRequested() const override { return stop_.load(std::memory_order_acquire); }

    bool deviceLost() const override { return failed_.load(std::memory_order_acquire); }

    // Data thread only. Lock-free; allocates nothing; makes no system call.
    void process(PairStream& pair) {
        pw_buffer* buffer = pw_stream_dequeue_buffer(pair.stream);
        if (buffer == nullptr) {
            return;
        }
        spa_data& data = buffer->buffer->datas[0];
        if (data.data == nullptr || data.chunk == nullptr) {
            pw_stream_queue_buffer(pair.stream, buffer);
            return;
        }
        constexpr uint32_t kStride = 2 * sizeof(float);
        uint32_t frames = std::min(data.maxsize / kStride, kMaxFrames);
        if (buffer->requested != 0) {
            frames = static_cast<uint32_t>(std::min<uint64_t>(frames, buffer->requested));
        }
        auto* out = static_cast<float*>(data.data);
        const spa_io_position* position = pair.position.load(std::memory_order_acquire);
        const uint32_t heard = position != nullptr ? renderCycle(*position, frames) : 0;
        const uint32_t left = 2 * pair.pair;
        const uint32_t clientChannels = setup_.clientChannels;
        if (heard == 0 || left + 1 >= clientChannels) {
            std::fill(out, out + 2 * static_cast<size_t>(frames), 0.0f);
        } else {
            for (uint32_t f = 0; f < heard; ++f) {
                const float* frame = &interleaved_[static_cast<size_t>(f) * clientChannels];
                out[2 * f] = frame[left];
                out[2 * f + 1] = frame[left + 1];
            }
            std::fill(out + 2 * static_cast<size_t>(heard), out + 2 * static_cast<size_t>(frames),
                      0.0f);
        }
        data.chunk->offset = 0;
        data.chunk->stride = kStride;
        data.chunk->size = frames * kStride;
        pw_stream_queue_buffer(pair.stream, buffer);
    }

    void streamStateChanged(PairStream& pair, pw_stream_state state, const char* error) {
        pair.state.store(state, std::memory_order_release);
        if (state == PW_STREAM_STATE_ERROR) {
            std::fprintf(stderr, "vocari audio: PipeWire source \"%s\": %s\n",
                         pipeWirePairDescription(pair.pair).c_str(),
                         error != nullptr ? error : "error");
            failed_.store(true, std::memory_order_release);
        }
        pw_thread_loop_signal(loop_, false);
    }

    void coreError(uint32_t id, int res, const char* message) {
        if (id == PW_ID_CORE) {
            if (res != -EPIPE) {
                std::fprintf(stderr, "vocari audio: PipeWire: %s\n",
                             message != nullptr ? message : "error");
            }
            failed_.store(true, std::memory_order_release);
            pw_thread_loop_signal(loop_, false);
        }
    }

  private:
    static int barrier(spa_loop*, bool, uint32_t, const void*, size_t, void*) { return 0; }

    OSStatus connectLocked() {
        core_ = pw_context_connect(context_, nullptr, 0);
        if (core_ == nullptr) {
            std::fprintf(stderr, "vocari audio: no PipeWire server is running (%s)\n",
                         pipeWireSocketPath().c_str());
            return kAudioUnitErr_FailedInitialization;
        }
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.error = [](void* self, uint32_t id, int, int res, const char* message) {
                static_cast<PipeWireOutput*>(self)->coreError(id, res, message);
            };
            return events;
        }();
// PipeWire's listener macro casts in C style.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
#pragma GCC diagnostic pop

        static const pw_stream_events streamEvents = [] {
            pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                                      const char* error) {
                auto* pair = static_cast<PairStream*>(data);
                pair->owner->streamStateChanged(*pair, state, error);
            };
            events.io_changed = [](void* data, uint32_t id, void* area, uint32_t size) {
                if (id == SPA_IO_Position) {
                    auto* position = size >= sizeof(spa_io_position)
                                         ? static_cast<spa_io_position*>(area)
                                         : nullptr;
                    static_cast<PairStream*>(data)->position.store(position,
                                                                   std::memory_order_release);
                }
            };
            events.process = [](void* data) {
                auto* pair = static_cast<PairStream*>(data);
                pair->owner->process(*pair);
            };
            return events;
        }();

        const uint32_t pairs = channels_ / 2;
        for (uint32_t p = 0; p < pairs; ++p) {
            auto pair = std::make_unique<PairStream>();
            pair->owner = this;
            pair->pair = p;
            const std::string name = pipeWirePairNodeName(p);
            const std::string description = pipeWirePairDescription(p);
            const std::string latency = std::to_string(kPipeWireBufferFrames) + "/48000";
            pw_properties* props = pw_properties_new(
                PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
                "Audio/Source", PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_DESCRIPTION,
                description.c_str(), PW_KEY_NODE_NICK, description.c_str(), PW_KEY_NODE_GROUP,
                kNodeGroup, PW_KEY_NODE_LATENCY, latency.c_str(), PW_KEY_NODE_RATE, "1/48000",
                PW_KEY_NODE_ALWAYS_PROCESS, "true", PW_KEY_NODE_WANT_DRIVER, "true",
                PW_KEY_APP_NAME, "Vocari", nullptr);
            pair->stream = pw_stream_new(core_, name.c_str(), props);
            if (pair->stream == nullptr) {
                std::fprintf(stderr, "vocari audio: cannot create the PipeWire source %s\n",
                             description.c_str());
                return kAudioUnitErr_FailedInitialization;
            }
            pw_stream_add_listener(pair->stream, &pair->listener, &streamEvents, pair.get());

            uint8_t storage[1024];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
            spa_audio_info_raw info{};
            info.format = SPA_AUDIO_FORMAT_F32;
            info.rate = kRate;
            info.channels = 2;
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
            const spa_pod* params[1] = {
                spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
            const auto flags = static_cast<pw_stream_flags>(
                PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_INACTIVE);
            if (pw_stream_connect(pair->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) !=
                0) {
                std::fprintf(stderr, "vocari audio: cannot connect the PipeWire source %s\n",
                             description.c_str());
                streams_.push_back(std::move(pair));
                return kAudioUnitErr_FailedInitialization;
            }
            streams_.push_back(std::move(pair));
        }
        return noErr;
    }

    // Every pair's source is known to the server (paused until started), or the server failed.
    bool waitUntilConnectedLocked() {
        const auto allPaused = [this] {
            return std::all_of(streams_.begin(), streams_.end(), [](const auto& pair) {
                const int state = pair->state.load(std::memory_order_acquire);
                return state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING;
            });
        };
        const int64_t deadline = monotonicNs() + int64_t{kConnectTimeoutSeconds} * 1'000'000'000;
        while (!allPaused() && !failed_.load(std::memory_order_acquire)) {
            if (monotonicNs() >= deadline ||
                pw_thread_loop_timed_wait(loop_, kConnectTimeoutSeconds) != 0) {
                break;
            }
        }
        return allPaused() && !failed_.load(std::memory_order_acquire);
    }

    void setActive(bool active) {
        if (loop_ == nullptr) {
            return;
        }
        pw_thread_loop_lock(loop_);
        for (const auto& pair : streams_) {
            pw_stream_set_active(pair->stream, active);
        }
        pw_thread_loop_unlock(loop_);
    }

    void teardown() {
        if (loop_ != nullptr) {
            pw_thread_loop_stop(loop_);
        }
        for (const auto& pair : streams_) {
            if (pair->stream != nullptr) {
                pw_stream_destroy(pair->stream);
            }
        }
        streams_.clear();
        if (core_ != nullptr) {
            pw_core_disconnect(core_);
        }
        if (context_ != nullptr) {
            pw_context_destroy(context_);
        }
        if (loop_ != nullptr) {
            pw_thread_loop_destroy(loop_);
        }
    }

    // Data thread only. Calls the render callback once per graph cycle, whichever pair's
    // stream comes first; returns how many of `frames` the interleaved buffer holds for this
    // cycle (0: silence).
    uint32_t renderCycle(const spa_io_position& position, uint32_t frames) {
        const uint64_t cycle = position.clock.position;
        if (haveCycle_ && cycle == renderedCycle_) {
            return std::min(frames, renderedFrames_);
        }
        haveCycle_ = true;
        renderedCycle_ = cycle;
        renderedFrames_ = 0;
        if (stop_.load(std::memory_order_acquire) || setup_.callback.inputProc == nullptr ||
            frames == 0) {
            return 0;
        }
        setCurrentRenderUnit(setup_.unit);
        const GraphCycle graph{position.clock.position, position.clock.nsec,
                               position.clock.rate.denom};
        AudioTimeStamp timeStamp = clock_.stamp(graph, frames);
        if (renderInterleaved(setup_, timeStamp, frames, interleaved_.data())) {
            renderedFrames_ = frames;
        }
        return renderedFrames_;
    }

    const uint32_t channels_;
    const EngineSetup setup_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    std::vector<std::unique_ptr<PairStream>> streams_;
    std::vector<float> interleaved_;
    bool active_ = false;  // control thread only
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    // Data thread only: every pair stream of this process runs on the context's one data loop.
    GraphClock clock_;
    bool haveCycle_ = false;
    uint64_t renderedCycle_ = 0;
    uint32_t renderedFrames_ = 0;
};

}  // namespace

AudioTimeStamp GraphClock::stamp(const GraphCycle& cycle, uint32_t frames) {
    const uint32_t rate = cycle.rate == 0 ? kRate : cycle.rate;
    // Ticks of a graph at another rate, in the unit's frames, in two steps so that the product
    // of a long-running position and the rate never overflows.
    const uint64_t seconds = cycle.position / rate;
    auto sampleTime =
        static_cast<int64_t>(seconds * kRate + (cycle.position - seconds * rate) * kRate / rate);
    auto hostNs = static_cast<int64_t>(cycle.nsec);
    if (started_ && sampleTime < nextSampleTime_) {
        sampleTime = nextSampleTime_;
        hostNs = nextHostNs_;
    }
    started_ = true;
    nextSampleTime_ = sampleTime + frames;
    nextHostNs_ = hostNs + static_cast<int64_t>(frames) * 1'000'000'000 / kRate;
    AudioTimeStamp stamp{};
    stamp.mSampleTime = static_cast<Float64>(sampleTime);
    stamp.mHostTime = static_cast<UInt64>(hostNs);
    // A driver that has not stamped its cycles yet (the first of a new graph) gives no time.
    stamp.mFlags = kAudioTimeStampSampleTimeValid |
                   (cycle.nsec != 0 ? kAudioTimeStampHostTimeValid : AudioTimeStampFlags{0});
    return stamp;
}

std::string pipeWireSocketPath() {
    const char* remote = environment("PIPEWIRE_REMOTE");
    const std::string name = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
    if (name.front() == '/') {
        return name;
    }
    const char* folder = environment("PIPEWIRE_RUNTIME_DIR");
    if (folder == nullptr) {
        folder = environment("XDG_RUNTIME_DIR");
    }
    if (folder == nullptr) {
        folder = environment("USERPROFILE");
    }
    return folder == nullptr ? std::string() : std::string(folder) + "/" + name;
}

bool pipeWireReachable() {
    static std::mutex mutex;
    static int64_t probedAtNs = 0;
    static std::string probedPath;
    static bool probed = false;
    const std::string path = pipeWireSocketPath();
    const std::lock_guard lock(mutex);
    const int64_t now = monotonicNs();
    if (probedAtNs != 0 && path == probedPath && now - probedAtNs < kProbeIntervalNs) {
        return probed;
    }
    probedAtNs = now;
    probedPath = path;
    probed = false;
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return probed;
    }
    // A server that listens accepts at once; a socket left behind by one that has gone refuses.
    // Knocking at the socket is quieter and far cheaper than starting a client.
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        probed = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(fd);
    }
    return probed;
}

std::string pipeWirePairDescription(uint32_t pair) {
    return "Vocari phones " + std::to_string(2 * pair + 1) + "\u2013" +
           std::to_string(2 * pair + 2);
}

std::string pipeWirePairNodeName(uint32_t pair) {
    return "vocari-phones-" + std::to_string(2 * pair + 1) + "-" + std::to_string(2 * pair + 2);
}

std::unique_ptr<OutputEngine> makePipeWireOutput(uint32_t channels, const EngineSetup& setup) {
    return std::make_unique<PipeWireOutput>(channels, setup);
}

}  // namespace vocari::coreaudio
