#include "runtime.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "audio_out.h"

namespace vocari {

int runningPairs(const Runtime& runtime) {
    const AudioOut* output = runtime.output.load();
    return output != nullptr ? output->pairs() : 0;
}

int pairsForClaims(const Runtime& runtime) {
    const AudioOut* output = runtime.output.load();
    return output != nullptr ? output->pairs() : 1;
}

bool sleepWhileRunning(const Runtime& runtime, std::chrono::milliseconds duration) {
    return sleepWhileRunningUntil(runtime, std::chrono::steady_clock::now() + duration);
}

Runtime::Runtime() : stopEvent_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Runtime::~Runtime() {
    if (stopEvent_ >= 0) {
        close(stopEvent_);
    }
}

void Runtime::stop() {
    running.store(false);
    if (stopEvent_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(stopEvent_, &one, sizeof one);
    }
}

bool sleepWhileRunningUntil(const Runtime& runtime, std::chrono::steady_clock::time_point until) {
    // Without a stop event a stop is noticed within this slice instead of at once.
    constexpr std::chrono::nanoseconds kSliceWithoutEvent = std::chrono::milliseconds(50);
    while (runtime.isRunning()) {
        auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return true;
        }
        if (runtime.stopEvent() < 0) {
            left = std::min<std::chrono::steady_clock::duration>(left, kSliceWithoutEvent);
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1'000'000'000),
                            static_cast<long>(ns % 1'000'000'000)};
        pollfd event{runtime.stopEvent(), POLLIN, 0};
        ppoll(&event, 1, &wait, nullptr);
    }
    return false;
}

std::string settingsFolderFromEnvironment() {
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "/tmp") + "/Library/Application Support/Vocari/";
}

void nameThisThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

}  // namespace vocari
