#include "audio_test_support.h"

#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vocari::test {

std::vector<float> Recording::channel(int index) const {
    std::vector<float> one(frames());
    for (size_t f = 0; f < one.size(); ++f) {
        one[f] = at(f, index);
    }
    return one;
}

Recording readRecording(const std::string& path) {
    Recording recording;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return recording;
    }
    recording.channels = info.channels;
    recording.format = info.format;
    recording.samples.resize(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(file, recording.samples.data(), info.frames);
    recording.samples.resize(static_cast<size_t>(got * info.channels));
    sf_close(file);
    return recording;
}

std::unique_ptr<ChildProcess> startJackServer(const std::string& name, int rate, std::string& why) {
    const std::string jackd = findExecutable("jackd");
    if (jackd.empty()) {
        why = "jackd is not installed";
        return nullptr;
    }
    auto server = ChildProcess::start(
        {jackd, "-n", name, "-d", "dummy", "-r", std::to_string(rate), "-p", "256"},
        {{"JACK_NO_AUDIO_RESERVATION", "1"}});
    if (!server) {
        why = "cannot start jackd";
        return nullptr;
    }
    // A server that cannot run here gives up at once.
    if (const auto status = server->waitForExit(300)) {
        why = "jackd exited with status " + std::to_string(*status);
        for (const auto& line : server->lines(ChildProcess::Stream::Err)) {
            why += "\n  " + line;
        }
        return nullptr;
    }
    return server;
}

namespace {

bool waitFor(const std::function<bool()>& ready, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ready();
}

// Whether `command` (a PipeWire or PulseAudio client) exits 0 with `text` in its output.
bool answers(const std::vector<std::string>& command, const std::string& text,
             const ChildProcess::EnvironmentChanges& environment) {
    auto client = ChildProcess::start(command, environment);
    if (!client) {
        return false;
    }
    const bool seen = client->waitForLine(ChildProcess::Stream::Out, text, 5000);
    return client->waitForExit(5000) == 0 && seen;
}

}  // namespace

std::unique_ptr<PipeWireServer> PipeWireServer::start(const std::string& folder, std::string& why) {
    for (const char* program : {"pipewire", "wireplumber", "pipewire-pulse", "pw-cli", "pactl"}) {
        if (findExecutable(program).empty()) {
            why = std::string(program) + " is not installed";
            return nullptr;
        }
    }
    std::unique_ptr<PipeWireServer> server(new PipeWireServer);
    server->runtime_ = folder + "/run";
    server->config_ = folder + "/config";
    std::filesystem::create_directories(server->runtime_);
    chmod(server->runtime_.c_str(), 0700);
    const std::string lua = server->config_ + "/wireplumber/main.lua.d";
    const std::string bluetooth = server->config_ + "/wireplumber/bluetooth.lua.d";
    std::filesystem::create_directories(lua);
    std::filesystem::create_directories(bluetooth);
    // Read after the packaged settings (50-) and before they are acted on (90-).
    std::ofstream(lua + "/51-vocari-test.lua")
        << "alsa_monitor.properties[\"alsa.reserve\"] = false\n"
           "default_access.properties[\"enable-flatpak-portal\"] = false\n";
    std::ofstream(bluetooth + "/51-vocari-test.lua") << "bluez_monitor.enabled = false\n";

    auto environment = server->environment();
    environment["HOME"] = folder;
    environment["XDG_CONFIG_HOME"] = server->config_;
    environment["XDG_STATE_HOME"] = folder + "/state";
    // No session bus: nothing of the desktop's may be reached.
    environment["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + folder + "/no-bus";
    // Starts `program` and waits until `ready`; false, with the reason in `why`, when it ends
    // or never gets ready.
    const auto stage = [&](const std::string& program, const std::function<bool()>& ready) {
        auto process = ChildProcess::start({findExecutable(program)}, environment);
        if (!process) {
            why = "cannot start " + program;
            return false;
        }
        ChildProcess& started = *process;
        server->processes_.push_back(std::move(process));
        if (waitFor([&] { return started.waitForExit(0).has_value() || ready(); }, 15000) &&
            !started.waitForExit(0)) {
            return true;
        }
        const auto status = started.waitForExit(0);
        why = program + (status ? " exited with status " + std::to_string(*status)
                                : std::string(" did not get ready"));
        for (const auto& line : started.lines(ChildProcess::Stream::Err)) {
            why += "\n  " + line;
        }
        return false;
    };
    const auto clients = server->environment();
    const bool running =
        stage("pipewire",
              [&] { return std::filesystem::exists(server->runtime_ + "/pipewire-0"); }) &&
        stage("wireplumber",
              [&] {
                  return answers({findExecutable("pw-cli"), "ls", "Client"}, "WirePlumber [export]",
                                 clients);
              }) &&
        stage("pipewire-pulse", [&] {
            return answers({findExecutable("pactl"), "info"}, "Server Name", clients);
        });
    if (!running) {
        return nullptr;
    }
    return server;
}

PipeWireServer::~PipeWireServer() {
    for (auto process = processes_.rbegin(); process != processes_.rend(); ++process) {
        (*process)->sendSignal(SIGTERM);
        (*process)->waitForExit(5000);
    }
}

std::vector<pid_t> PipeWireServer::pids() const {
    std::vector<pid_t> pids;
    for (const auto& process : processes_) {
        pids.push_back(process->pid());
    }
    return pids;
}

ChildProcess::EnvironmentChanges PipeWireServer::environment() const {
    return {{"XDG_RUNTIME_DIR", runtime_},
            {"PIPEWIRE_RUNTIME_DIR", std::nullopt},
            {"PIPEWIRE_REMOTE", std::nullopt},
            {"PULSE_SERVER", "unix:" + runtime_ + "/pulse/native"}};
}

}  // namespace vocari::test
