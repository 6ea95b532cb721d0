// pw-rate-driver: a PipeWire driver whose graph clock runs at a set rate against
// CLOCK_MONOTONIC, for the tests of how PipeWire clients follow a clock not the system's.
//
//   pw-rate-driver --ppm <parts per million> [--quantum <frames>] [--name <node.name>]
//
// A driving output stream that starts one graph cycle each time a quantum has passed at
// 48000 × (1 + ppm·1e-6) frames per second of CLOCK_MONOTONIC. Each cycle's clock says so: its
// position advances by the quantum, its nsec is the cycle's due time, and rate_diff and
// next_nsec follow from the rate. Its driver priority is above the server's own drivers, so
// nodes that want a driver and are linked to none (the Vocari pair sources) are given this one.
// (Sharing their node.group would not do: PipeWire 0.3.65 leaves a group with no link to its
// driver idle.)
//
// Prints "connected" once the server knows the node, "driving" on the first cycle, then
// "cycles <n> position <frames> overdue <n>" every second (overdue: cycles started although the
// one before had not completed within four quanta); ends on SIGTERM or SIGINT.

#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint64_t kDefaultQuantum = 256;

uint64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(now.tv_nsec);
}

timespec toTimespec(uint64_t ns) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return value;
}

struct Driver {
    pw_main_loop* loop = nullptr;
    pw_loop* dataLoop = nullptr;
    pw_stream* stream = nullptr;
    spa_source* timer = nullptr;  // on the data loop, so that a busy main thread delays no cycle
    spa_source* second = nullptr;
    double rateDiff = 1.0;  // graph frames per nominal frame of CLOCK_MONOTONIC

    // Data thread: the schedule. A cycle is due once `frames` frames have passed at the set
    // rate since `startNs`; it is started once the one before has completed, so that a late
    // wake-up is caught up cycle by cycle rather than losing cycles to the graph.
    uint64_t startNs = 0;
    uint64_t frames = 0;
    uint64_t dueNs = 0;
    uint64_t duePosition = 0;
    uint64_t triggeredNs = 0;
    uint64_t quantum = kDefaultQuantum;  // the graph's, from the clock's duration
    std::atomic<bool> inFlight{false};
    std::atomic<spa_io_clock*> clock{nullptr};

    // Read by the main thread for its report.
    std::atomic<uint64_t> cycles{0};
    std::atomic<uint64_t> position{0};
    std::atomic<uint64_t> overdue{0};  // cycles started before the one before had completed
    uint64_t cyclesShown = 0;          // main thread

    uint64_t dueAt(uint64_t frame) const {
        return startNs + static_cast<uint64_t>(
                             std::llround(static_cast<double>(frame) * 1e9 / (kRate * rateDiff)));
    }
};

void armAt(Driver& driver, uint64_t ns) {
    timespec value = toTimespec(ns);
    timespec interval{};
    pw_loop_update_timer(driver.dataLoop, driver.timer, &value, &interval, true);
}

// Data thread: the next cycle may be due.
void onTimer(void* data, uint64_t) {
    auto& driver = *static_cast<Driver*>(data);
    const uint64_t now = monotonicNs();
    if (!pw_stream_is_driving(driver.stream)) {
        // Not driving yet (no follower): looked at again shortly, and the schedule starts anew.
        driver.startNs = now + 10'000'000;
        driver.frames = 0;
        armAt(driver, driver.startNs);
        return;
    }
    // The cycle before has not completed: looked at again soon. A cycle that never reports
    // back (a follower gone) holds the graph up for a few quanta at most.
    if (driver.inFlight.load(std::memory_order_acquire)) {
        if (now - driver.triggeredNs < 4 * (driver.dueAt(driver.quantum) - driver.startNs)) {
            armAt(driver, now + 200'000);
            return;
        }
        driver.overdue.fetch_add(1, std::memory_order_relaxed);
    }
    driver.dueNs = driver.dueAt(driver.frames);
    driver.duePosition = driver.frames;
    driver.triggeredNs = now;
    driver.inFlight.store(true, std::memory_order_release);
    pw_stream_trigger_process(driver.stream);
    driver.frames += driver.quantum;
    armAt(driver, driver.dueAt(driver.frames));
}

void onTriggerDone(void* data) {
    static_cast<Driver*>(data)->inFlight.store(false, std::memory_order_release);
}

int startTimer(spa_loop*, bool, uint32_t, const void*, size_t, void* data) {
    auto& driver = *static_cast<Driver*>(data);
    driver.timer = pw_loop_add_timer(driver.dataLoop, onTimer, &driver);
    driver.startNs = monotonicNs();
    armAt(driver, driver.startNs);
    return 0;
}

int stopTimer(spa_loop*, bool, uint32_t, const void*, size_t, void* data) {
    auto& driver = *static_cast<Driver*>(data);
    pw_loop_destroy_source(driver.dataLoop, driver.timer);
    driver.timer = nullptr;
    return 0;
}

void onSecond(void* data, uint64_t) {
    auto& driver = *static_cast<Driver*>(data);
    const uint64_t cycles = driver.cycles.load(std::memory_order_relaxed);
    if (cycles != 0 && driver.cyclesShown == 0) {
        std::printf("driving\n");
    }
    if (cycles != 0) {
        std::printf("cycles %llu position %llu overdue %llu\n",
                    static_cast<unsigned long long>(cycles),
                    static_cast<unsigned long long>(driver.position.load()),
                    static_cast<unsigned long long>(driver.overdue.load()));
    }
    driver.cyclesShown = cycles;
    std::fflush(stdout);
}

// Data thread, at the start of each cycle this driver triggers (from onTimer): the graph's clock.
void onProcess(void* data) {
    auto& driver = *static_cast<Driver*>(data);
    spa_io_clock* clock = driver.clock.load(std::memory_order_acquire);
    if (clock != nullptr) {
        if (clock->duration != 0) {
            driver.quantum = clock->duration;
        }
        clock->position = driver.duePosition;
        clock->nsec = driver.dueNs;
        clock->rate = SPA_FRACTION(1, kRate);
        clock->duration = driver.quantum;
        clock->delay = 0;
        clock->rate_diff = driver.rateDiff;
        clock->next_nsec = driver.dueAt(driver.duePosition + driver.quantum);
    }
    driver.position.store(driver.duePosition, std::memory_order_relaxed);
    // Nothing is heard from this stream; a buffer, when linked, is handed back silent.
    if (pw_buffer* buffer = pw_stream_dequeue_buffer(driver.stream)) {
        spa_data& out = buffer->buffer->datas[0];
        if (out.data != nullptr && out.chunk != nullptr) {
            std::memset(out.data, 0, out.maxsize);
            out.chunk->offset = 0;
            out.chunk->stride = 2 * sizeof(float);
            out.chunk->size = 0;
        }
        pw_stream_queue_buffer(driver.stream, buffer);
    }
    driver.cycles.fetch_add(1, std::memory_order_relaxed);
}

void onIoChanged(void* data, uint32_t id, void* area, uint32_t size) {
    if (id == SPA_IO_Clock) {
        static_cast<Driver*>(data)->clock.store(
            size >= sizeof(spa_io_clock) ? static_cast<spa_io_clock*>(area) : nullptr,
            std::memory_order_release);
    }
}

void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_PAUSED && old == PW_STREAM_STATE_CONNECTING) {
        std::printf("connected\n");
        std::fflush(stdout);
    }
    if (state == PW_STREAM_STATE_ERROR) {
        std::fprintf(stderr, "pw-rate-driver: %s\n", error != nullptr ? error : "stream error");
        pw_main_loop_quit(static_cast<Driver*>(data)->loop);
    }
}

void onSignal(void* data, int) {
    pw_main_loop_quit(static_cast<Driver*>(data)->loop);
}

int usage() {
    std::fprintf(stderr,
                 "usage: pw-rate-driver --ppm <ppm> [--quantum <frames>] [--name <name>]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double ppm = 0.0;
    bool haveRate = false;
    std::string name = "vocari-rate-driver";
    uint64_t quantum = 0;  // 0: whatever the graph's nodes ask for
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            return usage();
        }
        const char* value = argv[++i];
        if (option == "--ppm") {
            char* end = nullptr;
            ppm = std::strtod(value, &end);
            haveRate = end != value && *end == '\0' && std::abs(ppm) < 10000.0;
            if (!haveRate) {
                std::fprintf(stderr, "pw-rate-driver: bad --ppm %s\n", value);
                return 2;
            }
        } else if (option == "--quantum") {
            quantum = std::strtoull(value, nullptr, 10);
            if (quantum < 32 || quantum > 8192) {
                std::fprintf(stderr, "pw-rate-driver: bad --quantum %s\n", value);
                return 2;
            }
        } else if (option == "--name") {
            name = value;
        } else {
            return usage();
        }
    }
    if (!haveRate) {
        return usage();
    }

    pw_init(&argc, &argv);
    Driver driver;
    driver.rateDiff = 1.0 + ppm * 1e-6;
    driver.loop = pw_main_loop_new(nullptr);
    if (driver.loop == nullptr) {
        std::fprintf(stderr, "pw-rate-driver: cannot create a loop\n");
        return 1;
    }
    pw_loop* loop = pw_main_loop_get_loop(driver.loop);
    pw_loop_add_signal(loop, SIGINT, onSignal, &driver);
    pw_loop_add_signal(loop, SIGTERM, onSignal, &driver);
    driver.second = pw_loop_add_timer(loop, onSecond, &driver);

    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = onStateChanged;
        e.io_changed = onIoChanged;
        e.process = onProcess;
        e.trigger_done = onTriggerDone;
        return e;
    }();
    const std::string latency =
        std::to_string(quantum != 0 ? quantum : kDefaultQuantum) + "/" + std::to_string(kRate);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_NODE_NAME,
        name.c_str(), PW_KEY_NODE_DESCRIPTION, "Vocari test driver at a set rate",
        PW_KEY_PRIORITY_DRIVER, "100000", PW_KEY_NODE_LATENCY, latency.c_str(), PW_KEY_NODE_RATE,
        "1/48000", PW_KEY_NODE_AUTOCONNECT, "false", nullptr);
    if (quantum != 0) {
        // Every node it drives then runs cycles of this length, whatever they ask for.
        pw_properties_set(props, PW_KEY_NODE_FORCE_QUANTUM, std::to_string(quantum).c_str());
    }
    // A context of the real-time client configuration, so that the data thread, which keeps
    // the schedule, runs at real-time priority where the system allows it.
    pw_context* context =
        pw_context_new(loop, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    pw_core* core = context != nullptr ? pw_context_connect(context, nullptr, 0) : nullptr;
    if (core == nullptr) {
        std::fprintf(stderr, "pw-rate-driver: cannot connect to PipeWire\n");
        return 1;
    }
    spa_hook listener{};
    driver.stream = pw_stream_new(core, name.c_str(), props);
    if (driver.stream != nullptr) {
        pw_stream_add_listener(driver.stream, &listener, &events, &driver);
    }
    if (driver.stream == nullptr) {
        std::fprintf(stderr, "pw-rate-driver: cannot create the stream\n");
        return 1;
    }
    uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_MAP_BUFFERS);
    if (pw_stream_connect(driver.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) != 0) {
        std::fprintf(stderr, "pw-rate-driver: cannot connect to PipeWire\n");
        return 1;
    }
    driver.dataLoop = pw_data_loop_get_loop(pw_context_get_data_loop(context));
    pw_loop_invoke(driver.dataLoop, startTimer, 0, nullptr, 0, true, &driver);
    timespec first = toTimespec(1'000'000'000);
    timespec everySecond = toTimespec(1'000'000'000);
    pw_loop_update_timer(loop, driver.second, &first, &everySecond, false);

    pw_main_loop_run(driver.loop);

    pw_loop_invoke(driver.dataLoop, stopTimer, 0, nullptr, 0, true, &driver);
    pw_stream_destroy(driver.stream);
    pw_core_disconnect(core);
    pw_context_destroy(context);
    pw_main_loop_destroy(driver.loop);
    pw_deinit();
    return 0;
}
