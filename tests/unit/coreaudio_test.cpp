// The audio platform stand-in, exercised through the Mac C interfaces with scripted device
// folders.

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <mach/mach_time.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "temp_dir.h"
#include "vocari/cf_objects.h"
#include "vocari/ring_file.h"
#include "vocari/sim_audio.h"

namespace vocari {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                   AudioObjectPropertyElement element = 0) {
    return {selector, scope, element};
}

std::vector<AudioObjectID> deviceIds() {
    const auto where = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &where, 0, nullptr, &size) !=
        noErr) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &size,
                                   ids.data()) != noErr) {
        return {};
    }
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

std::string stringProperty(AudioObjectID id, AudioObjectPropertySelector selector) {
    const auto where = address(selector);
    CFStringRef string = nullptr;
    UInt32 size = sizeof string;
    if (AudioObjectGetPropertyData(id, &where, 0, nullptr, &size, &string) != noErr) {
        return "<error>";
    }
    char text[512] = {};
    CFStringGetCString(string, text, sizeof text, kCFStringEncodingUTF8);
    CFRelease(string);
    return text;
}

UInt32 uintProperty(AudioObjectID id, AudioObjectPropertySelector selector,
                    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    const auto where = address(selector, scope);
    UInt32 value = 0xDEAD;
    UInt32 size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(id, &where, 0, nullptr, &size, &value), noErr);
    return value;
}

UInt32 channelCount(AudioObjectID id, AudioObjectPropertyScope scope) {
    const auto where = address(kAudioDevicePropertyStreamConfiguration, scope);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(id, &where, 0, nullptr, &size) != noErr) {
        return 9999;
    }
    std::vector<std::byte> bytes(std::max<size_t>(size, sizeof(AudioBufferList)));
    if (AudioObjectGetPropertyData(id, &where, 0, nullptr, &size, bytes.data()) != noErr) {
        return 9999;
    }
    const auto* list = reinterpret_cast<const AudioBufferList*>(bytes.data());
    UInt32 channels = 0;
    for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
        channels += list->mBuffers[i].mNumberChannels;
    }
    return channels;
}

AudioObjectID deviceWithUid(const std::string& uid) {
    for (const AudioObjectID id : deviceIds()) {
        if (stringProperty(id, kAudioDevicePropertyDeviceUID) == uid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

std::string deviceFile(const std::string& uid, UInt32 inputs, UInt32 outputs,
                       const std::string& extra = "") {
    return "uid=" + uid + "\nname=" + uid +
           " device\ntransport=virtual\ninput_channels=" + std::to_string(inputs) +
           "\noutput_channels=" + std::to_string(outputs) + "\n" + extra;
}

// Each test gets a private device folder, and JACK and PipeWire server names nobody runs.
class CoreAudioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = temp_.file("audio");
        setenv("VOCARI_AUDIO_DIR", folder_.c_str(), 1);
        const std::string jackName = "vocari-unit-absent-" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", jackName.c_str(), 1);
        setenv("PIPEWIRE_REMOTE", jackName.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VOCARI_AUDIO_DIR");
        unsetenv("JACK_DEFAULT_SERVER");
        unsetenv("PIPEWIRE_REMOTE");
    }

    // A folder holding exactly these devices (no defaults are added to an existing folder).
    void useDevices(const std::vector<std::pair<std::string, std::string>>& files) {
        std::filesystem::create_directories(folder_);
        for (const auto& [name, contents] : files) {
            writeFile(folder_ + "/" + name, contents);
        }
    }

    TempDir temp_;
    std::string folder_;
};

TEST(CoreAudioConstants, FourCharCodesAndLayoutsMatchTheMac) {
    EXPECT_EQ(kAudioHardwarePropertyDevices, 0x64657623U);
    EXPECT_EQ(kAudioDevicePropertyDeviceUID, 0x75696420U);
    EXPECT_EQ(kAudioObjectPropertyScopeGlobal, 0x676C6F62U);
    EXPECT_EQ(kAudioDeviceTransportTypeVirtual, 0x76697274U);
    EXPECT_EQ(kAudioHardwareUnknownPropertyError, 0x77686F3F);
    EXPECT_EQ(kAudioHardwareBadObjectError, 0x216F626A);
    EXPECT_EQ(kAudioUnitType_Output, 0x61756F75U);
    EXPECT_EQ(kAudioFormatLinearPCM, 0x6C70636DU);
    EXPECT_EQ(kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 9U);
    EXPECT_EQ(sizeof(AudioTimeStamp), 64U);
    EXPECT_EQ(sizeof(AudioStreamBasicDescription), 40U);
    EXPECT_EQ(offsetof(AudioBufferList, mBuffers), 8U);
    EXPECT_EQ(sizeof(AudioBufferList), 24U);
}

TEST(CoreAudioHostTime, IsMonotonicNanoseconds) {
    mach_timebase_info_data_t timebase{};
    ASSERT_EQ(mach_timebase_info(&timebase), KERN_SUCCESS);
    EXPECT_EQ(timebase.numer, 1U);
    EXPECT_EQ(timebase.denom, 1U);
    const int64_t before = monotonicNs();
    const auto host = static_cast<int64_t>(mach_absolute_time());
    const int64_t after = monotonicNs();
    EXPECT_LE(before, host);
    EXPECT_LE(host, after);
}

TEST(CoreAudioStrings, ConvertWithinTheirBufferOnly) {
    CFStringRef name =
        CFStringCreateWithCString(kCFAllocatorDefault, "Mikrofon Über", kCFStringEncodingUTF8);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(CFStringGetLength(name), 13);  // UTF-16 units, not bytes
    char exact[15];                          // 14 bytes of UTF-8 and the terminator
    EXPECT_TRUE(CFStringGetCString(name, exact, sizeof exact, kCFStringEncodingUTF8));
    EXPECT_STREQ(exact, "Mikrofon Über");
    char tooSmall[14];
    std::memset(tooSmall, 'x', sizeof tooSmall);
    EXPECT_FALSE(CFStringGetCString(name, tooSmall, sizeof tooSmall, kCFStringEncodingUTF8));
    EXPECT_STREQ(tooSmall, "");
    char ascii[64];
    EXPECT_FALSE(CFStringGetCString(name, ascii, sizeof ascii, kCFStringEncodingASCII));
    CFRelease(name);
    CFRelease(nullptr);

    EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, "bad \xC3", kCFStringEncodingUTF8),
              nullptr);
    EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, "\xED\xA0\x80", kCFStringEncodingUTF8),
              nullptr);  // an encoded surrogate
    CFStringRef emoji =
        CFStringCreateWithCString(kCFAllocatorDefault, "\xF0\x9F\x8E\xA4", kCFStringEncodingUTF8);
    EXPECT_EQ(CFStringGetLength(emoji), 2);
    EXPECT_TRUE(CFEqual(emoji, CFSTR("\xF0\x9F\x8E\xA4")));
    CFRelease(emoji);
}

TEST_F(CoreAudioTest, MissingFolderIsCreatedWithLoopbackAndSpeakers) {
    const auto ids = deviceIds();
    ASSERT_EQ(ids.size(), 2U);
    const AudioObjectID loopback = deviceWithUid("vocari-loopback-16ch");
    const AudioObjectID speakers = deviceWithUid("builtin-speakers");
    ASSERT_NE(loopback, kAudioObjectUnknown);
    ASSERT_NE(speakers, kAudioObjectUnknown);
    EXPECT_EQ(stringProperty(loopback, kAudioObjectPropertyName), "Vocari Loopback 16ch");
    EXPECT_EQ(stringProperty(speakers, kAudioObjectPropertyName), "Speakers");
    EXPECT_EQ(channelCount(loopback, kAudioObjectPropertyScopeInput), 16U);
    EXPECT_EQ(channelCount(loopback, kAudioObjectPropertyScopeOutput), 16U);
    EXPECT_EQ(channelCount(speakers, kAudioObjectPropertyScopeInput), 0U);
    EXPECT_EQ(channelCount(speakers, kAudioObjectPropertyScopeOutput), 2U);
    EXPECT_EQ(uintProperty(loopback, kAudioDevicePropertyTransportType),
              kAudioDeviceTransportTypeVirtual);
    EXPECT_EQ(uintProperty(speakers, kAudioDevicePropertyTransportType),
              kAudioDeviceTransportTypeBuiltIn);
    EXPECT_EQ(uintProperty(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice),
              speakers);
    EXPECT_EQ(uintProperty(loopback, kAudioDevicePropertyBufferFrameSize,
                           kAudioObjectPropertyScopeOutput),
              512U);
    const auto inputVolume =
        address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeInput);
    EXPECT_TRUE(AudioObjectHasProperty(loopback, &inputVolume));
    EXPECT_FALSE(AudioObjectHasProperty(speakers, &inputVolume));
}

TEST_F(CoreAudioTest, HotPlugKeepsIdsPerUid) {
    useDevices({{"a.device", deviceFile("dev-a", 2, 2)}, {"b.device", deviceFile("dev-b", 0, 2)}});
    const auto first = deviceIds();
    ASSERT_EQ(first.size(), 2U);
    EXPECT_EQ(stringProperty(first[0], kAudioDevicePropertyDeviceUID), "dev-a");
    EXPECT_EQ(stringProperty(first[1], kAudioDevicePropertyDeviceUID), "dev-b");

    std::filesystem::remove(folder_ + "/a.device");
    const auto unplugged = deviceIds();
    ASSERT_EQ(unplugged, std::vector<AudioObjectID>{first[1]});
    const auto name = address(kAudioObjectPropertyName);
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(first[0], &name, 0, nullptr, &size),
              kAudioHardwareBadObjectError);
    EXPECT_FALSE(AudioObjectHasProperty(first[0], &name));

    writeFile(folder_ + "/0.device", deviceFile("dev-c", 2, 2));
    writeFile(folder_ + "/a.device", deviceFile("dev-a", 2, 2));
    const auto replugged = deviceIds();
    ASSERT_EQ(replugged.size(), 3U);
    EXPECT_EQ(replugged[1], first[0]);  // dev-a is back under its old ID
    EXPECT_EQ(replugged[2], first[1]);
    EXPECT_NE(replugged[0], first[0]);
    EXPECT_NE(replugged[0], first[1]);
}

TEST_F(CoreAudioTest, PropertyCallsCheckObjectsSizesAndScopes) {
    useDevices({{"a.device", deviceFile("dev-a", 2, 2)}, {"b.device", deviceFile("dev-b", 0, 4)}});
    const auto ids = deviceIds();
    ASSERT_EQ(ids.size(), 2U);
    const AudioObjectID device = ids[0];

    const auto transport = address(kAudioDevicePropertyTransportType);
    UInt32 value = 0;
    UInt32 size = 2;
    EXPECT_EQ(AudioObjectGetPropertyData(device, &transport, 0, nullptr, &size, &value),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioObjectGetPropertyData(device, &transport, 0, nullptr, nullptr, &value),
              kAudio_ParamError);
    size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(12345, &transport, 0, nullptr, &size, &value),
              kAudioHardwareBadObjectError);
    const auto unknown = address(0x7A7A7A7A);
    EXPECT_EQ(AudioObjectGetPropertyData(device, &unknown, 0, nullptr, &size, &value),
              kAudioHardwareUnknownPropertyError);
    const auto globalLayout = address(kAudioDevicePropertyStreamConfiguration);
    EXPECT_FALSE(AudioObjectHasProperty(device, &globalLayout));
    const auto channelVolume =
        address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, 1);
    EXPECT_FALSE(AudioObjectHasProperty(device, &channelVolume));

    // A list read into room for one and a half IDs gives exactly one.
    const auto devices = address(kAudioHardwarePropertyDevices);
    AudioObjectID room[2] = {0, 0};
    size = 6;
    ASSERT_EQ(
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size, room),
        noErr);
    EXPECT_EQ(size, 4U);
    EXPECT_EQ(room[0], device);
    EXPECT_EQ(room[1], 0U);

    // A device without inputs has an empty stream list, not an error.
    const auto inputLayout =
        address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(AudioObjectGetPropertyDataSize(ids[1], &inputLayout, 0, nullptr, &size), noErr);
    EXPECT_EQ(size, offsetof(AudioBufferList, mBuffers));
    EXPECT_EQ(channelCount(ids[1], kAudioObjectPropertyScopeOutput), 4U);

    // No device here asks to be the default output: the first one that can play is.
    EXPECT_EQ(uintProperty(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice),
              device);

    const auto uid = address(kAudioDevicePropertyDeviceUID);
    Boolean settable = true;
    EXPECT_EQ(AudioObjectIsPropertySettable(device, &uid, &settable), noErr);
    EXPECT_FALSE(settable);
    CFStringRef replacement = CFSTR("other");
    EXPECT_EQ(
        AudioObjectSetPropertyData(device, &uid, 0, nullptr, sizeof replacement, &replacement),
        kAudioHardwareIllegalOperationError);
}

TEST_F(CoreAudioTest, DeviceFilesAreReadLeniently) {
    useDevices({
        {"odd.device",
         "# a comment=ignored\n  name = Odd Mic \r\ninput_channels=abc\noutput_channels=2\n"
         "buffer_frames=0\nrate_ppm=1e9\ntransport=firewire\ndefault_output=1\n"},
        {"same-uid.device", deviceFile("odd", 8, 8)},
        {".hidden.device", deviceFile("hidden", 2, 2)},
        {"notes.txt", deviceFile("notes", 2, 2)},
    });
    const auto devices = listSimDevices(folder_);
    ASSERT_EQ(devices.size(), 1U);
    const SimDevice& odd = devices[0];
    EXPECT_EQ(odd.uid, "odd");  // from the file name
    EXPECT_EQ(odd.name, "Odd Mic");
    EXPECT_EQ(odd.inputChannels, 0U);
    EXPECT_EQ(odd.outputChannels, 2U);
    EXPECT_EQ(odd.bufferFrames, 512U);
    EXPECT_EQ(odd.ratePpm, 0.0);
    EXPECT_FALSE(odd.outputVolume.has_value());
    EXPECT_TRUE(odd.defaultOutput);
    const AudioObjectID id = deviceWithUid("odd");
    EXPECT_EQ(uintProperty(id, kAudioDevicePropertyTransportType),
              kAudioDeviceTransportTypeUnknown);
}

TEST_F(CoreAudioTest, StringPropertiesAreOwnedByTheCaller) {
    useDevices({{"a.device", deviceFile("dev-a", 2, 2)}});
    const AudioObjectID device = deviceIds().at(0);
    const auto name = address(kAudioObjectPropertyName);
    const long before = liveCFStrings();
    CFStringRef first = nullptr;
    CFStringRef second = nullptr;
    UInt32 size = sizeof first;
    ASSERT_EQ(AudioObjectGetPropertyData(device, &name, 0, nullptr, &size, &first), noErr);
    EXPECT_EQ(size, sizeof(CFStringRef));
    ASSERT_EQ(AudioObjectGetPropertyData(device, &name, 0, nullptr, &size, &second), noErr);
    EXPECT_EQ(CFGetRetainCount(first), 1);
    EXPECT_EQ(liveCFStrings(), before + 2);
    CFRelease(first);
    EXPECT_STREQ(CFStringGetCStringPtr(second, kCFStringEncodingUTF8), "dev-a device");
    CFRelease(second);
    EXPECT_EQ(liveCFStrings(), before);
    for (int i = 0; i < 10; ++i) {
        stringProperty(device, kAudioDevicePropertyDeviceUID);
    }
    EXPECT_EQ(liveCFStrings(), before);
}

TEST_F(CoreAudioTest, VolumeIsPersistedInTheDeviceFile) {
    const std::string original =
        deviceFile("dev-a", 2, 2, "output_volume=0.5\r\ninput_volume=1\nrate_ppm=3\n");
    useDevices({{"a.device", original}, {"b.device", deviceFile("dev-b", 2, 2)}});
    const AudioObjectID device = deviceWithUid("dev-a");
    const auto output = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput);
    const auto input = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeInput);
    Float32 volume = 0;
    UInt32 size = sizeof volume;
    ASSERT_EQ(AudioObjectGetPropertyData(device, &output, 0, nullptr, &size, &volume), noErr);
    EXPECT_EQ(volume, 0.5f);
    Boolean settable = false;
    EXPECT_EQ(AudioObjectIsPropertySettable(device, &output, &settable), noErr);
    EXPECT_TRUE(settable);

    volume = 0.1f;
    ASSERT_EQ(AudioObjectSetPropertyData(device, &output, 0, nullptr, sizeof volume, &volume),
              noErr);
    std::string expected = original;
    expected.replace(expected.find("output_volume=0.5"), 17, "output_volume=0.1");
    EXPECT_EQ(readFile(folder_ + "/a.device"), expected);  // every other byte kept
    EXPECT_EQ(readSimDeviceFile(folder_ + "/a.device")->outputVolume, 0.1f);

    volume = 1.7f;
    ASSERT_EQ(AudioObjectSetPropertyData(device, &input, 0, nullptr, sizeof volume, &volume),
              noErr);
    size = sizeof volume;
    ASSERT_EQ(AudioObjectGetPropertyData(device, &input, 0, nullptr, &size, &volume), noErr);
    EXPECT_EQ(volume, 1.0f);
    ASSERT_EQ(AudioObjectGetPropertyData(device, &output, 0, nullptr, &size, &volume), noErr);
    EXPECT_EQ(volume, 0.1f);

    volume = std::nanf("");
    EXPECT_EQ(AudioObjectSetPropertyData(device, &output, 0, nullptr, sizeof volume, &volume),
              kAudio_ParamError);
    const double wide = 0.5;
    EXPECT_EQ(AudioObjectSetPropertyData(device, &output, 0, nullptr, sizeof wide, &wide),
              kAudioHardwareBadPropertySizeError);
    volume = 0.5f;
    EXPECT_EQ(AudioObjectSetPropertyData(deviceWithUid("dev-b"), &output, 0, nullptr, sizeof volume,
                                         &volume),
              kAudioHardwareUnknownPropertyError);

    // Nothing but the device files (and the lock) is left in the folder.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".lock", "a.device", "b.device"}));
}

TEST_F(CoreAudioTest, ConcurrentVolumeWritesLoseNothing) {
    useDevices({{"a.device", deviceFile("dev-a", 2, 2, "output_volume=1\ninput_volume=1\n")}});
    const AudioObjectID device = deviceWithUid("dev-a");
    const auto writer = [&](AudioObjectPropertyScope scope, float last) {
        const auto where = address(kAudioDevicePropertyVolumeScalar, scope);
        for (int i = 0; i <= 40; ++i) {
            const Float32 volume = i == 40 ? last : static_cast<float>(i) / 100.0f;
            EXPECT_EQ(
                AudioObjectSetPropertyData(device, &where, 0, nullptr, sizeof volume, &volume),
                noErr);
        }
    };
    std::thread outputs(writer, kAudioObjectPropertyScopeOutput, 0.25f);
    std::thread inputs(writer, kAudioObjectPropertyScopeInput, 0.75f);
    outputs.join();
    inputs.join();
    const auto saved = readSimDeviceFile(folder_ + "/a.device");
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->outputVolume, 0.25f);
    EXPECT_EQ(saved->inputVolume, 0.75f);
}

TEST(CoreAudioFileNames, SafeNamesAreDistinctAndPlain) {
    EXPECT_EQ(fileSafeName("vocari-loopback_16ch.2"), "vocari-loopback_16ch.2");
    EXPECT_EQ(fileSafeName("jack:default"), "jack%3Adefault");
    EXPECT_EQ(fileSafeName("../x/y"), "%2E.%2Fx%2Fy");
    EXPECT_NE(fileSafeName("a/b"), fileSafeName("a%2Fb"));
    EXPECT_EQ(ringFilePath("/f", "a b"), "/f/a%20b.ring");
}

TEST_F(CoreAudioTest, RingFilesWrapKeepTheirCountAndHaveOneWriter) {
    std::filesystem::create_directories(folder_);
    const std::string path = folder_ + "/r.ring";
    std::string error;
    auto writer = RingFileWriter::open(path, 4, &error);
    ASSERT_NE(writer, nullptr) << error;
    EXPECT_EQ(RingFileWriter::open(path, 4, &error), nullptr);
    EXPECT_NE(error.find("in use"), std::string::npos);

    // Two channels written into four: the rest are silent. Frame n carries n in channel 0.
    std::vector<float> block(1000 * 2);
    const uint64_t total = kRingCapacityFrames + 2500;
    for (uint64_t start = 0; start < total; start += 1000) {
        for (uint64_t f = 0; f < 1000; ++f) {
            block[2 * f] = static_cast<float>(start + f);
            block[2 * f + 1] = -1.0f;
        }
        writer->write(block.data(), 2, std::min<uint64_t>(1000, total - start));
    }
    const auto reader = RingFileReader::open(path, &error);
    ASSERT_NE(reader, nullptr) << error;
    ASSERT_EQ(reader->channels(), 4U);
    ASSERT_EQ(reader->writtenFrames(), total);
    std::vector<float> frames(10 * 4);
    ASSERT_EQ(reader->read(total - 10, 10, frames.data()), RingFileReader::Read::Ok);
    for (uint64_t f = 0; f < 10; ++f) {
        EXPECT_EQ(frames[4 * f], static_cast<float>(total - 10 + f));
        EXPECT_EQ(frames[4 * f + 1], -1.0f);
        EXPECT_EQ(frames[4 * f + 2], 0.0f);
        EXPECT_EQ(frames[4 * f + 3], 0.0f);
    }
    EXPECT_EQ(reader->read(total - kRingCapacityFrames - 1, 2, frames.data()),
              RingFileReader::Read::Overwritten);
    EXPECT_EQ(reader->read(total - 5, 10, frames.data()), RingFileReader::Read::NotWrittenYet);
    const auto latest = readLatestFrames(path, 3, &error);
    ASSERT_TRUE(latest.has_value()) << error;
    EXPECT_EQ(latest->firstFrame, total - 3);
    ASSERT_EQ(latest->samples.size(), 12U);
    EXPECT_EQ(latest->samples[8], static_cast<float>(total - 1));

    // A new writer of the same layout carries on counting; another layout replaces the file.
    writer.reset();
    writer = RingFileWriter::open(path, 4, &error);
    ASSERT_NE(writer, nullptr) << error;
    writer->writeSilence(5);
    EXPECT_EQ(reader->writtenFrames(), total + 5);
    writer.reset();
    writer = RingFileWriter::open(path, 2, &error);
    ASSERT_NE(writer, nullptr) << error;
    const auto fresh = RingFileReader::open(path, &error);
    ASSERT_NE(fresh, nullptr) << error;
    EXPECT_EQ(fresh->channels(), 2U);
    EXPECT_EQ(fresh->writtenFrames(), 0U);

    writeFile(folder_ + "/junk.ring", "not a ring");
    EXPECT_EQ(RingFileReader::open(folder_ + "/junk.ring", &error), nullptr);
    EXPECT_EQ(RingFileReader::open(folder_ + "/none.ring", &error), nullptr);
}

AudioUnit newOutputUnit() {
    const AudioComponentDescription wanted{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                           kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &wanted);
    AudioUnit unit = nullptr;
    if (component == nullptr || AudioComponentInstanceNew(component, &unit) != noErr) {
        return nullptr;
    }
    return unit;
}

AudioStreamBasicDescription floatFormat(UInt32 channels, Float64 rate = 48000.0) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 4 * channels;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4 * channels;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

TEST(CoreAudioComponents, OnlyTheHalOutputUnitIsFound) {
    const AudioComponentDescription hal{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                        kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent found = AudioComponentFindNext(nullptr, &hal);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(AudioComponentFindNext(found, &hal), nullptr);
    const AudioComponentDescription anyOutput{kAudioUnitType_Output, 0, 0, 0, 0};
    EXPECT_EQ(AudioComponentFindNext(nullptr, &anyOutput), found);
    const AudioComponentDescription other{kAudioUnitType_Output, 0x64656620, 0, 0, 0};
    EXPECT_EQ(AudioComponentFindNext(nullptr, &other), nullptr);
    EXPECT_EQ(AudioComponentInstanceDispose(nullptr), kAudio_ParamError);
}

TEST_F(CoreAudioTest, OutputUnitChecksItsConfiguration) {
    useDevices({{"a.device", deviceFile("dev-a", 6, 6, "buffer_frames=64\n")},
                {"mic.device", deviceFile("mic", 2, 0)}});
    AudioUnit unit = newOutputUnit();
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_Uninitialized);

    AudioDeviceID device = 4242;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &device, sizeof device),
              kAudioUnitErr_InvalidPropertyValue);
    device = deviceWithUid("mic");  // cannot play
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &device, sizeof device),
              kAudioUnitErr_InvalidPropertyValue);

    auto format = floatFormat(2, 44100.0);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                   &format, sizeof format),
              kAudioUnitErr_FormatNotSupported);
    format = floatFormat(2);
    format.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                   &format, sizeof format),
              kAudioUnitErr_FormatNotSupported);
    format = floatFormat(2);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0,
                                   &format, sizeof format),
              kAudioUnitErr_PropertyNotWritable);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                   &format, sizeof format - 1),
              kAudioUnitErr_InvalidParameter);

    // Without a chosen device the unit plays the default output device.
    UInt32 size = sizeof device;
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &device, &size),
              noErr);
    EXPECT_EQ(device, deviceWithUid("dev-a"));
    AudioStreamBasicDescription deviceSide{};
    size = sizeof deviceSide;
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0,
                                   &deviceSide, &size),
              noErr);
    EXPECT_EQ(deviceSide.mChannelsPerFrame, 6U);

    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    EXPECT_TRUE(std::filesystem::exists(ringFilePath(folder_, "dev-a")));
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                   &format, sizeof format),
              kAudioUnitErr_Initialized);
    // The device already has its writer: a second unit on it is refused.
    AudioUnit second = newOutputUnit();
    EXPECT_EQ(AudioUnitInitialize(second), kAudioUnitErr_FailedInitialization);
    EXPECT_EQ(AudioComponentInstanceDispose(second), noErr);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), kAudio_ParamError);
}

// What one test's render callback saw.
struct RenderLog {
    std::atomic<int> callbacks{0};
    std::atomic<int> stopAfter{0};  // >0: the callback stops its own unit at that call
    AudioUnit unit = nullptr;
    std::vector<Float64> sampleTimes;
    std::vector<UInt64> hostTimes;
    std::vector<int64_t> arrivals;
    std::vector<UInt32> frameCounts;
    std::vector<UInt32> shapes;  // buffers x 10^6 + channels x 10^5 + bytes, as seen
    std::vector<long> allocations;
    bool badFlags = false;
};

// Fills channel c of the frame at sample time t with t + c / 10.
OSStatus recordingRender(void* context, AudioUnitRenderActionFlags*, const AudioTimeStamp* time,
                         UInt32, UInt32 frames, AudioBufferList* buffers) {
    auto* log = static_cast<RenderLog*>(context);
    const int64_t arrival = monotonicNs();
    const int call = log->callbacks.load(std::memory_order_relaxed);
    const auto index = static_cast<size_t>(call);
    if (index < log->sampleTimes.size()) {
        log->arrivals[index] = arrival;
        log->sampleTimes[index] = time->mSampleTime;
        log->hostTimes[index] = time->mHostTime;
        log->frameCounts[index] = frames;
        log->shapes[index] = buffers->mNumberBuffers * 1000000 +
                             buffers->mBuffers[0].mNumberChannels * 100000 +
                             buffers->mBuffers[0].mDataByteSize;
        log->allocations[index] = test::allocationsOnThisThread();
    }
    if ((time->mFlags & kAudioTimeStampSampleHostTimeValid) != kAudioTimeStampSampleHostTimeValid) {
        log->badFlags = true;
    }
    auto* out = static_cast<float*>(buffers->mBuffers[0].mData);
    const UInt32 channels = buffers->mBuffers[0].mNumberChannels;
    for (UInt32 f = 0; f < frames; ++f) {
        for (UInt32 c = 0; c < channels; ++c) {
            out[f * channels + c] = static_cast<float>(time->mSampleTime + f + c / 10.0);
        }
    }
    log->callbacks.store(call + 1, std::memory_order_release);
    if (call + 1 == log->stopAfter.load(std::memory_order_relaxed)) {
        AudioOutputUnitStop(log->unit);
    }
    return noErr;
}

class OutputUnitRun : public CoreAudioTest {
  protected:
    // Starts a unit on the device with `clientChannels` and the recording callback.
    AudioUnit startUnit(const std::string& uid, UInt32 clientChannels, size_t slots) {
        log_.sampleTimes.assign(slots, 0);
        log_.hostTimes.assign(slots, 0);
        log_.arrivals.assign(slots, 0);
        log_.frameCounts.assign(slots, 0);
        log_.shapes.assign(slots, 0);
        log_.allocations.assign(slots, -1);
        AudioUnit unit = newOutputUnit();
        AudioDeviceID device = deviceWithUid(uid);
        const auto format = floatFormat(clientChannels);
        const AURenderCallbackStruct callback{recordingRender, &log_};
        log_.unit = unit;
        EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                       kAudioUnitScope_Global, 0, &device, sizeof device),
                  noErr);
        EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input,
                                       0, &format, sizeof format),
                  noErr);
        EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback,
                                       kAudioUnitScope_Input, 0, &callback, sizeof callback),
                  noErr);
        EXPECT_EQ(AudioUnitInitialize(unit), noErr);
        EXPECT_EQ(AudioOutputUnitStart(unit), noErr);
        return unit;
    }

    bool waitForCallbacks(int count, int timeoutMs = 5000) {
        const int64_t end = monotonicNs() + int64_t{timeoutMs} * 1'000'000;
        while (log_.callbacks.load(std::memory_order_acquire) < count) {
            if (monotonicNs() > end) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    RenderLog log_;
};

TEST_F(OutputUnitRun, CallbacksAreTimedShapedAndRecordedInTheRing) {
    useDevices({{"a.device", deviceFile("dev-a", 4, 4, "buffer_frames=64\n")}});
    AudioUnit unit = startUnit("dev-a", 2, 64);
    ASSERT_TRUE(waitForCallbacks(40));
    ASSERT_EQ(AudioOutputUnitStop(unit), noErr);
    UInt32 running = 1;
    UInt32 size = sizeof running;
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global,
                                   0, &running, &size),
              noErr);
    EXPECT_EQ(running, 0U);
    const int calls = log_.callbacks.load(std::memory_order_acquire);
    const auto recorded = static_cast<size_t>(std::min(calls, 64));

    EXPECT_FALSE(log_.badFlags);
    for (size_t i = 0; i < recorded; ++i) {
        EXPECT_EQ(log_.frameCounts[i], 64U);
        EXPECT_EQ(log_.shapes[i], 1U * 1000000 + 2U * 100000 + 64U * 2 * 4);
        EXPECT_EQ(log_.sampleTimes[i], 64.0 * static_cast<double>(i));
        // Host time is the buffer's nominal time: never after the callback runs.
        EXPECT_LE(static_cast<int64_t>(log_.hostTimes[i]), log_.arrivals[i]);
        if (i > 0) {
            const double spacingNs = static_cast<double>(log_.hostTimes[i] - log_.hostTimes[i - 1]);
            EXPECT_NEAR(spacingNs, 64.0 / 48000.0 * 1e9, 2.0);
        }
        if (i > 2) {
            EXPECT_EQ(log_.allocations[i], log_.allocations[2]) << "callback " << i;
        }
    }

    // The ring holds exactly what was rendered: two channels from the callback, two silent.
    std::string error;
    const auto ring = RingFileReader::open(ringFilePath(folder_, "dev-a"), &error);
    ASSERT_NE(ring, nullptr) << error;
    ASSERT_EQ(ring->writtenFrames(), 64U * static_cast<uint64_t>(calls));
    std::vector<float> frames(ring->writtenFrames() * 4);
    ASSERT_EQ(ring->read(0, ring->writtenFrames(), frames.data()), RingFileReader::Read::Ok);
    for (uint64_t t = 0; t < ring->writtenFrames(); ++t) {
        ASSERT_EQ(frames[4 * t], static_cast<float>(t)) << "frame " << t;
        ASSERT_EQ(frames[4 * t + 1], static_cast<float>(static_cast<double>(t) + 0.1))
            << "frame " << t;
        ASSERT_EQ(frames[4 * t + 2], 0.0f) << "frame " << t;
        ASSERT_EQ(frames[4 * t + 3], 0.0f) << "frame " << t;
    }
    // Readers learn when each frame played: the host time of the callback that rendered it.
    const auto timing = ring->timing();
    ASSERT_TRUE(timing);
    for (size_t i = 0; i < recorded; ++i) {
        EXPECT_NEAR(static_cast<double>(timing->hostTimeOf(64 * i)),
                    static_cast<double>(log_.hostTimes[i]), 1.0)
            << "callback " << i;
    }
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
}

TEST_F(OutputUnitRun, CallbackMayStopItsOwnUnit) {
    useDevices({{"a.device", deviceFile("dev-a", 2, 2, "buffer_frames=32\n")}});
    log_.stopAfter.store(3);
    AudioUnit unit = startUnit("dev-a", 2, 8);
    ASSERT_TRUE(waitForCallbacks(3));
    UInt32 running = 1;
    for (int attempt = 0; attempt < 1000 && running != 0; ++attempt) {
        UInt32 size = sizeof running;
        ASSERT_EQ(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_IsRunning,
                                       kAudioUnitScope_Global, 0, &running, &size),
                  noErr);
        std::this_thread::yield();
    }
    EXPECT_EQ(running, 0U);
    EXPECT_EQ(log_.callbacks.load(), 3);
    // It starts again after such a stop.
    log_.stopAfter.store(0);
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
    EXPECT_TRUE(waitForCallbacks(5));
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
}

// Spends most of each buffer period inside the callback.
struct BusyRender {
    std::atomic<int> callbacks{0};
    std::atomic<bool> inside{false};
};

OSStatus busyRender(void* context, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                    UInt32, AudioBufferList*) {
    auto* state = static_cast<BusyRender*>(context);
    state->inside.store(true);
    const int64_t end = monotonicNs() + 500'000;
    while (monotonicNs() < end) {
    }
    state->callbacks.fetch_add(1);
    state->inside.store(false);
    return noErr;
}

TEST_F(CoreAudioTest, StopReturnsOnlyOnceNoCallbackRuns) {
    useDevices({{"a.device", deviceFile("dev-a", 2, 2, "buffer_frames=32\n")}});
    BusyRender state;
    AudioUnit unit = newOutputUnit();
    const AURenderCallbackStruct callback{busyRender, &state};
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback,
                                   kAudioUnitScope_Input, 0, &callback, sizeof callback),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    for (int round = 0; round < 20; ++round) {
        const int before = state.callbacks.load();
        ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
        while (state.callbacks.load() < before + 3) {
            std::this_thread::yield();
        }
        ASSERT_EQ(AudioOutputUnitStop(unit), noErr);
        ASSERT_FALSE(state.inside.load()) << "round " << round;
    }
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
}

// Blocks in the callback until the test thread has made control calls; if the pacing thread
// held a lock those calls need, they could not finish.
struct BlockingRender {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> timedOut{false};
};

OSStatus blockingRender(void* context, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                        UInt32, AudioBufferList*) {
    auto* state = static_cast<BlockingRender*>(context);
    if (state->entered.exchange(true)) {
        return noErr;
    }
    const int64_t end = monotonicNs() + 2'000'000'000;
    while (!state->release.load(std::memory_order_acquire)) {
        if (monotonicNs() > end) {
            state->timedOut.store(true);
            return noErr;
        }
        std::this_thread::yield();
    }
    return noErr;
}

TEST_F(CoreAudioTest, ControlCallsDoNotWaitForARunningCallback) {
    useDevices({{"a.device", deviceFile("dev-a", 2, 2, "buffer_frames=32\noutput_volume=1\n")}});
    BlockingRender state;
    AudioUnit unit = newOutputUnit();
    const AURenderCallbackStruct callback{blockingRender, &state};
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback,
                                   kAudioUnitScope_Input, 0, &callback, sizeof callback),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
    while (!state.entered.load()) {
        std::this_thread::yield();
    }
    UInt32 running = 0;
    UInt32 size = sizeof running;
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global,
                                   0, &running, &size),
              noErr);
    EXPECT_EQ(running, 1U);
    EXPECT_EQ(deviceIds().size(), 1U);
    const Float32 volume = 0.5f;
    const auto where = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput);
    EXPECT_EQ(
        AudioObjectSetPropertyData(deviceIds().at(0), &where, 0, nullptr, sizeof volume, &volume),
        noErr);
    state.release.store(true, std::memory_order_release);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
    EXPECT_FALSE(state.timedOut.load());
}

// Real time, about 2.5 s: the pacing follows the device's own clock rate.
TEST_F(OutputUnitRun, DeviceClockRunsAtItsConfiguredRate) {
    useDevices({{"fast.device", deviceFile("fast", 2, 2, "buffer_frames=256\nrate_ppm=500\n")}});
    constexpr size_t kCallbacks = 470;  // 256 frames each: about 2.5 s
    AudioUnit unit = startUnit("fast", 2, kCallbacks);
    ASSERT_TRUE(waitForCallbacks(static_cast<int>(kCallbacks), 10000));
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);

    // Frames delivered against CLOCK_MONOTONIC at arrival. A callback is never early but may be
    // late by any amount, so each end of the run is represented by its least late callback.
    const auto leastLate = [&](size_t from, size_t to) {
        size_t best = from;
        double bestResidual = 1e300;
        for (size_t i = from; i < to; ++i) {
            const double residual =
                static_cast<double>(log_.arrivals[i]) - log_.sampleTimes[i] / 48000.0 * 1e9;
            if (residual < bestResidual) {
                bestResidual = residual;
                best = i;
            }
        }
        return best;
    };
    const size_t early = leastLate(0, kCallbacks / 5);
    const size_t late = leastLate(kCallbacks * 4 / 5, kCallbacks);
    const double measured =
        (log_.sampleTimes[late] - log_.sampleTimes[early]) /
        (static_cast<double>(log_.arrivals[late] - log_.arrivals[early]) / 1e9) / 48000.0;
    EXPECT_NEAR(measured, 1.0005, 0.0001);

    // The time stamps tell the same rate exactly.
    const double stamped =
        (log_.sampleTimes.back() - log_.sampleTimes.front()) /
        (static_cast<double>(log_.hostTimes.back() - log_.hostTimes.front()) / 1e9) / 48000.0;
    EXPECT_NEAR(stamped, 1.0005, 1e-6);
}

}  // namespace
}  // namespace vocari
