#pragma once

// Child processes for end-to-end tests: started with their own environment, their standard
// output and error collected line by line, and always ended by PID.

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vocari::test {

// Where the build put the project's executables.
std::string binaryPath(const std::string& name);
// The first executable `name` on PATH; empty when there is none.
std::string findExecutable(const std::string& name);

// The running processes called `name` (as the kernel shortens it) for which `accept(pid,
// parent)` holds, or all of them.
std::vector<pid_t> processesNamed(const std::string& name,
                                  const std::function<bool(pid_t, pid_t)>& accept = {});

class ChildProcess {
  public:
    enum class Stream { Out, Err };
    // Environment changes over the test's own: a value sets, nullopt removes.
    using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

    // The child is killed if the thread that started it ends first (a crashed test).
    static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                               const EnvironmentChanges& environment = {});
    // Kills the process (SIGKILL) if it still runs, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits until a line containing `text` has appeared on the stream; false on time-out or when
    // the stream closed first.
    bool waitForLine(Stream stream, const std::string& text, int timeoutMs);
    // Waits until `count` lines containing `text` have appeared.
    bool waitForLines(Stream stream, const std::string& text, size_t count, int timeoutMs);
    std::vector<std::string> lines(Stream stream) const;
    size_t countLines(Stream stream, const std::string& text) const;

    void sendSignal(int signal);
    // The exit status (or 128 + signal number) once it ends within the time-out.
    std::optional<int> waitForExit(int timeoutMs);

  private:
    ChildProcess(pid_t pid, int outFd, int errFd);
    void readOutput();
    size_t countLocked(Stream stream, const std::string& text) const;

    pid_t pid_;
    int outFd_;
    int errFd_;
    std::optional<int> status_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> out_;
    std::vector<std::string> err_;
    bool outputClosed_ = false;
    std::thread reader_;
};

// The environment for a daemon or tool under test: settings under `home`, simulated audio
// devices in `home`/audio, and no JACK or PipeWire server unless the test names one.
ChildProcess::EnvironmentChanges isolatedEnvironment(const std::string& home);

}  // namespace vocari::test
