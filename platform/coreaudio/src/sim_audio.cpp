#include "vocari/sim_audio.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vocari {
namespace {

constexpr std::string_view kDeviceSuffix = ".device";
constexpr size_t kMaxDeviceFileBytes = 64 * 1024;
constexpr uint32_t kMaxChannels = 1024;
constexpr uint32_t kMaxBufferFrames = 16384;
// A clock further off than 10 % is a typo, not a device.
constexpr double kMaxRatePpm = 100000.0;

struct DefaultDevice {
    const char* fileName;
    const char* contents;
};

constexpr DefaultDevice kDefaultDevices[] = {
    {"vocari-loopback-16ch.device",
     "uid=vocari-loopback-16ch\n"
     "name=Vocari Loopback 16ch\n"
     "transport=virtual\n"
     "input_channels=16\n"
     "output_channels=16\n"
     "buffer_frames=512\n"
     "rate_ppm=0\n"
     "output_volume=1\n"
     "input_volume=1\n"
     "default_output=0\n"},
    {"speakers.device",
     "uid=builtin-speakers\n"
     "name=Speakers\n"
     "transport=builtin\n"
     "input_channels=0\n"
     "output_channels=2\n"
     "buffer_frames=512\n"
     "rate_ppm=0\n"
     "output_volume=1\n"
     "default_output=1\n"},
};

std::string_view trim(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Whole file, or nullopt when it cannot be read or is implausibly large.
std::optional<std::string> readSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ::close(fd);
            if (got < 0) {
                return std::nullopt;
            }
            return text;
        }
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > kMaxDeviceFileBytes) {
            ::close(fd);
            return std::nullopt;
        }
    }
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

std::optional<uint32_t> parseCount(std::string_view text, uint32_t max) {
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseReal(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || errno != 0 || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<float> parseVolume(std::string_view text) {
    const auto value = parseReal(text);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<float>(std::clamp(*value, 0.0, 1.0));
}

std::string formatVolume(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// Holds an exclusive lock on the folder's lock file, so read-modify-write cycles of device
// files from several processes do not lose each other's changes.
class FolderLock {
  public:
    explicit FolderLock(const std::string& folder)
        : fd_(::open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return fd_ >= 0; }

  private:
    int fd_;
};

bool makeParents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void removeFolder(const std::string& folder) {
    for (const auto& device : kDefaultDevices) {
        ::unlink((folder + "/" + device.fileName).c_str());
    }
    ::rmdir(folder.c_str());
}

}  // namespace

std::string simAudioFolder() {
    const char* explicitFolder = std::getenv("VOCARI_AUDIO_DIR");
    if (explicitFolder != nullptr && explicitFolder[0] != '\0') {
        return explicitFolder;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') {
        return std::string(runtime) + "/vocari-audio";
    }
    return "/tmp/vocari-audio-" + std::to_string(::getuid());
}

bool ensureSimAudioFolder(const std::string& folder) {
    if (isDirectory(folder)) {
        return true;
    }
    if (folder.empty() || !makeParents(folder)) {
        return false;
    }
    // Fill a private folder first and rename it into place, so no process ever sees the folder
    // without its default devices, and of several racing creators exactly one wins.
    std::string staging = folder + ".new-XXXXXX";
    if (::mkdtemp(staging.data()) == nullptr) {
        return false;
    }
    for (const auto& device : kDefaultDevices) {
        const std::string path = staging + "/" + device.fileName;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        const bool written = fd >= 0 && writeAll(fd, device.contents);
        if (fd >= 0) {
            ::close(fd);
        }
        if (!written) {
            removeFolder(staging);
            return false;
        }
    }
    if (::rename(staging.c_str(), folder.c_str()) != 0) {
        removeFolder(staging);
        return isDirectory(folder);
    }
    return true;
}

std::optional<SimDevice> readSimDeviceFile(const std::string& path) {
    const auto text = readSmallFile(path);
    if (!text) {
        return std::nullopt;
    }
    SimDevice device;
    device.file = path;
    std::string_view rest(*text);
    while (!rest.empty()) {
        const size_t newline = rest.find('\n');
        const std::string_view line = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos || trim(line).front() == '#') {
            continue;
        }
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if (key == "uid") {
            device.uid = value;
        } else if (key == "name") {
            device.name = value;
        } else if (key == "transport") {
            device.transport = value;
        } else if (key == "input_channels") {
            device.inputChannels = parseCount(value, kMaxChannels).value_or(0);
        } else if (key == "output_channels") {
            device.outputChannels = parseCount(value, kMaxChannels).value_or(0);
        } else if (key == "buffer_frames") {
            const auto frames = parseCount(value, kMaxBufferFrames);
            device.bufferFrames = frames && *frames > 0 ? *frames : 512;
        } else if (key == "rate_ppm") {
            const auto ppm = parseReal(value);
            device.ratePpm = ppm && std::fabs(*ppm) < kMaxRatePpm ? *ppm : 0.0;
        } else if (key == "output_volume") {
            device.outputVolume = parseVolume(value);
        } else if (key == "input_volume") {
            device.inputVolume = parseVolume(value);
        } else if (key == "default_output") {
            device.defaultOutput = value == "1" || value == "true";
        }
    }
    if (device.uid.empty()) {
        const size_t slash = path.rfind('/');
        std::string stem = path.substr(slash == std::string::npos ? 0 : slash + 1);
        if (endsWith(stem, kDeviceSuffix)) {
            stem.resize(stem.size() - kDeviceSuffix.size());
        }
        device.uid = stem;
    }
    if (device.uid.empty()) {
        return std::nullopt;
    }
    if (device.name.empty()) {
        device.name = device.uid;
    }
    return device;
}

std::vector<SimDevice> listSimDevices(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name(entry->d_name);
            if (name.front() != '.' && name.size() > kDeviceSuffix.size() &&
                endsWith(name, kDeviceSuffix)) {
                names.emplace_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<SimDevice> devices;
    for (const auto& name : names) {
        auto device = readSimDeviceFile(folder + "/" + name);
        if (!device) {
            continue;
        }
        const bool repeated = std::any_of(devices.begin(), devices.end(),
                                          [&](const SimDevice& d) { return d.uid == device->uid; });
        if (!repeated) {
            devices.push_back(std::move(*device));
        }
    }
    return devices;
}

VolumeWrite writeSimDeviceVolume(const std::string& folder, const std::string& uid, bool input,
                                 float value) {
    const FolderLock lock(folder);
    if (!lock.held()) {
        return VolumeWrite::Failed;
    }
    const auto devices = listSimDevices(folder);
    const auto device = std::find_if(devices.begin(), devices.end(),
                                     [&](const SimDevice& d) { return d.uid == uid; });
    if (device == devices.end()) {
        return VolumeWrite::NoSuchDevice;
    }
    const auto text = readSmallFile(device->file);
    if (!text) {
        return VolumeWrite::NoSuchDevice;
    }
    const std::string_view wanted = input ? "input_volume" : "output_volume";
    const std::string newValue = formatVolume(std::clamp(value, 0.0f, 1.0f));
    std::string rewritten;
    bool replaced = false;
    std::string_view rest(*text);
    while (!rest.empty()) {
        const size_t newline = rest.find('\n');
        const std::string_view line =
            rest.substr(0, newline == std::string_view::npos ? rest.size() : newline + 1);
        rest.remove_prefix(line.size());
        const size_t equals = line.find('=');
        if (!replaced && equals != std::string_view::npos &&
            trim(line.substr(0, equals)) == wanted) {
            rewritten.append(line.substr(0, equals + 1));
            rewritten.append(newValue);
            rewritten.append(endsWith(line, "\r\n") ? "\r\n" : (endsWith(line, "\n") ? "\n" : ""));
            replaced = true;
        } else {
            rewritten.append(line);
        }
    }
    if (!replaced) {
        return VolumeWrite::NoSuchControl;
    }
    // Readers see either the old file or the new one, never a half-written one.
    const size_t slash = device->file.rfind('/');
    std::string temporary =
        device->file.substr(0, slash + 1) + "." + device->file.substr(slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return VolumeWrite::Failed;
    }
    struct stat info {};
    if (::stat(device->file.c_str(), &info) == 0) {
        ::fchmod(fd, info.st_mode & 07777);
    }
    const bool written = writeAll(fd, rewritten) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), device->file.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return VolumeWrite::Failed;
    }
    return VolumeWrite::Written;
}

std::string fileSafeName(const std::string& uid) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string safe;
    for (size_t i = 0; i < uid.size(); ++i) {
        const auto c = static_cast<unsigned char>(uid[i]);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' || (c == '.' && i > 0);
        if (plain) {
            safe.push_back(static_cast<char>(c));
        } else {
            safe.push_back('%');
            safe.push_back(kHex[c >> 4]);
            safe.push_back(kHex[c & 0x0F]);
        }
    }
    return safe;
}

std::string ringFilePath(const std::string& folder, const std::string& uid) {
    return folder + "/" + fileSafeName(uid) + ".ring";
}

}  // namespace vocari
