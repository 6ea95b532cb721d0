#include "audio_message.h"

#include <opus.h>

#include <algorithm>
#include <cmath>

namespace vocari::phone {

namespace {

// The receiver takes Opus packets of up to 4000 bytes.
constexpr size_t kMaxOpusPacket = 4000;
constexpr int kMaxPcmFrames = 1024;

size_t prefixSize(const StreamFormat& format) {
    return format.lengthPrefix ? protocol::kLengthPrefixSize : 0;
}

size_t maxPayload(const StreamFormat& format) {
    if (format.codec == protocol::Codec::Opus) {
        return kMaxOpusPacket;
    }
    return static_cast<size_t>(format.frames) * static_cast<size_t>(format.channels) * 2;
}

}  // namespace

std::string checkFormat(const StreamFormat& format) {
    if (format.channels != 1 && format.channels != 2) {
        return "channels must be 1 or 2";
    }
    if (format.codec == protocol::Codec::Pcm) {
        if (format.frames < 1 || format.frames > kMaxPcmFrames) {
            return "PCM frames per message must be 1 to 1024";
        }
        return {};
    }
    if (format.codec != protocol::Codec::Opus) {
        return "codec must be PCM or Opus";
    }
    if (format.frames != 480 && format.frames != 960) {
        return "Opus frames per message must be 480 (10 ms) or 960 (20 ms)";
    }
    if (format.bitrate < 500 || format.bitrate > 512000) {
        return "Opus bitrate must be 500 to 512000 bits per second";
    }
    return {};
}

int64_t madeOffsetNs(uint64_t index, int frames) {
    const uint64_t frame = index * static_cast<uint64_t>(frames);
    const uint64_t rate = kSampleRate;
    return static_cast<int64_t>(frame / rate * 1'000'000'000 + frame % rate * 1'000'000'000 / rate);
}

std::unique_ptr<AudioMessageMaker> AudioMessageMaker::create(const StreamFormat& format,
                                                             std::unique_ptr<AudioSource> source,
                                                             std::string& error) {
    error = checkFormat(format);
    if (!error.empty()) {
        return nullptr;
    }
    OpusEncoder* opus = nullptr;
    if (format.codec == protocol::Codec::Opus) {
        int status = OPUS_OK;
        opus = opus_encoder_create(kSampleRate, format.channels, OPUS_APPLICATION_AUDIO, &status);
        if (status != OPUS_OK || opus == nullptr) {
            error = std::string("Opus encoder: ") + opus_strerror(status);
            return nullptr;
        }
        status = opus_encoder_ctl(opus, OPUS_SET_BITRATE(format.bitrate));
        if (status != OPUS_OK) {
            opus_encoder_destroy(opus);
            error = std::string("Opus bitrate: ") + opus_strerror(status);
            return nullptr;
        }
    }
    return std::unique_ptr<AudioMessageMaker>(
        new AudioMessageMaker(format, std::move(source), opus));
}

AudioMessageMaker::AudioMessageMaker(const StreamFormat& format,
                                     std::unique_ptr<AudioSource> source, void* opus)
    : format_(format),
      source_(std::move(source)),
      opus_(opus),
      maxBytes_(prefixSize(format) + protocol::kAudioHeaderSize + maxPayload(format)),
      sequence_(format.firstSequence),
      samples_(static_cast<size_t>(format.frames) * static_cast<size_t>(format.channels)) {}

AudioMessageMaker::~AudioMessageMaker() {
    if (opus_ != nullptr) {
        opus_encoder_destroy(static_cast<OpusEncoder*>(opus_));
    }
}

size_t AudioMessageMaker::encodePcm(uint8_t* out) const {
    for (const float value : samples_) {
        // ×32768 is the exact inverse of the receiver's s / 32768, so 16-bit sources pass
        // through unchanged; full scale positive clips to the largest sample.
        const long scaled = std::lround(static_cast<double>(value) * 32768.0);
        const auto sample = static_cast<int16_t>(std::clamp(scaled, -32768L, 32767L));
        protocol::writeU16(out, static_cast<uint16_t>(sample));
        out += 2;
    }
    return samples_.size() * 2;
}

bool AudioMessageMaker::make(int64_t firstFrameNs, int64_t senderTimeNs,
                             std::vector<uint8_t>& out) {
    const size_t prefix = prefixSize(format_);
    out.resize(maxBytes_);
    source_->read(samples_, firstFrameNs);
    uint8_t* message = out.data() + prefix;
    uint8_t* payload = message + protocol::kAudioHeaderSize;
    size_t payloadSize = 0;
    if (opus_ == nullptr) {
        payloadSize = encodePcm(payload);
    } else {
        const opus_int32 encoded =
            opus_encode_float(static_cast<OpusEncoder*>(opus_), samples_.data(), format_.frames,
                              payload, static_cast<opus_int32>(kMaxOpusPacket));
        if (encoded < 1) {
            out.clear();
            return false;
        }
        payloadSize = static_cast<size_t>(encoded);
    }
    // The same bytes as protocol::encodeAudio, written in place so no message allocates.
    protocol::writeHeader(message, protocol::MessageType::Audio);
    protocol::writeU32(message + 8, sequence_++);
    protocol::writeU32(message + 12, 0);
    protocol::writeU16(message + 16, static_cast<uint16_t>(format_.frames));
    message[18] = static_cast<uint8_t>(format_.channels);
    message[19] = static_cast<uint8_t>(format_.codec);
    protocol::writeU64(message + 20, static_cast<uint64_t>(senderTimeNs));
    const size_t messageSize = protocol::kAudioHeaderSize + payloadSize;
    if (prefix != 0) {
        protocol::writeU32(out.data(), static_cast<uint32_t>(messageSize));
    }
    out.resize(prefix + messageSize);
    return true;
}

}  // namespace vocari::phone
