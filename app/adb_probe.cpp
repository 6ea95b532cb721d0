#include "adb_probe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_output.h"

namespace vocari::app {

namespace {

constexpr int kWaitStepMs = 20;

std::string_view trimBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Without white space and newlines (of every kind) at either end, as the model property comes
// with the shell's line end.
std::string trimModel(std::string_view text) {
    static constexpr std::string_view kNewlines[] = {
        "\n", "\r", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};
    while (true) {
        const std::string_view trimmed = trimHorizontal(text);
        std::string_view rest = trimmed;
        for (const std::string_view newline : kNewlines) {
            if (rest.substr(0, newline.size()) == newline) {
                rest.remove_prefix(newline.size());
            }
            if (rest.size() >= newline.size() &&
                rest.substr(rest.size() - newline.size()) == newline) {
                rest.remove_suffix(newline.size());
            }
        }
        if (rest.size() == text.size()) {
            return std::string(rest);
        }
        text = rest;
    }
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

AdbDevices parseAdbDevices(std::string_view text) {
    AdbDevices found;
    const std::vector<std::string_view> lines = splitLines(text);
    for (size_t i = 1; i < lines.size(); ++i) {  // the first line is the tool's header
        std::vector<std::string_view> pieces;
        std::string_view rest = lines[i];
        while (!rest.empty()) {
            const size_t tab = rest.find('\t');
            const std::string_view piece = rest.substr(0, tab);
            if (!piece.empty()) {
                pieces.push_back(piece);
            }
            rest = tab == std::string_view::npos ? std::string_view() : rest.substr(tab + 1);
        }
        if (pieces.size() < 2) {
            continue;
        }
        const std::string_view state = trimBlanks(pieces[1]);
        if (state == "device") {
            found.served = std::string(pieces[0]);
            return found;
        }
        if (state == "unauthorized") {
            found.unauthorized = true;
        }
    }
    return found;
}

AdbState probeAdb(const AdbTool& tool, bool suspended, uint16_t port) {
    const std::optional<std::string> list = tool({"devices"});
    if (!list) {
        return {AdbState::Kind::NoDevice, {}};
    }
    const AdbDevices devices = parseAdbDevices(*list);
    if (!devices.served) {
        return {devices.unauthorized ? AdbState::Kind::Unauthorized : AdbState::Kind::NoDevice, {}};
    }
    const std::string& serial = *devices.served;
    const std::string reverses = tool({"-s", serial, "reverse", "--list"}).value_or("");
    const std::string model =
        trimModel(tool({"-s", serial, "shell", "getprop", "ro.product.model"}).value_or(""));
    const std::string name = model.empty() ? serial : model;
    const std::string key = "tcp:" + std::to_string(port);
    const bool mapped = reverses.find(key) != std::string::npos;
    if (suspended) {
        if (mapped) {
            tool({"-s", serial, "reverse", "--remove", key});
        }
        return {AdbState::Kind::Yielded, name};
    }
    if (!mapped) {
        tool({"-s", serial, "reverse", key, key});
    }
    return {AdbState::Kind::Ready, name};
}

std::vector<std::string> adbCandidates(const std::string& home, const std::string& appFolder) {
    return {appFolder + "/adb",
            home + "/Library/Android/sdk/platform-tools/adb",
            home + "/Android/Sdk/platform-tools/adb",
            "/opt/homebrew/bin/adb",
            "/usr/local/bin/adb",
            "/opt/local/bin/adb",
            "/usr/bin/adb"};
}

std::optional<std::string> findAdb(const std::string& home, const std::string& appFolder) {
    for (const std::string& candidate : adbCandidates(home, appFolder)) {
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::string> runTool(const std::string& path, const std::vector<std::string>& args,
                                   std::chrono::milliseconds limit,
                                   const std::atomic<bool>* cancel) {
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    // `launched` closes by itself when exec works; the child writes into it when exec fails.
    int out[2];
    int launched[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    if (::pipe2(launched, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return std::nullopt;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only calls that are safe between fork and exec.
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
        ::execv(pointers[0], pointers.data());
        const char failed = 1;
        (void)!::write(launched[1], &failed, 1);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(launched[1]);
    char failed = 0;
    const bool notLaunched = pid < 0 || ::read(launched[0], &failed, 1) > 0;
    ::close(launched[0]);
    if (notLaunched) {
        if (pid > 0) {
            ::waitpid(pid, nullptr, 0);
        }
        ::close(out[0]);
        return std::nullopt;
    }
    // The output is read while waiting: a tool that prints more than a pipe holds would
    // otherwise block until it is taken for hung.
    std::string text;
    // Reads what `waitMs` brings: 1 for some output, 0 for none yet, -1 at its end.
    const auto drain = [&](int waitMs) {
        pollfd readable{out[0], POLLIN, 0};
        if (::poll(&readable, 1, waitMs) <= 0) {
            return 0;
        }
        char buffer[4096];
        const ssize_t got = ::read(out[0], buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<size_t>(got));
        }
        return got > 0 ? 1 : -1;
    };
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool open = true;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
        const bool cancelled = cancel != nullptr && cancel->load();
        if (cancelled || std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ::close(out[0]);
            return std::nullopt;
        }
        if (open) {
            open = drain(kWaitStepMs) >= 0;
        } else {
            ::usleep(kWaitStepMs * 1000);
        }
    }
    // What is left in the pipe; a server the tool started in the background may hold the pipe
    // open, so the end of the output is not waited for.
    while (open && drain(0) > 0) {
    }
    ::close(out[0]);
    if (!isValidUtf8(text)) {
        return std::nullopt;
    }
    return text;
}

}  // namespace vocari::app
