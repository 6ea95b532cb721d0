#include "audio_test_support.h"

#include <sndfile.h>

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

}  // namespace vocari::test
