#pragma once

// Turns what the microphone hears into AUDIO messages: F frames per message, PCM or Opus, with
// the sequence number and the phone-clock time at which each message was made.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio_source.h"
#include "protocol.h"

namespace vocari::phone {

struct StreamFormat {
    int channels = 1;
    protocol::Codec codec = protocol::Codec::Pcm;
    int frames = 480;     // per message: 1..1024 for PCM, 480 or 960 for Opus
    int bitrate = 64000;  // Opus only, bits per second
    uint32_t firstSequence = 0;
    bool lengthPrefix = false;  // TCP: each message carries its 4-byte length in front
};

// Empty when the format can be streamed; otherwise what is wrong with it.
std::string checkFormat(const StreamFormat& format);

// The phone-clock time, relative to the start of the stream, at which the first frame of message
// `index` of `frames` frames is captured: index × frames / 48000 s, exact to the nanosecond
// (never accumulated, so there is no drift however long the stream). The message is sent when
// the next one starts.
int64_t madeOffsetNs(uint64_t index, int frames);

class AudioMessageMaker {
  public:
    // Null with `error` set when the format is not valid or the encoder cannot be made.
    static std::unique_ptr<AudioMessageMaker> create(const StreamFormat& format,
                                                     std::unique_ptr<AudioSource> source,
                                                     std::string& error);
    ~AudioMessageMaker();
    AudioMessageMaker(const AudioMessageMaker&) = delete;
    AudioMessageMaker& operator=(const AudioMessageMaker&) = delete;

    const StreamFormat& format() const { return format_; }
    // The largest message make() can produce, length prefix included.
    size_t maxMessageBytes() const { return maxBytes_; }

    // Makes the next message (the next frames of the source, captured from phone time
    // `firstFrameNs` on, with the next sequence number, stamped `senderTimeNs`) into `out`,
    // replacing its contents. Allocates nothing once `out` has maxMessageBytes() of capacity.
    // False when the encoder fails; `out` is then empty.
    bool make(int64_t firstFrameNs, int64_t senderTimeNs, std::vector<uint8_t>& out);

  private:
    AudioMessageMaker(const StreamFormat& format, std::unique_ptr<AudioSource> source, void* opus);
    size_t encodePcm(uint8_t* out) const;

    StreamFormat format_;
    std::unique_ptr<AudioSource> source_;
    void* opus_;  // OpusEncoder*, null for PCM
    size_t maxBytes_;
    uint32_t sequence_;
    std::vector<float> samples_;
};

}  // namespace vocari::phone
