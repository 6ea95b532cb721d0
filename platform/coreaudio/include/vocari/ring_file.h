#pragma once

// A ring file holds the last seconds a simulated device played, all channels interleaved as
// 32-bit floats, so another process can record the device live. Layout: a header page, then
// capacityFrames x channels floats. `writtenFrames` counts every frame ever written; frame n
// sits at slot n % capacityFrames. The single writer stores the count with release order after
// the samples; readers load it with acquire order. Readers only read frames at least an eighth
// of the ring behind the writer's next slot, so the writer never touches what they copy.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vocari {

struct RingFileHeader {
    char magic[8];  // "VOCRING" and a zero byte
    uint32_t version;
    uint32_t channels;
    uint64_t capacityFrames;
    uint32_t sampleRate;
    uint32_t reserved;
    uint64_t writtenFrames;  // only through std::atomic_ref
    // When the frames play, on CLOCK_MONOTONIC: frame n plays at
    // timingHostNs + (n - timingFrame) x timingNsPerFrame. Set by the writer whenever its
    // clock starts; odd timingSequence while it changes (readers retry). All through
    // std::atomic_ref.
    uint32_t timingSequence;
    uint32_t timingReserved;
    uint64_t timingFrame;
    int64_t timingHostNs;
    double timingNsPerFrame;
};

inline constexpr uint32_t kRingFileVersion = 2;

// When the frames of a ring play: frame n at hostNs + (n - frame) x nsPerFrame (CLOCK_MONOTONIC).
struct RingTiming {
    uint64_t frame = 0;
    int64_t hostNs = 0;
    double nsPerFrame = 0.0;

    int64_t hostTimeOf(uint64_t n) const;
};
inline constexpr uint64_t kRingDataOffset = 4096;
// Four seconds at 48000 Hz.
inline constexpr uint64_t kRingCapacityFrames = 192000;

class RingFileWriter {
  public:
    // Opens the ring at `path` for `channels`, keeping an existing file with the same layout
    // (and continuing its count) and replacing any other. One writer per ring: fails while
    // another holds it. On failure returns null and says why in *error.
    static std::unique_ptr<RingFileWriter> open(const std::string& path, uint32_t channels,
                                                std::string* error);
    ~RingFileWriter();
    RingFileWriter(const RingFileWriter&) = delete;
    RingFileWriter& operator=(const RingFileWriter&) = delete;

    uint32_t channels() const { return channels_; }
    // Writer thread only.
    uint64_t writtenFrames() const { return written_; }

    // Writer thread only. Lock-free; allocates nothing. Appends `count` frames of
    // `sourceChannels` interleaved floats: channels beyond the ring's are dropped, missing ones
    // are silent.
    void write(const float* frames, uint32_t sourceChannels, uint64_t count);
    // Writer thread only. Lock-free; allocates nothing. Appends `count` silent frames.
    void writeSilence(uint64_t count);
    // Writer thread only, before writing. The next frame written plays at `hostNs`, and each
    // after it `nsPerFrame` later.
    void setTiming(int64_t hostNs, double nsPerFrame);

  private:
    RingFileWriter(int fd, void* map, size_t mapBytes, uint32_t channels, uint64_t capacity);
    void publish(uint64_t count);

    int fd_;
    void* map_;
    size_t mapBytes_;
    RingFileHeader* header_;
    float* data_;
    uint32_t channels_;
    uint64_t capacity_;
    uint64_t written_;
};

class RingFileReader {
  public:
    // Maps an existing ring file read-only; null with the reason in *error when it is missing
    // or not a ring file.
    static std::unique_ptr<RingFileReader> open(const std::string& path, std::string* error);
    ~RingFileReader();
    RingFileReader(const RingFileReader&) = delete;
    RingFileReader& operator=(const RingFileReader&) = delete;

    uint32_t channels() const { return channels_; }
    uint64_t capacityFrames() const { return capacity_; }
    uint32_t sampleRate() const { return sampleRate_; }
    // How far behind the write position frames can still be read.
    uint64_t reachFrames() const { return capacity_ - capacity_ / 8; }

    // Any thread. Frames written so far; every frame before it (within capacity) is readable.
    uint64_t writtenFrames() const;

    // Any thread. When the frames play; nullopt while the writer has not said.
    std::optional<RingTiming> timing() const;

    enum class Read { Ok, NotWrittenYet, Overwritten };
    // Any thread. Copies frames [first, first + count) into `out` (count x channels floats).
    Read read(uint64_t first, uint64_t count, float* out) const;

  private:
    RingFileReader(void* map, size_t mapBytes, uint32_t channels, uint64_t capacity,
                   uint32_t sampleRate);

    void* map_;
    size_t mapBytes_;
    const RingFileHeader* header_;
    const float* data_;
    uint32_t channels_;
    uint64_t capacity_;
    uint32_t sampleRate_;
};

// The newest frames of a ring, for tests and tools that look at what a device just played.
struct RingSnapshot {
    uint32_t channels = 0;
    uint64_t firstFrame = 0;     // ring position of the first frame in `samples`
    std::vector<float> samples;  // interleaved, oldest first
};

// The last `frames` frames written to the ring file at `path` (fewer when fewer were written);
// nullopt with the reason in *error when the file is not a readable ring.
std::optional<RingSnapshot> readLatestFrames(const std::string& path, uint64_t frames,
                                             std::string* error);

}  // namespace vocari
