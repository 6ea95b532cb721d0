#include "vocari/ring_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace vocari {
namespace {

constexpr char kMagic[8] = {'V', 'O', 'C', 'R', 'I', 'N', 'G', '\0'};
constexpr uint32_t kMaxRingChannels = 1024;

static_assert(sizeof(RingFileHeader) <= kRingDataOffset);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free,
              "the write count is shared between processes");

size_t fileBytes(uint32_t channels, uint64_t capacity) {
    return static_cast<size_t>(kRingDataOffset + capacity * channels * sizeof(float));
}

std::string describe(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// True when the file at fd already is a ring of this layout.
bool hasLayout(int fd, uint32_t channels, uint64_t capacity) {
    RingFileHeader header{};
    if (::pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        return false;
    }
    struct stat info {};
    return ::fstat(fd, &info) == 0 &&
           static_cast<uint64_t>(info.st_size) >= fileBytes(channels, capacity) &&
           std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 &&
           header.version == kRingFileVersion && header.channels == channels &&
           header.capacityFrames == capacity;
}

bool lockExclusive(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// A new, locked, fully initialised ring file at a temporary name beside `path`; -1 on failure.
int createRing(const std::string& path, uint32_t channels, uint64_t capacity,
               std::string* temporary, std::string* error) {
    const size_t slash = path.rfind('/');
    *temporary = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temporary->data(), O_CLOEXEC);
    if (fd < 0) {
        *error = describe("cannot create ring file", path);
        return -1;
    }
    ::fchmod(fd, 0644);
    RingFileHeader header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kRingFileVersion;
    header.channels = channels;
    header.capacityFrames = capacity;
    header.sampleRate = 48000;
    lockExclusive(fd);
    if (::ftruncate(fd, static_cast<off_t>(fileBytes(channels, capacity))) != 0 ||
        ::pwrite(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        *error = describe("cannot size ring file", path);
        ::close(fd);
        ::unlink(temporary->c_str());
        return -1;
    }
    return fd;
}

}  // namespace

std::unique_ptr<RingFileWriter> RingFileWriter::open(const std::string& path, uint32_t channels,
                                                     std::string* error) {
    if (channels == 0 || channels > kMaxRingChannels) {
        *error = "unsupported channel count for ring file " + path;
        return nullptr;
    }
    const uint64_t capacity = kRingCapacityFrames;
    int fd = -1;
    // A few rounds cover another process creating the file between our look and our link.
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        const int existing = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (existing >= 0) {
            if (!lockExclusive(existing)) {
                ::close(existing);
                *error = "ring file " + path + " is in use by another output unit";
                return nullptr;
            }
            if (hasLayout(existing, channels, capacity)) {
                fd = existing;
                break;
            }
            // Replace the old layout while still holding its lock, so no other writer starts
            // on it meanwhile; readers that mapped it keep their (now stale) copy.
            std::string temporary;
            fd = createRing(path, channels, capacity, &temporary, error);
            if (fd >= 0 && ::rename(temporary.c_str(), path.c_str()) != 0) {
                *error = describe("cannot replace ring file", path);
                ::close(fd);
                ::unlink(temporary.c_str());
                fd = -1;
            }
            ::close(existing);
            if (fd < 0) {
                return nullptr;
            }
            break;
        }
        if (errno != ENOENT) {
            *error = describe("cannot open ring file", path);
            return nullptr;
        }
        std::string temporary;
        const int created = createRing(path, channels, capacity, &temporary, error);
        if (created < 0) {
            return nullptr;
        }
        const bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
        const int linkError = errno;
        ::unlink(temporary.c_str());
        if (linked) {
            fd = created;
        } else {
            ::close(created);
            if (linkError != EEXIST) {
                errno = linkError;
                *error = describe("cannot create ring file", path);
                return nullptr;
            }
        }
    }
    if (fd < 0) {
        *error = "ring file " + path + " keeps changing under us";
        return nullptr;
    }
    const size_t bytes = fileBytes(channels, capacity);
    void* map = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) {
        *error = describe("cannot map ring file", path);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<RingFileWriter>(new RingFileWriter(fd, map, bytes, channels, capacity));
}

RingFileWriter::RingFileWriter(int fd, void* map, size_t mapBytes, uint32_t channels,
                               uint64_t capacity)
    : fd_(fd),
      map_(map),
      mapBytes_(mapBytes),
      header_(static_cast<RingFileHeader*>(map)),
      data_(reinterpret_cast<float*>(static_cast<char*>(map) + kRingDataOffset)),
      channels_(channels),
      capacity_(capacity),
      written_(std::atomic_ref<uint64_t>(header_->writtenFrames).load(std::memory_order_relaxed)) {}

RingFileWriter::~RingFileWriter() {
    ::munmap(map_, mapBytes_);
    ::close(fd_);
}

void RingFileWriter::publish(uint64_t count) {
    written_ += count;
    std::atomic_ref<uint64_t>(header_->writtenFrames).store(written_, std::memory_order_release);
}

int64_t RingTiming::hostTimeOf(uint64_t n) const {
    const double frames =
        n >= frame ? static_cast<double>(n - frame) : -static_cast<double>(frame - n);
    return hostNs + std::llround(frames * nsPerFrame);
}

void RingFileWriter::setTiming(int64_t hostNs, double nsPerFrame) {
    std::atomic_ref<uint32_t> sequence(header_->timingSequence);
    const uint32_t before = sequence.load(std::memory_order_relaxed);
    sequence.store(before + 1, std::memory_order_relaxed);
    // Release stores on the fields: a reader that sees any new field also sees the odd
    // sequence, without a standalone fence (which the thread sanitizer cannot follow).
    std::atomic_ref<uint64_t>(header_->timingFrame).store(written_, std::memory_order_release);
    std::atomic_ref<int64_t>(header_->timingHostNs).store(hostNs, std::memory_order_release);
    std::atomic_ref<double>(header_->timingNsPerFrame).store(nsPerFrame, std::memory_order_release);
    sequence.store(before + 2, std::memory_order_release);
}

void RingFileWriter::write(const float* frames, uint32_t sourceChannels, uint64_t count) {
    const uint32_t shared = std::min(sourceChannels, channels_);
    for (uint64_t f = 0; f < count; ++f) {
        float* slot = data_ + ((written_ + f) % capacity_) * channels_;
        const float* source = frames + f * sourceChannels;
        if (sourceChannels == channels_) {
            std::memcpy(slot, source, channels_ * sizeof(float));
        } else {
            std::memcpy(slot, source, shared * sizeof(float));
            std::fill(slot + shared, slot + channels_, 0.0f);
        }
    }
    publish(count);
}

void RingFileWriter::writeSilence(uint64_t count) {
    const uint64_t touched = std::min(count, capacity_);
    for (uint64_t f = 0; f < touched; ++f) {
        float* slot = data_ + ((written_ + count - touched + f) % capacity_) * channels_;
        std::fill(slot, slot + channels_, 0.0f);
    }
    publish(count);
}

std::unique_ptr<RingFileReader> RingFileReader::open(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = describe("cannot open ring file", path);
        return nullptr;
    }
    RingFileHeader header{};
    struct stat info {};
    const bool valid =
        ::pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        ::fstat(fd, &info) == 0 && std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 &&
        header.version == kRingFileVersion && header.channels > 0 &&
        header.channels <= kMaxRingChannels && header.capacityFrames > 0 &&
        header.capacityFrames <= (uint64_t{1} << 32) &&
        static_cast<uint64_t>(info.st_size) >= fileBytes(header.channels, header.capacityFrames);
    if (!valid) {
        ::close(fd);
        *error = path + " is not a ring file";
        return nullptr;
    }
    const size_t bytes = fileBytes(header.channels, header.capacityFrames);
    void* map = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        *error = describe("cannot map ring file", path);
        return nullptr;
    }
    return std::unique_ptr<RingFileReader>(
        new RingFileReader(map, bytes, header.channels, header.capacityFrames, header.sampleRate));
}

RingFileReader::RingFileReader(void* map, size_t mapBytes, uint32_t channels, uint64_t capacity,
                               uint32_t sampleRate)
    : map_(map),
      mapBytes_(mapBytes),
      header_(static_cast<const RingFileHeader*>(map)),
      data_(reinterpret_cast<const float*>(static_cast<const char*>(map) + kRingDataOffset)),
      channels_(channels),
      capacity_(capacity),
      sampleRate_(sampleRate) {}

RingFileReader::~RingFileReader() {
    ::munmap(map_, mapBytes_);
}

uint64_t RingFileReader::writtenFrames() const {
    // The mapping is read-only; an atomic load does not write.
    auto& count = const_cast<uint64_t&>(header_->writtenFrames);
    return std::atomic_ref<uint64_t>(count).load(std::memory_order_acquire);
}

std::optional<RingTiming> RingFileReader::timing() const {
    // The mapping is read-only; atomic loads do not write.
    auto* header = const_cast<RingFileHeader*>(header_);
    std::atomic_ref<uint32_t> sequence(header->timingSequence);
    for (;;) {
        const uint32_t before = sequence.load(std::memory_order_acquire);
        if (before == 0) {
            return std::nullopt;
        }
        RingTiming timing;
        timing.frame =
            std::atomic_ref<uint64_t>(header->timingFrame).load(std::memory_order_acquire);
        timing.hostNs =
            std::atomic_ref<int64_t>(header->timingHostNs).load(std::memory_order_acquire);
        timing.nsPerFrame =
            std::atomic_ref<double>(header->timingNsPerFrame).load(std::memory_order_acquire);
        if (before % 2 == 0 && sequence.load(std::memory_order_relaxed) == before) {
            return timing;
        }
    }
}

RingFileReader::Read RingFileReader::read(uint64_t first, uint64_t count, float* out) const {
    const uint64_t written = writtenFrames();
    if (first + count > written) {
        return Read::NotWrittenYet;
    }
    if (written - first > reachFrames()) {
        return Read::Overwritten;
    }
    for (uint64_t f = 0; f < count; ++f) {
        const float* slot = data_ + ((first + f) % capacity_) * channels_;
        std::memcpy(out + f * channels_, slot, channels_ * sizeof(float));
    }
    // The margin kept clear of the writer covers any copy; a reader stalled for longer than
    // that is caught here.
    if (writtenFrames() - first > capacity_) {
        return Read::Overwritten;
    }
    return Read::Ok;
}

std::optional<RingSnapshot> readLatestFrames(const std::string& path, uint64_t frames,
                                             std::string* error) {
    const auto reader = RingFileReader::open(path, error);
    if (!reader) {
        return std::nullopt;
    }
    // The writer may move on between our look and our copy; one retry from the new position
    // covers a copy that took longer than the ring's safety margin.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const uint64_t written = reader->writtenFrames();
        const uint64_t count = std::min({frames, written, reader->reachFrames()});
        RingSnapshot snapshot;
        snapshot.channels = reader->channels();
        snapshot.firstFrame = written - count;
        snapshot.samples.resize(count * reader->channels());
        if (reader->read(snapshot.firstFrame, count, snapshot.samples.data()) ==
            RingFileReader::Read::Ok) {
            return snapshot;
        }
    }
    *error = "the writer of " + path + " kept overtaking the reader";
    return std::nullopt;
}

}  // namespace vocari
