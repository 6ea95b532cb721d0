// The audio stand-in against real processes: a JACK server with jack_rec recording our unit's
// ports, and vocari-capture recording a simulated device.

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "audio_test_support.h"
#include "process.h"
#include "temp_dir.h"
#include "vocari/sim_audio.h"

namespace vocari {
namespace {

using test::ChildProcess;
using test::findExecutable;
using test::readRecording;
using test::Recording;
using test::TempDir;
using test::writeFile;
using Stream = ChildProcess::Stream;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

AudioObjectID deviceWithUid(const std::string& uid) {
    const AudioObjectPropertyAddress list{kAudioHardwarePropertyDevices,
                                          kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &list, 0, nullptr, &size) !=
        noErr) {
        return 0;
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &list, 0, nullptr, &size,
                                   ids.data()) != noErr) {
        return 0;
    }
    ids.resize(size / sizeof(AudioObjectID));
    for (const AudioObjectID id : ids) {
        const AudioObjectPropertyAddress where{kAudioDevicePropertyDeviceUID,
                                               kAudioObjectPropertyScopeGlobal, 0};
        CFStringRef string = nullptr;
        UInt32 stringSize = sizeof string;
        if (AudioObjectGetPropertyData(id, &where, 0, nullptr, &stringSize, &string) != noErr) {
            continue;
        }
        char text[512] = {};
        CFStringGetCString(string, text, sizeof text, kCFStringEncodingUTF8);
        CFRelease(string);
        if (uid == text) {
            return id;
        }
    }
    return 0;
}

AudioObjectID waitForDevice(const std::string& uid, int timeoutMs) {
    const int64_t end = monotonicNs() + int64_t{timeoutMs} * 1'000'000;
    while (monotonicNs() < end) {
        if (const AudioObjectID id = deviceWithUid(uid)) {
            return id;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

UInt32 uintProperty(AudioObjectID id, AudioObjectPropertySelector selector,
                    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    const AudioObjectPropertyAddress where{selector, scope, 0};
    UInt32 value = 0;
    UInt32 size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(id, &where, 0, nullptr, &size, &value), noErr);
    return value;
}

UInt32 outputChannels(AudioObjectID id) {
    const AudioObjectPropertyAddress where{kAudioDevicePropertyStreamConfiguration,
                                           kAudioObjectPropertyScopeOutput, 0};
    AudioBufferList list{};
    UInt32 size = sizeof list;
    if (AudioObjectGetPropertyData(id, &where, 0, nullptr, &size, &list) != noErr) {
        return 0;
    }
    return list.mNumberBuffers == 1 ? list.mBuffers[0].mNumberChannels : 0;
}

AudioStreamBasicDescription floatFormat(UInt32 channels) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = 48000.0;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 4 * channels;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4 * channels;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

// A unit on `device` with `channels` client channels and the given callback; null on failure.
AudioUnit openUnit(AudioObjectID device, UInt32 channels, AURenderCallback render, void* context) {
    const AudioComponentDescription wanted{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                           kAudioUnitManufacturer_Apple, 0, 0};
    AudioUnit unit = nullptr;
    if (AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &wanted), &unit) != noErr) {
        return nullptr;
    }
    const auto format = floatFormat(channels);
    const AURenderCallbackStruct callback{render, context};
    if (AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                             0, &device, sizeof device) != noErr ||
        AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                             &format, sizeof format) != noErr ||
        AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                             &callback, sizeof callback) != noErr) {
        AudioComponentInstanceDispose(unit);
        return nullptr;
    }
    return unit;
}

// Power of one frequency in a channel (Goertzel), normalised so a full-scale sine gives 0.25.
double tonePower(const Recording& recording, int channel, double hz) {
    const double w = 2.0 * std::numbers::pi * hz / 48000.0;
    const double coefficient = 2.0 * std::cos(w);
    double previous = 0;
    double beforePrevious = 0;
    const size_t frames = recording.frames();
    for (size_t f = 0; f < frames; ++f) {
        const double current = recording.at(f, channel) + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious -
                         coefficient * previous * beforePrevious;
    return power / (static_cast<double>(frames) * static_cast<double>(frames));
}

// Sends what the process writes on stderr into a file while it lives.
class StderrCapture {
  public:
    explicit StderrCapture(const std::string& path) : path_(path), saved_(dup(STDERR_FILENO)) {
        std::fflush(stderr);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string finish() {
        restore();
        return test::readFile(path_);
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    std::string path_;
    int saved_;
};

// Plays a 1 kHz sine at half scale on channel 0 and keeps the other channels silent; notes each
// callback's time stamp against CLOCK_MONOTONIC.
struct ToneRender {
    static constexpr size_t kNotes = 4096;
    std::atomic<int> callbacks{0};
    std::vector<std::atomic<int64_t>> hostTimeErrorNs = std::vector<std::atomic<int64_t>>(kNotes);
    std::vector<std::atomic<int64_t>> sampleSteps = std::vector<std::atomic<int64_t>>(kNotes);
    std::vector<std::atomic<int64_t>> frames = std::vector<std::atomic<int64_t>>(kNotes);
    double lastSampleTime = -1;
    double phase = 0;
};

OSStatus renderTone(void* context, AudioUnitRenderActionFlags*, const AudioTimeStamp* time, UInt32,
                    UInt32 frames, AudioBufferList* buffers) {
    auto* tone = static_cast<ToneRender*>(context);
    const auto call = static_cast<size_t>(tone->callbacks.load(std::memory_order_relaxed));
    if (call < ToneRender::kNotes) {
        tone->hostTimeErrorNs[call].store(monotonicNs() - static_cast<int64_t>(time->mHostTime),
                                          std::memory_order_relaxed);
        tone->sampleSteps[call].store(
            tone->lastSampleTime < 0
                ? 0
                : static_cast<int64_t>(time->mSampleTime - tone->lastSampleTime),
            std::memory_order_relaxed);
        tone->frames[call].store(frames, std::memory_order_relaxed);
    }
    tone->lastSampleTime = time->mSampleTime;
    const UInt32 channels = buffers->mBuffers[0].mNumberChannels;
    auto* out = static_cast<float*>(buffers->mBuffers[0].mData);
    for (UInt32 f = 0; f < frames; ++f) {
        out[f * channels] = static_cast<float>(0.5 * std::sin(tone->phase));
        tone->phase += 2.0 * std::numbers::pi * 1000.0 / 48000.0;
    }
    tone->phase = std::fmod(tone->phase, 2.0 * std::numbers::pi);
    tone->callbacks.store(static_cast<int>(call + 1), std::memory_order_release);
    return noErr;
}

class JackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        serverName_ = "vocari-e2e-" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", serverName_.c_str(), 1);
        setenv("VOCARI_JACK_CHANNELS", "4", 1);
        setenv("VOCARI_AUDIO_DIR", temp_.file("audio").c_str(), 1);
    }
    void TearDown() override {
        if (jackd_) {
            jackd_->sendSignal(SIGTERM);
            jackd_->waitForExit(5000);
            jackd_.reset();
        }
        unsetenv("JACK_DEFAULT_SERVER");
        unsetenv("VOCARI_JACK_CHANNELS");
        unsetenv("VOCARI_AUDIO_DIR");
    }

    // Starts jackd with the dummy driver; false (with the reason) when it cannot run here.
    bool startJackd(int rate, std::string* why) {
        jackd_ = test::startJackServer(serverName_, rate, *why);
        return jackd_ != nullptr;
    }

    TempDir temp_;
    std::string serverName_;
    std::unique_ptr<ChildProcess> jackd_;
};

TEST_F(JackTest, ServerShowsAsLoopbackDeviceAndJackRecHearsTheUnit) {
    EXPECT_EQ(deviceWithUid("jack:" + serverName_), 0U);
    std::string why;
    if (!startJackd(48000, &why)) {
        GTEST_SKIP() << "JACK is not usable here: " << why;
    }
    const AudioObjectID device = waitForDevice("jack:" + serverName_, 10000);
    ASSERT_NE(device, 0U) << "the running JACK server never showed up as a device";
    EXPECT_EQ(uintProperty(device, kAudioDevicePropertyTransportType),
              kAudioDeviceTransportTypeVirtual);
    EXPECT_EQ(outputChannels(device), 4U);
    EXPECT_EQ(uintProperty(device, kAudioDevicePropertyBufferFrameSize), 256U);

    ToneRender tone;
    AudioUnit unit = openUnit(device, 4, renderTone, &tone);
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr);

    const std::string wav = temp_.file("jack.wav");
    auto recorder = ChildProcess::start({findExecutable("jack_rec"), "-f", wav, "-d", "1", "-b",
                                         "32", "vocari:out_1", "vocari:out_2"},
                                        {{"JACK_DEFAULT_SERVER", serverName_}});
    ASSERT_NE(recorder, nullptr);
    const auto recorded = recorder->waitForExit(15000);
    EXPECT_EQ(AudioOutputUnitStop(unit), noErr);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
    ASSERT_EQ(recorded, 0);

    // Sample time follows JACK's frame clock: one period per cycle, more only after an xrun.
    // Host time is on CLOCK_MONOTONIC, whereas JACK's own clock drifts away from it (by 180 ms
    // on a machine up for half an hour).
    const auto calls =
        std::min<size_t>(static_cast<size_t>(tone.callbacks.load()), ToneRender::kNotes);
    ASSERT_GT(calls, 100U);
    size_t regularSteps = 0;
    std::vector<int64_t> errors;
    for (size_t i = 1; i < calls; ++i) {
        EXPECT_EQ(tone.frames[i].load(), 256);
        EXPECT_GE(tone.sampleSteps[i].load(), 256) << "callback " << i;
        regularSteps += tone.sampleSteps[i].load() == 256 ? 1 : 0;
        errors.push_back(tone.hostTimeErrorNs[i].load());
    }
    EXPECT_GE(regularSteps, (calls - 1) * 9 / 10);
    // JACK smooths its cycle times, so a callback may run a little before or after its time, and
    // any amount late on a busy machine; the closest of a few hundred is about on time.
    const int64_t closest =
        std::abs(*std::min_element(errors.begin(), errors.end(), [](int64_t a, int64_t b) {
            return std::llabs(a) < std::llabs(b);
        }));
    EXPECT_LT(closest, 20'000'000);

    const Recording recording = readRecording(wav);
    ASSERT_EQ(recording.channels, 2);
    ASSERT_GE(recording.frames(), 24000U);
    EXPECT_NEAR(tonePower(recording, 0, 1000.0), 0.25 * 0.25, 0.02);
    EXPECT_LT(tonePower(recording, 0, 1500.0), 1e-4);
    EXPECT_LT(tonePower(recording, 1, 1000.0), 1e-6);

    // Once the server is gone, so is the device.
    jackd_->sendSignal(SIGTERM);
    ASSERT_TRUE(jackd_->waitForExit(5000).has_value());
    jackd_.reset();
    const int64_t end = monotonicNs() + 5'000'000'000;
    while (deviceWithUid("jack:" + serverName_) != 0 && monotonicNs() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(deviceWithUid("jack:" + serverName_), 0U);
}

TEST_F(JackTest, ServerAtAnotherRateIsRefused) {
    std::string why;
    if (!startJackd(44100, &why)) {
        GTEST_SKIP() << "JACK is not usable here: " << why;
    }
    const AudioObjectID device = waitForDevice("jack:" + serverName_, 10000);
    ASSERT_NE(device, 0U);
    ToneRender tone;
    AudioUnit unit = openUnit(device, 4, renderTone, &tone);
    ASSERT_NE(unit, nullptr);
    StderrCapture capture(temp_.file("stderr"));
    const OSStatus status = AudioUnitInitialize(unit);
    const std::string message = capture.finish();
    EXPECT_NE(status, noErr);
    EXPECT_NE(message.find("runs at 44100 Hz"), std::string::npos) << message;
    EXPECT_NE(AudioOutputUnitStart(unit), noErr);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
    EXPECT_EQ(tone.callbacks.load(), 0);
}

// Channel 0: sample time modulo 1000, over 1000. Channel 1: -0.5. Channel 2: silent.
OSStatus renderPattern(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp* time, UInt32,
                       UInt32 frames, AudioBufferList* buffers) {
    const UInt32 channels = buffers->mBuffers[0].mNumberChannels;
    auto* out = static_cast<float*>(buffers->mBuffers[0].mData);
    const auto first = static_cast<uint64_t>(time->mSampleTime);
    for (UInt32 f = 0; f < frames; ++f) {
        out[f * channels] = static_cast<float>((first + f) % 1000) / 1000.0f;
        out[f * channels + 1] = -0.5f;
    }
    return noErr;
}

class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = temp_.file("audio");
        std::filesystem::create_directories(folder_);
        writeFile(folder_ + "/loop.device",
                  "uid=loop:one\nname=Loop\ntransport=virtual\ninput_channels=3\n"
                  "output_channels=3\nbuffer_frames=128\n");
        setenv("VOCARI_AUDIO_DIR", folder_.c_str(), 1);
        setenv("JACK_DEFAULT_SERVER", ("vocari-e2e-absent-" + std::to_string(getpid())).c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VOCARI_AUDIO_DIR");
        unsetenv("JACK_DEFAULT_SERVER");
    }

    std::unique_ptr<ChildProcess> capture(const std::string& uid, const std::string& seconds,
                                          const std::string& out) {
        return ChildProcess::start({test::binaryPath("vocari-capture"), "--device", uid,
                                    "--seconds", seconds, "--out", out},
                                   {{"VOCARI_AUDIO_DIR", folder_}});
    }

    TempDir temp_;
    std::string folder_;
};

TEST_F(CaptureTest, UnknownDeviceOrNothingPlayedFails) {
    auto unknown = capture("no-such-device", "1", temp_.file("a.wav"));
    ASSERT_NE(unknown, nullptr);
    EXPECT_NE(unknown->waitForExit(10000).value_or(0), 0);
    EXPECT_TRUE(unknown->waitForLine(Stream::Err, "no simulated device", 1000));

    auto silent = capture("loop:one", "1", temp_.file("b.wav"));
    ASSERT_NE(silent, nullptr);
    EXPECT_NE(silent->waitForExit(10000).value_or(0), 0);
    EXPECT_TRUE(silent->waitForLine(Stream::Err, "no ring file", 1000));

    auto badLength = capture("loop:one", "-1", temp_.file("c.wav"));
    ASSERT_NE(badLength, nullptr);
    EXPECT_NE(badLength->waitForExit(10000).value_or(0), 0);
}

TEST_F(CaptureTest, RecordsEveryChannelWithoutGaps) {
    const AudioObjectID device = deviceWithUid("loop:one");
    ASSERT_NE(device, 0U);
    AudioUnit unit = openUnit(device, 3, renderPattern, nullptr);
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr);

    const std::string wav = temp_.file("loop.wav");
    auto recorder = capture("loop:one", "0.5", wav);
    ASSERT_NE(recorder, nullptr);
    const auto status = recorder->waitForExit(10000);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
    ASSERT_EQ(status, 0);

    const Recording recording = readRecording(wav);
    ASSERT_EQ(recording.channels, 3);
    EXPECT_EQ(recording.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    ASSERT_EQ(recording.frames(), 24000U);
    for (size_t f = 0; f < recording.frames(); ++f) {
        ASSERT_EQ(recording.at(f, 1), -0.5f) << "frame " << f;
        ASSERT_EQ(recording.at(f, 2), 0.0f) << "frame " << f;
        if (f > 0) {
            // Consecutive device frames: the pattern steps by one in a thousand, wrapping.
            const int step =
                static_cast<int>(
                    std::lround((recording.at(f, 0) - recording.at(f - 1, 0)) * 1000.0f) + 1000) %
                1000;
            ASSERT_EQ(step, 1) << "frame " << f;
        }
    }
}

TEST_F(CaptureTest, IdleDeviceRecordsSilence) {
    const AudioObjectID device = deviceWithUid("loop:one");
    AudioUnit unit = openUnit(device, 3, renderPattern, nullptr);
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    ASSERT_EQ(AudioComponentInstanceDispose(unit), noErr);  // the ring exists, nothing plays

    const std::string wav = temp_.file("idle.wav");
    auto recorder = capture("loop:one", "0.25", wav);
    ASSERT_NE(recorder, nullptr);
    ASSERT_EQ(recorder->waitForExit(10000), 0);
    const Recording recording = readRecording(wav);
    ASSERT_EQ(recording.channels, 3);
    ASSERT_EQ(recording.frames(), 12000U);
    for (const float sample : recording.samples) {
        ASSERT_EQ(sample, 0.0f);
    }
}

}  // namespace
}  // namespace vocari
