#include "runtime.h"

#include <pthread.h>

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

bool sleepWhileRunningUntil(const Runtime& runtime, std::chrono::steady_clock::time_point until) {
    constexpr std::chrono::milliseconds kSlice{50};
    while (runtime.isRunning()) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return true;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSlice));
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
