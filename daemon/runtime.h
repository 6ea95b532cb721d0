#pragma once

// The process-wide state of the daemon, in one place. Start-up fills it before any thread starts;
// thread bodies receive it by reference, so tests can run them in-process against their own
// instance.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "clock.h"
#include "lines.h"

namespace vocari {

class AudioOut;
class PairingGate;
class SessionTable;

struct Runtime {
    Runtime();
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Any thread, and the signal handler (an atomic store and one write). Ends every loop: clears
    // the running flag and wakes the threads sleeping in sleepWhileRunning at once.
    void stop();

    // Cleared by stop(); every loop ends when it reads false.
    std::atomic<bool> running{true};
    // The `align` setting: whether the alignment pass lines phones up to one latency.
    std::atomic<bool> alignment{true};
    // What the process exits with once every loop has ended: 1 when the output device went
    // away under it.
    std::atomic<int> exitStatus{0};
    // The stereo pair at which slot claims start (`channel` setting / 2).
    std::atomic<int> firstPair{0};
    // The UDP 5555 socket, published for the heartbeat thread just before the threads start.
    std::atomic<int> heartbeatSocket{-1};
    // Live TCP client threads. Lives here so it outlives every detached client thread.
    std::atomic<int> tcpClients{0};
    // When the UDP thread last printed its "no free slot" line (0: never).
    std::atomic<int64_t> lastNoFreeSlotNs{0};

    // Written before the threads start, read-only afterwards.
    std::string settingsFolder;  // with a trailing '/'
    PairingGate* pairing = nullptr;
    SessionTable* sessions = nullptr;
    // Published once the output unit runs; null before.
    std::atomic<AudioOut*> output{nullptr};

    const Clock* clock = &systemClock();
    LineSink* out = &stdoutLines();
    LineSink* err = &stderrLines();

    bool isRunning() const { return running.load(std::memory_order_relaxed); }
    // Readable once stop() was called (an eventfd never read); -1 if none could be made.
    int stopEvent() const { return stopEvent_; }

  private:
    int stopEvent_ = -1;
};

// Any thread. Stereo pairs of the running output; 0 while none is published.
int runningPairs(const Runtime& runtime);
// Any thread. The pairs slot claims and channel pins choose from: those of the running output,
// or 1 while none is published.
int pairsForClaims(const Runtime& runtime);

// Calling thread. Names it for people looking at the process (top -H, perf): at most 15
// characters.
void nameThisThread(const char* name);

// A loop thread. Sleeps for `duration`, or until stop() is called; false when the running flag
// went false. The sleeping thread is not woken in between: a thread that sleeps a second wakes
// once a second.
bool sleepWhileRunning(const Runtime& runtime, std::chrono::milliseconds duration);
// The same up to a steady-clock deadline, so a loop of fixed period does not drift.
bool sleepWhileRunningUntil(const Runtime& runtime, std::chrono::steady_clock::time_point until);

// HOME (or "/tmp" when unset) + "/Library/Application Support/Vocari/".
std::string settingsFolderFromEnvironment();

}  // namespace vocari
