#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace vocari::test {

std::string binaryPath(const std::string& name) {
    return std::string(VOCARI_BIN_DIR) + "/" + name;
}

std::string findExecutable(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

std::vector<pid_t> processesNamed(const std::string& name,
                                  const std::function<bool(pid_t, pid_t)>& accept) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text;
        if (pid <= 0 || !std::getline(stat, text)) {
            continue;
        }
        // pid (comm) state ppid ...
        const size_t open = text.find('(');
        const size_t close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos ||
            text.substr(open + 1, close - open - 1) != name) {
            continue;
        }
        char state = ' ';
        int parent = 0;
        std::sscanf(text.c_str() + close + 1, " %c %d", &state, &parent);
        if (state != 'Z' && (!accept || accept(pid, static_cast<pid_t>(parent)))) {
            found.push_back(pid);
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return found;
}

ChildProcess::EnvironmentChanges isolatedEnvironment(const std::string& home) {
    return {{"HOME", home},
            {"VOCARI_AUDIO_DIR", home + "/audio"},
            {"JACK_DEFAULT_SERVER", "vocari-test-no-server"},
            {"PIPEWIRE_REMOTE", "vocari-test-no-server"}};
}

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  const EnvironmentChanges& environment) {
    // Everything the child needs is built before fork: after it only exec-safe calls are made.
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string key = text.substr(0, text.find('='));
        if (environment.find(key) == environment.end()) {
            envStrings.push_back(text);
        }
    }
    for (const auto& [key, value] : environment) {
        if (value) {
            envStrings.push_back(key + "=" + *value);
        }
    }
    std::vector<char*> envp;
    for (auto& text : envStrings) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& arg : args) {
        argp.push_back(arg.data());
    }
    argp.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        return nullptr;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        return nullptr;
    }
    if (pid == 0) {
        // A test that crashes cannot end its children: they end with it (the thread that
        // started them), instead of holding the ports and displays the next tests need.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, outPipe[0], errPipe[0]));
}

ChildProcess::ChildProcess(pid_t pid, int outFd, int errFd)
    : pid_(pid), outFd_(outFd), errFd_(errFd), reader_([this] { readOutput(); }) {}

ChildProcess::~ChildProcess() {
    if (!waitForExit(0)) {
        kill(pid_, SIGKILL);
        waitForExit(5000);
    }
    reader_.join();
    close(outFd_);
    close(errFd_);
}

void ChildProcess::readOutput() {
    std::string partial[2];
    bool open[2] = {true, true};
    const int fds[2] = {outFd_, errFd_};
    char buffer[4096];
    while (open[0] || open[1]) {
        pollfd waiting[2] = {{open[0] ? fds[0] : -1, POLLIN, 0},
                             {open[1] ? fds[1] : -1, POLLIN, 0}};
        if (poll(waiting, 2, -1) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (!open[i] || waiting[i].revents == 0) {
                continue;
            }
            const ssize_t got = read(fds[i], buffer, sizeof buffer);
            if (got <= 0) {
                open[i] = false;
                if (!partial[i].empty()) {
                    std::lock_guard lock(mutex_);
                    (i == 0 ? out_ : err_).push_back(partial[i]);
                }
                continue;
            }
            partial[i].append(buffer, static_cast<size_t>(got));
            std::lock_guard lock(mutex_);
            size_t newline;
            while ((newline = partial[i].find('\n')) != std::string::npos) {
                (i == 0 ? out_ : err_).push_back(partial[i].substr(0, newline));
                partial[i].erase(0, newline + 1);
            }
        }
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    outputClosed_ = true;
    changed_.notify_all();
}

size_t ChildProcess::countLocked(Stream stream, const std::string& text) const {
    const auto& lines = stream == Stream::Out ? out_ : err_;
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
        return line.find(text) != std::string::npos;
    }));
}

bool ChildProcess::waitForLines(Stream stream, const std::string& text, size_t count,
                                int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return countLocked(stream, text) >= count || outputClosed_;
    }) && countLocked(stream, text) >= count;
}

bool ChildProcess::waitForLine(Stream stream, const std::string& text, int timeoutMs) {
    return waitForLines(stream, text, 1, timeoutMs);
}

std::vector<std::string> ChildProcess::lines(Stream stream) const {
    std::lock_guard lock(mutex_);
    return stream == Stream::Out ? out_ : err_;
}

size_t ChildProcess::countLines(Stream stream, const std::string& text) const {
    std::lock_guard lock(mutex_);
    return countLocked(stream, text);
}

void ChildProcess::sendSignal(int signal) {
    if (!status_) {
        kill(pid_, signal);
    }
}

std::optional<int> ChildProcess::waitForExit(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!status_) {
        int raw = 0;
        const pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            // Whatever the process wrote before it ended is read before its status is given.
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::seconds(2), [&] { return outputClosed_; });
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        // Child exit has no descriptor to wait on here; poll the status at a short interval.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

}  // namespace vocari::test
