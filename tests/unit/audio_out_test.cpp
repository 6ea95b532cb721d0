// The output unit: the render callback driven directly with buffers of our own, and AudioOut
// started on scripted simulated devices.

#include "audio_out.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "clock.h"
#include "lock_counter.h"
#include "recording_sink.h"
#include "session_table.h"
#include "temp_dir.h"
#include "vocari/ring_file.h"
#include "vocari/sim_audio.h"

namespace vocari {
namespace {

using test::RecordingSink;
using test::TempDir;

constexpr double kRate = 48000.0;
constexpr int64_t kNow = 1'000'000'000;

// A device buffer of `channels` interleaved floats per frame, with guard floats after the
// frames that no render may touch. Starts full of a marker value, so silence shows.
class DeviceBuffer {
  public:
    static constexpr float kMarker = 7.0f;
    static constexpr std::size_t kGuard = 64;

    DeviceBuffer(uint32_t channels, UInt32 frames)
        : channels_(channels),
          data_(static_cast<std::size_t>(channels) * frames + kGuard, kMarker) {
        list_.mNumberBuffers = 1;
        list_.mBuffers[0] =
            AudioBuffer{channels, static_cast<UInt32>(4 * channels * frames), data_.data()};
    }

    AudioBufferList* list() { return &list_; }
    AudioBuffer& buffer() { return list_.mBuffers[0]; }

    std::vector<float> channel(uint32_t c, UInt32 frames) const {
        std::vector<float> out(frames);
        for (UInt32 f = 0; f < frames; ++f) {
            out[f] = data_[static_cast<std::size_t>(f) * channels_ + c];
        }
        return out;
    }
    // Floats [from, to) of the storage, guard included.
    bool all(std::size_t from, std::size_t to, float value) const {
        return std::all_of(data_.begin() + static_cast<std::ptrdiff_t>(from),
                           data_.begin() + static_cast<std::ptrdiff_t>(to),
                           [&](float v) { return v == value; });
    }
    bool guardIntact() const { return all(data_.size() - kGuard, data_.size(), kMarker); }
    std::size_t floats() const { return data_.size() - kGuard; }

  private:
    uint32_t channels_;
    std::vector<float> data_;
    AudioBufferList list_{};
};

// A phone in a slot of the table, with a twin consumer on its own ring fed the same audio:
// what the twin plays is what the renderer must put on the phone's channels.
class Phone {
  public:
    Phone(Session* session, float scale) : session_(session), scale_(scale) {
        session_->jitter->requestPreset(static_cast<uint32_t>(BufferPreset::Fixed), 60);
        twin_.requestPreset(static_cast<uint32_t>(BufferPreset::Fixed), 60);
        // 125 ms: more than the 60 ms buffer, so the first pull plays, and that buffer lasts
        // several callbacks without more audio.
        write(6000);
    }

    Session& session() { return *session_; }

    // Appends `frames` frames of a ramp to both rings; left and right differ in sign.
    void write(uint64_t frames) {
        std::vector<float> block;
        block.reserve(2 * frames);
        for (uint64_t i = 0; i < frames; ++i, ++next_) {
            const float v = scale_ * static_cast<float>(next_ % 997 + 1) / 997.0f;
            block.push_back(v);
            block.push_back(-0.5f * v);
        }
        ASSERT_EQ(session_->ring.write(block.data(), block.size()), block.size());
        ASSERT_EQ(twinRing_.write(block.data(), block.size()), block.size());
    }

    // What the phone's consumer must have played in the callback just made.
    std::vector<float> expected(UInt32 frames, double deviceRatio = 1.0) {
        std::vector<float> out(2 * static_cast<std::size_t>(frames));
        twin_.setDeviceRatio(deviceRatio, deviceRatio != 1.0);
        twin_.pull(out.data(), frames);
        return out;
    }

    uint64_t depth() const { return session_->ring.depth(); }

  private:
    Session* session_;
    float scale_;
    uint64_t next_ = 0;
    SampleRing twinRing_;
    JitterConsumer twin_{twinRing_, kRate, 45.0};
};

std::vector<float> left(const std::vector<float>& stereo) {
    std::vector<float> out;
    for (std::size_t i = 0; i < stereo.size(); i += 2) {
        out.push_back(stereo[i]);
    }
    return out;
}
std::vector<float> right(const std::vector<float>& stereo) {
    std::vector<float> out;
    for (std::size_t i = 1; i < stereo.size(); i += 2) {
        out.push_back(stereo[i]);
    }
    return out;
}
std::vector<float> sum(const std::vector<float>& a, const std::vector<float>& b) {
    std::vector<float> out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        out[i] = a[i] + b[i];
    }
    return out;
}
bool hasSound(const std::vector<float>& samples) {
    return std::any_of(samples.begin(), samples.end(), [](float v) { return v != 0.0f; });
}

AudioTimeStamp stamp(double sampleTime, uint64_t hostTime, UInt32 flags) {
    AudioTimeStamp t{};
    t.mSampleTime = sampleTime;
    t.mHostTime = hostTime;
    t.mFlags = flags;
    return t;
}
constexpr UInt32 kBothValid = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;

// Two buffers where the device expects one.
struct TwoBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[2];
};
static_assert(offsetof(TwoBufferList, mBuffers) == offsetof(AudioBufferList, mBuffers));

class RenderTest : public ::testing::Test {
  protected:
    SessionTable table{kRate, 45.0};
    std::vector<std::unique_ptr<Phone>> phones;

    // An Active phone whose pair starts at device channel `base` (set the way a pin moves it).
    Phone& addPhone(int base) {
        Session* session = table.claim(0, SessionTable::kSlots, 0, kNow);
        EXPECT_NE(session, nullptr);
        session->channel.store(base);
        phones.push_back(
            std::make_unique<Phone>(session, 0.1f * static_cast<float>(phones.size() + 1)));
        return *phones.back();
    }

    // Timestamps of a device whose clock runs `ppm` fast, one per callback of `frames`, from
    // the first callback until `seconds` of host time have passed. Returns the renderer's
    // validity after each callback together with the host time elapsed.
    static std::vector<std::pair<double, bool>> runDeviceClock(OutputRenderer& renderer, double ppm,
                                                               double seconds,
                                                               UInt32 flags = kBothValid) {
        constexpr UInt32 kFrames = 512;
        constexpr uint64_t kStartNs = 5'000'000'000;
        const double deviceRate = kRate * (1.0 + ppm * 1e-6);
        DeviceBuffer device(2, kFrames);
        std::vector<std::pair<double, bool>> seen;
        for (double sample = 0.0;; sample += kFrames) {
            const double elapsed = sample / deviceRate;
            if (elapsed > seconds) {
                break;
            }
            const auto host = kStartNs + static_cast<uint64_t>(std::llround(elapsed * 1e9));
            const AudioTimeStamp t = stamp(sample, host, flags);
            renderer.render(&t, kFrames, device.list());
            seen.emplace_back(elapsed, renderer.measuredRatioValid());
        }
        return seen;
    }
};

TEST_F(RenderTest, StereoDeviceWithOnePhonePlaysItWhateverItsBase) {
    OutputRenderer renderer(&table, kRate, 2, 4096);
    Phone& phone = addPhone(6);
    for (int callback = 0; callback < 3; ++callback) {
        DeviceBuffer device(2, 512);
        ASSERT_EQ(renderer.render(nullptr, 512, device.list()), noErr);
        const auto expected = phone.expected(512);
        ASSERT_TRUE(hasSound(expected));
        EXPECT_EQ(device.channel(0, 512), left(expected));
        EXPECT_EQ(device.channel(1, 512), right(expected));
        EXPECT_TRUE(device.guardIntact());
    }
    // Played straight into the device's buffer, a lone phone needs no scratch space: a
    // callback above the scratch size still plays.
    OutputRenderer small(&table, kRate, 2, 256);
    DeviceBuffer device(2, 1024);
    small.render(nullptr, 1024, device.list());
    const auto expected = phone.expected(1024);
    EXPECT_EQ(device.channel(0, 1024), left(expected));
    EXPECT_EQ(device.channel(1, 1024), right(expected));
    EXPECT_TRUE(device.guardIntact());
}

TEST_F(RenderTest, StereoDeviceMixesPairZeroAndLeavesOtherPairsQueued) {
    OutputRenderer renderer(&table, kRate, 2, 4096);
    Phone& a = addPhone(0);
    Phone& elsewhere = addPhone(2);
    const uint64_t queued = elsewhere.depth();
    {
        // Two phones active: the lone-phone path is off, and only pair 0 fits the device.
        DeviceBuffer device(2, 480);
        renderer.render(nullptr, 480, device.list());
        const auto expected = a.expected(480);
        EXPECT_EQ(device.channel(0, 480), left(expected));
        EXPECT_EQ(device.channel(1, 480), right(expected));
    }
    Phone& b = addPhone(0);
    for (int callback = 0; callback < 3; ++callback) {
        DeviceBuffer device(2, 480);
        renderer.render(nullptr, 480, device.list());
        const auto mixed = sum(a.expected(480), b.expected(480));
        EXPECT_EQ(device.channel(0, 480), left(mixed));
        EXPECT_EQ(device.channel(1, 480), right(mixed));
        EXPECT_TRUE(device.guardIntact());
        a.write(480);
        b.write(480);
    }
    EXPECT_EQ(elsewhere.depth(), queued);
    EXPECT_FALSE(elsewhere.session().jitter->primed());
}

TEST_F(RenderTest, MultichannelDevicePlacesEachPairAndSkipsPairsPastTheEnd) {
    OutputRenderer renderer(&table, kRate, 16, 4096);
    Phone& first = addPhone(0);
    Phone& last = addPhone(14);
    Phone& beyond = addPhone(16);
    const uint64_t queued = beyond.depth();
    for (int callback = 0; callback < 2; ++callback) {
        DeviceBuffer device(16, 300);
        renderer.render(nullptr, 300, device.list());
        const auto one = first.expected(300);
        const auto two = last.expected(300);
        EXPECT_EQ(device.channel(0, 300), left(one));
        EXPECT_EQ(device.channel(1, 300), right(one));
        EXPECT_EQ(device.channel(14, 300), left(two));
        EXPECT_EQ(device.channel(15, 300), right(two));
        for (uint32_t c = 2; c < 14; ++c) {
            EXPECT_FALSE(hasSound(device.channel(c, 300))) << "channel " << c;
        }
        EXPECT_TRUE(device.guardIntact());
    }
    EXPECT_EQ(beyond.depth(), queued);
}

TEST_F(RenderTest, MultichannelPairSharedByTwoPhonesMixesThemAsAStereoDeviceDoes) {
    OutputRenderer renderer(&table, kRate, 8, 4096);
    Phone& earlier = addPhone(4);
    Phone& later = addPhone(4);
    DeviceBuffer device(8, 256);
    renderer.render(nullptr, 256, device.list());
    const auto mixed = sum(earlier.expected(256), later.expected(256));
    EXPECT_EQ(device.channel(4, 256), left(mixed));
    EXPECT_EQ(device.channel(5, 256), right(mixed));
}

TEST_F(RenderTest, BasesThatWrapInUnsignedArithmeticAreNeverRendered) {
    for (const uint32_t channels : {2u, 16u}) {
        SCOPED_TRACE(channels);
        phones.clear();
        for (int i = 0; i < SessionTable::kSlots; ++i) {
            table.session(i).close();
        }
        table.releaseClosing();
        OutputRenderer renderer(&table, kRate, channels, 4096);
        Phone& good = addPhone(0);
        Phone& minusTwo = addPhone(-2);
        Phone& minusOne = addPhone(-1);
        const uint64_t queued = minusTwo.depth();
        DeviceBuffer device(channels, 256);
        renderer.render(nullptr, 256, device.list());
        const auto expected = good.expected(256);
        EXPECT_EQ(device.channel(0, 256), left(expected));
        EXPECT_EQ(device.channel(1, 256), right(expected));
        EXPECT_EQ(minusTwo.depth(), queued);
        EXPECT_EQ(minusOne.depth(), queued);
        EXPECT_TRUE(device.guardIntact());
    }
}

TEST_F(RenderTest, CallbackLargerThanTheScratchIsSilentAndPullsNobody) {
    OutputRenderer renderer(&table, kRate, 16, 256);
    Phone& a = addPhone(0);
    Phone& b = addPhone(6);
    const uint64_t queued = a.depth();
    DeviceBuffer oversized(16, 257);
    renderer.render(nullptr, 257, oversized.list());
    EXPECT_TRUE(oversized.all(0, oversized.floats(), 0.0f));
    EXPECT_TRUE(oversized.guardIntact());
    EXPECT_EQ(a.depth(), queued);
    EXPECT_EQ(b.depth(), queued);

    // The next callback that fits plays from where the phones were.
    DeviceBuffer fits(16, 256);
    renderer.render(nullptr, 256, fits.list());
    const auto expected = b.expected(256);
    ASSERT_TRUE(hasSound(expected));
    EXPECT_EQ(fits.channel(6, 256), left(expected));

    // The same on a stereo device with phones to mix.
    OutputRenderer stereo(&table, kRate, 2, 256);
    const uint64_t depthA = a.depth();
    DeviceBuffer stereoBuffer(2, 512);
    stereo.render(nullptr, 512, stereoBuffer.list());
    EXPECT_TRUE(stereoBuffer.all(0, stereoBuffer.floats(), 0.0f));
    EXPECT_EQ(a.depth(), depthA);
}

TEST_F(RenderTest, BuffersOfTheWrongShapeGiveSilenceAndPullNobody) {
    OutputRenderer renderer(&table, kRate, 16, 4096);
    Phone& phone = addPhone(2);
    const uint64_t queued = phone.depth();

    EXPECT_EQ(renderer.render(nullptr, 128, nullptr), noErr);

    DeviceBuffer empty(16, 128);
    empty.list()->mNumberBuffers = 0;
    EXPECT_EQ(renderer.render(nullptr, 128, empty.list()), noErr);
    EXPECT_TRUE(empty.all(0, empty.floats(), DeviceBuffer::kMarker));  // nothing to fill

    std::vector<float> first(16 * 128, 1.0f);
    std::vector<float> second(16 * 128, 1.0f);
    TwoBufferList two{2,
                      {AudioBuffer{16, static_cast<UInt32>(first.size() * 4), first.data()},
                       AudioBuffer{16, static_cast<UInt32>(second.size() * 4), second.data()}}};
    EXPECT_EQ(renderer.render(nullptr, 128, reinterpret_cast<AudioBufferList*>(&two)), noErr);
    EXPECT_FALSE(hasSound(first));
    EXPECT_FALSE(hasSound(second));
    two.mBuffers[0].mData = nullptr;  // a buffer without data is passed over
    std::fill(second.begin(), second.end(), 1.0f);
    renderer.render(nullptr, 128, reinterpret_cast<AudioBufferList*>(&two));
    EXPECT_FALSE(hasSound(second));

    DeviceBuffer wrongChannels(16, 128);
    wrongChannels.buffer().mNumberChannels = 2;
    renderer.render(nullptr, 128, wrongChannels.list());
    EXPECT_TRUE(wrongChannels.all(0, wrongChannels.floats(), 0.0f));
    EXPECT_TRUE(wrongChannels.guardIntact());

    DeviceBuffer noData(16, 128);
    noData.buffer().mData = nullptr;
    EXPECT_EQ(renderer.render(nullptr, 128, noData.list()), noErr);

    // Room for 64 frames, asked for 128: what the buffer holds is silenced, nothing past it.
    DeviceBuffer tooSmall(16, 128);
    tooSmall.buffer().mDataByteSize = 4 * 16 * 64;
    renderer.render(nullptr, 128, tooSmall.list());
    EXPECT_TRUE(tooSmall.all(0, 16 * 64, 0.0f));
    EXPECT_TRUE(tooSmall.all(16 * 64, tooSmall.floats(), DeviceBuffer::kMarker));

    EXPECT_EQ(phone.depth(), queued);
}

TEST_F(RenderTest, WithoutATableTheDeviceGetsSilence) {
    OutputRenderer renderer(nullptr, kRate, 4, 4096);
    DeviceBuffer device(4, 128);
    EXPECT_EQ(renderer.render(nullptr, 128, device.list()), noErr);
    EXPECT_TRUE(device.all(0, device.floats(), 0.0f));
    EXPECT_TRUE(device.guardIntact());
}

TEST_F(RenderTest, ClosingSlotsAreFreedAndNotPlayed) {
    OutputRenderer renderer(&table, kRate, 2, 4096);
    Phone& staying = addPhone(0);
    Phone& leaving = addPhone(0);
    ASSERT_TRUE(leaving.session().close());
    const uint64_t queued = leaving.depth();
    DeviceBuffer device(2, 256);
    renderer.render(nullptr, 256, device.list());
    EXPECT_EQ(leaving.session().state.load(), SessionState::Free);
    EXPECT_EQ(staying.session().state.load(), SessionState::Active);
    EXPECT_EQ(leaving.depth(), queued);
    const auto expected = staying.expected(256);  // alone now: played as the device's output
    EXPECT_EQ(device.channel(0, 256), left(expected));
}

TEST_F(RenderTest, LastRenderTimeIsTheBuffersHostTimeElseTheClock) {
    OutputRenderer renderer(&table, kRate, 2, 4096);
    DeviceBuffer device(2, 64);
    const AudioTimeStamp both = stamp(0.0, 123'456'789'000, kBothValid);
    renderer.render(&both, 64, device.list());
    EXPECT_EQ(table.lastRenderNs.load(), 123'456'789'000);
    const AudioTimeStamp hostOnly = stamp(0.0, 223'456'789'000, kAudioTimeStampHostTimeValid);
    renderer.render(&hostOnly, 64, device.list());
    EXPECT_EQ(table.lastRenderNs.load(), 223'456'789'000);

    for (const bool withStamp : {true, false}) {
        const AudioTimeStamp sampleOnly = stamp(0.0, 99, kAudioTimeStampSampleTimeValid);
        const int64_t before = monotonicNowNs();
        renderer.render(withStamp ? &sampleOnly : nullptr, 64, device.list());
        const int64_t after = monotonicNowNs();
        EXPECT_GE(table.lastRenderNs.load(), before);
        EXPECT_LE(table.lastRenderNs.load(), after);
    }
}

TEST_F(RenderTest, DeviceClockIsMeasuredOnlyFromFullTimestamps) {
    for (const UInt32 flags : {kAudioTimeStampSampleTimeValid, kAudioTimeStampHostTimeValid}) {
        OutputRenderer renderer(&table, kRate, 2, 4096);
        const auto seen = runDeviceClock(renderer, 500.0, 40.0, flags);
        EXPECT_GT(seen.back().first, 39.9);
        EXPECT_FALSE(renderer.measuredRatioValid());
        EXPECT_EQ(renderer.measuredRatio(), 1.0);
    }
}

TEST_F(RenderTest, FastDeviceIsMeasuredAfterThirtySeconds) {
    OutputRenderer renderer(&table, kRate, 2, 4096);
    const auto seen = runDeviceClock(renderer, 500.0, 31.0);
    for (const auto& [elapsed, valid] : seen) {
        if (elapsed < 29.999) {
            ASSERT_FALSE(valid) << elapsed;
        } else if (elapsed > 30.001) {
            ASSERT_TRUE(valid) << elapsed;
        }
    }
    EXPECT_NEAR(renderer.measuredRatio(), 1.0005, 1e-7);
}

TEST_F(RenderTest, ImplausibleDeviceClocksAreIgnored) {
    OutputRenderer twoPercentFast(&table, kRate, 2, 4096);
    runDeviceClock(twoPercentFast, 20000.0, 35.0);
    EXPECT_FALSE(twoPercentFast.measuredRatioValid());
    EXPECT_EQ(twoPercentFast.measuredRatio(), 1.0);

    // A sample time that jumps a whole second ahead leaves the last good figure in place.
    OutputRenderer renderer(&table, kRate, 2, 4096);
    runDeviceClock(renderer, 500.0, 31.0);
    const double good = renderer.measuredRatio();
    ASSERT_NEAR(good, 1.0005, 1e-7);
    DeviceBuffer device(2, 64);
    const AudioTimeStamp jumped = stamp(33.0 * 48024.0, 5'000'000'000 + 32'000'000'000, kBothValid);
    renderer.render(&jumped, 64, device.list());
    EXPECT_EQ(renderer.measuredRatio(), good);
    EXPECT_TRUE(renderer.measuredRatioValid());
}

TEST_F(RenderTest, MeasuredDeviceRatioReachesEveryPulledConsumer) {
    OutputRenderer wide(&table, kRate, 16, 4096);
    runDeviceClock(wide, 500.0, 31.0);  // no phone yet: nothing pulled
    ASSERT_TRUE(wide.measuredRatioValid());
    for (int pair = 0; pair < SessionTable::kSlots; ++pair) {
        addPhone(2 * pair);
    }
    for (int callback = 0; callback < 3; ++callback) {
        DeviceBuffer device(16, 512);
        wide.render(nullptr, 512, device.list());
        for (std::size_t p = 0; p < phones.size(); ++p) {
            const auto expected = phones[p]->expected(512, wide.measuredRatio());
            EXPECT_EQ(device.channel(static_cast<uint32_t>(2 * p), 512), left(expected)) << p;
            EXPECT_EQ(device.channel(static_cast<uint32_t>(2 * p + 1), 512), right(expected)) << p;
            phones[p]->write(512);
        }
    }
    // Each step is (1 + trim) / device ratio; the trim is shown truncated to whole ppm.
    for (const auto& phone : phones) {
        const JitterConsumer& consumer = *phone->session().jitter;
        EXPECT_NEAR((1.0 + consumer.trimPpm() * 1e-6) / consumer.step(), wide.measuredRatio(),
                    2e-6);
    }
}

TEST_F(RenderTest, MeasuredDeviceRatioReachesTheLonePhoneOnAStereoDevice) {
    OutputRenderer stereo(&table, kRate, 2, 4096);
    runDeviceClock(stereo, -500.0, 31.0);
    ASSERT_NEAR(stereo.measuredRatio(), 0.9995, 1e-7);
    Phone& phone = addPhone(4);
    DeviceBuffer device(2, 512);
    stereo.render(nullptr, 512, device.list());
    const auto expected = phone.expected(512, stereo.measuredRatio());
    EXPECT_EQ(device.channel(0, 512), left(expected));
    const JitterConsumer& consumer = *phone.session().jitter;
    EXPECT_NEAR((1.0 + consumer.trimPpm() * 1e-6) / consumer.step(), 0.9995, 2e-6);
}

// The real-time promise: whatever a callback meets, it neither allocates nor locks.
TEST_F(RenderTest, CallbacksNeitherAllocateNorLock) {
    static_assert(std::atomic<double>::is_always_lock_free);
    static_assert(std::atomic<int64_t>::is_always_lock_free);
    OutputRenderer renderer(&table, kRate, 16, 4096);
    for (int pair = 0; pair < SessionTable::kSlots; ++pair) {
        addPhone(2 * pair);
    }
    long allocated = 0;
    long freed = 0;
    long locked = 0;
    DeviceBuffer device(16, 4096);
    const auto render = [&](const AudioTimeStamp* t, UInt32 frames) {
        const long allocsBefore = vocari::test::allocationsInProcess();
        const long freesBefore = vocari::test::freesInProcess();
        const long locksBefore = vocari::test::locksOnThisThread();
        renderer.render(t, frames, device.list());
        allocated += vocari::test::allocationsInProcess() - allocsBefore;
        freed += vocari::test::freesInProcess() - freesBefore;
        locked += vocari::test::locksOnThisThread() - locksBefore;
    };
    const std::vector<float> audio(2 * 256, 0.25f);
    constexpr double kDeviceRate = 48024.0;
    for (int callback = 0; callback < 400; ++callback) {
        // Host time advances a tenth of a second per callback, so the clock measurement starts,
        // waits and is accepted within the run.
        const auto host = 1'000'000'000 + static_cast<uint64_t>(callback) * 100'000'000;
        const AudioTimeStamp t =
            stamp(static_cast<double>(callback) * 0.1 * kDeviceRate, host, kBothValid);
        const UInt32 frames = callback % 50 == 7 ? 0 : 256;
        render(callback % 3 == 0 ? nullptr : &t, frames);
        for (auto& phone : phones) {
            phone->session().ring.write(audio.data(), audio.size());
        }
        if (callback == 200) {
            phones[3]->session().close();  // freed by the next callback
        }
    }
    render(nullptr, 4096);  // the largest callback allowed
    device.buffer().mNumberChannels = 2;
    render(nullptr, 256);  // wrong shape
    EXPECT_TRUE(renderer.measuredRatioValid());
    EXPECT_EQ(phones[3]->session().state.load(), SessionState::Free);
    EXPECT_EQ(allocated, 0);
    EXPECT_EQ(freed, 0);
    EXPECT_EQ(locked, 0);

    // The counters do see what they count.
    const long allocsBefore = vocari::test::allocationsInProcess();
    auto probe = std::make_unique<int>(1);
    EXPECT_GT(vocari::test::allocationsInProcess(), allocsBefore);
    std::mutex mutex;
    const long locksBefore = vocari::test::locksOnThisThread();
    { const std::lock_guard lock(mutex); }
    table.claim(0, 8, 0, kNow);
    EXPECT_GE(vocari::test::locksOnThisThread() - locksBefore, 2);
}

// Claims, closes and writes racing the render thread, for the thread sanitizer's eyes; once
// every phone has closed, the next callbacks leave no slot Closing.
TEST_F(RenderTest, RenderRacesClaimsClosesAndWrites) {
    OutputRenderer renderer(&table, kRate, 16, 4096);
    std::atomic<bool> done{false};
    std::atomic<int> callbacks{0};
    std::thread renderThread([&] {
        DeviceBuffer device(16, 128);
        uint64_t host = 1'000'000'000;
        double sample = 0.0;
        while (!done.load(std::memory_order_acquire)) {
            const AudioTimeStamp t = stamp(sample, host, kBothValid);
            renderer.render(&t, 128, device.list());
            host += 2'666'666;
            sample += 128.0;
            callbacks.fetch_add(1, std::memory_order_release);
        }
    });
    std::vector<float> audio(2 * 960, 0.25f);
    int claimed = 0;
    for (int round = 0; round < 300; ++round) {
        if (Session* session = table.claim(round % 8, 8, 0, kNow)) {
            ++claimed;
            session->jitter->requestPreset(static_cast<uint32_t>(BufferPreset::Fixed), 20);
        }
        for (int i = 0; i < SessionTable::kSlots; ++i) {
            Session& session = table.session(i);
            if (session.isActive()) {
                session.ring.write(audio.data(), audio.size());
                session.ring.trimBacklog();
                if ((round + i) % 5 == 0) {
                    session.close();
                }
            }
        }
        const double ratio = renderer.measuredRatio();
        EXPECT_TRUE(ratio > 0.99 && ratio < 1.01) << ratio;
        // At least one callback a round, so closed slots come free for later claims even when
        // the render thread gets little of a loaded machine (sanitizers, two cores).
        const int before = callbacks.load(std::memory_order_acquire);
        while (callbacks.load(std::memory_order_acquire) == before) {
            std::this_thread::yield();
        }
    }
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        table.session(i).close();
    }
    const int seen = callbacks.load(std::memory_order_acquire);
    while (callbacks.load(std::memory_order_acquire) < seen + 2) {
        std::this_thread::yield();
    }
    done.store(true, std::memory_order_release);
    renderThread.join();
    EXPECT_GT(claimed, 8);
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        EXPECT_EQ(table.session(i).state.load(), SessionState::Free) << i;
    }
}

// AudioOut over a private folder of simulated devices.
class AudioOutTest : public ::testing::Test {
  protected:
    TempDir dir;
    RecordingSink out;
    RecordingSink err;
    SessionTable table{kRate, 45.0};

    void SetUp() override {
        setenv("VOCARI_AUDIO_DIR", dir.path().c_str(), 1);
        setenv("JACK_DEFAULT_SERVER", "vocari-test-none", 1);
        setenv("PIPEWIRE_REMOTE", "vocari-test-none", 1);
    }

    void addDevice(const std::string& uid, const std::string& name, const std::string& transport,
                   int in, int outChannels, const std::string& extra = "") {
        test::writeFile(dir.file(uid + ".device"),
                        "uid=" + uid + "\nname=" + name + "\ntransport=" + transport +
                            "\ninput_channels=" + std::to_string(in) +
                            "\noutput_channels=" + std::to_string(outChannels) + "\n" + extra);
    }
};

TEST_F(AudioOutTest, ScratchCoversTheDevicesBufferAndNeverLessThan4096Frames) {
    addDevice("big", "Loop Big", "virtual", 2, 2, "buffer_frames=8192\n");
    addDevice("small", "Loop Small", "virtual", 2, 2, "buffer_frames=512\n");
    for (const auto& [uid, frames] : {std::pair{"big", 8192u}, std::pair{"small", 4096u}}) {
        AudioOut output(out, err);
        ASSERT_TRUE(output.start(&table, kRate, OutputTarget{uid, 0, true}));
        EXPECT_EQ(output.deviceUid(), uid);
        EXPECT_EQ(output.maxFrames(), frames);
        output.stop();
    }
    EXPECT_TRUE(err.lines().empty());
}

TEST_F(AudioOutTest, VirtualDeviceIsAnnouncedWithTheInputHint) {
    addDevice("loop16", "Loop 16", "virtual", 16, 16);
    addDevice("spk", "Speakers", "builtin", 0, 2, "default_output=1\n");
    AudioOut output(out, err);
    ASSERT_TRUE(output.start(&table, kRate, OutputTarget{}));
    EXPECT_TRUE(output.isVirtual());
    EXPECT_EQ(output.channels(), 16u);
    EXPECT_EQ(output.pairs(), 8);
    EXPECT_EQ(output.deviceName(), "Loop 16");
    EXPECT_EQ(
        out.lines(),
        (std::vector<std::string>{
            "routing to VIRTUAL device: \"Loop 16\" @ 48000 Hz, 16 channels = 8 phone "
            "slots\n",
            "  --> select \"Loop 16\" as the INPUT device in your app to hear the phones\n"}));
    EXPECT_TRUE(err.lines().empty());
    output.stop();
    output.stop();  // nothing left to stop
}

TEST_F(AudioOutTest, WithoutLoopbackTheDefaultOutputGetsItsFirstTwoChannels) {
    // Neither is a loopback device: one plays only, the other has too few inputs.
    addDevice("usb", "USB Headset", "usb", 2, 2);
    addDevice("mono", "Virtual Mono In", "virtual", 1, 8);
    addDevice("surround", "Surround", "builtin", 0, 6, "default_output=1\n");
    AudioOut output(out, err);
    ASSERT_TRUE(output.start(&table, kRate, OutputTarget{"mono", 0, true}));
    EXPECT_FALSE(output.isVirtual());
    EXPECT_EQ(output.deviceUid(), "surround");
    EXPECT_EQ(output.channels(), 2u);
    EXPECT_EQ(out.lines(),
              (std::vector<std::string>{
                  "routing to default-output device: \"Surround\" @ 48000 Hz, 2 channels = 1 "
                  "phone slots\n",
                  "  (no loopback audio device found \u2014 install BlackHole, then apps can "
                  "select the phone as a mic)\n"}));
    output.stop();
}

TEST_F(AudioOutTest, EachFailureIsOneLineOnTheErrorSink) {
    {
        addDevice("mic", "USB Mic", "usb", 1, 0);  // nothing that can play
        AudioOut output(out, err);
        EXPECT_FALSE(output.start(&table, kRate, OutputTarget{}));
        EXPECT_EQ(err.lines(), std::vector<std::string>{"no output device\n"});
        output.stop();
    }
    {
        // More channels than an output unit takes from its client.
        addDevice("huge", "Loop 300", "virtual", 300, 300);
        err.clear();
        AudioOut output(out, err);
        EXPECT_FALSE(output.start(&table, kRate, OutputTarget{"huge", 0, true}));
        EXPECT_EQ(err.lines(), std::vector<std::string>{"set stream format failed\n"});
        output.stop();  // disposes of the unit left behind
    }
    {
        addDevice("loop", "Loop", "virtual", 2, 2);
        err.clear();
        AudioOut output(out, err);
        EXPECT_FALSE(output.start(&table, 44100.0, OutputTarget{"loop", 0, true}));
        EXPECT_EQ(err.lines(), std::vector<std::string>{"set stream format failed\n"});
        output.stop();
    }
    {
        // The device's ring file cannot be made: the unit cannot be initialised.
        ASSERT_EQ(mkdir(ringFilePath(dir.path(), "loop").c_str(), 0700), 0);
        err.clear();
        AudioOut output(out, err);
        EXPECT_FALSE(output.start(&table, kRate, OutputTarget{"loop", 0, true}));
        EXPECT_EQ(err.lines(), std::vector<std::string>{"AU init failed\n"});
        output.stop();
    }
    EXPECT_TRUE(out.lines().empty());
}

TEST_F(AudioOutTest, DestroyingARunningOutputStopsItsUnit) {
    addDevice("loop2", "Loop 2", "virtual", 2, 2, "buffer_frames=64\n");
    {
        AudioOut output(out, err);
        ASSERT_TRUE(output.start(&table, kRate, OutputTarget{}));
        while (table.lastRenderNs.load() == 0) {
            std::this_thread::yield();
        }
    }
    // No callback may reach the destroyed output (under the address sanitizer one would).
    const int64_t last = table.lastRenderNs.load();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_EQ(table.lastRenderNs.load(), last);
        std::this_thread::yield();
    }
}

// A render callback that stops its own unit once, counting the locks the stop takes there.
struct SelfStop {
    AudioUnit unit = nullptr;
    std::atomic<long> locks{-1};
};

OSStatus stopFromCallback(void* ref, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                          UInt32, AudioBufferList*) {
    auto* state = static_cast<SelfStop*>(ref);
    if (state->locks.load() < 0) {
        const long before = vocari::test::locksOnThisThread();
        AudioOutputUnitStop(state->unit);
        state->locks.store(vocari::test::locksOnThisThread() - before);
    }
    return noErr;
}

TEST_F(AudioOutTest, RenderThreadStopsItsOwnUnitWithoutALock) {
    addDevice("loop2", "Loop 2", "virtual", 2, 2, "buffer_frames=64\n");
    const auto devices = loopbackDevices();
    ASSERT_EQ(devices.size(), 1u);
    AudioComponentDescription description{};
    description.componentType = kAudioUnitType_Output;
    description.componentSubType = kAudioUnitSubType_HALOutput;
    description.componentManufacturer = kAudioUnitManufacturer_Apple;
    SelfStop state;
    ASSERT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &description), &state.unit),
              noErr);
    AudioStreamBasicDescription format{};
    format.mSampleRate = kRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = format.mBytesPerFrame = 8;
    format.mFramesPerPacket = 1;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    const AURenderCallbackStruct callback{stopFromCallback, &state};
    const AudioDeviceID device = devices[0].id;
    ASSERT_EQ(AudioUnitSetProperty(state.unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &device, sizeof device),
              noErr);
    ASSERT_EQ(AudioUnitSetProperty(state.unit, kAudioUnitProperty_StreamFormat,
                                   kAudioUnitScope_Input, 0, &format, sizeof format),
              noErr);
    ASSERT_EQ(AudioUnitSetProperty(state.unit, kAudioUnitProperty_SetRenderCallback,
                                   kAudioUnitScope_Input, 0, &callback, sizeof callback),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(state.unit), noErr);
    ASSERT_EQ(AudioOutputUnitStart(state.unit), noErr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (state.locks.load() < 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(state.locks.load(), 0);
    EXPECT_EQ(AudioComponentInstanceDispose(state.unit), noErr);
}

TEST_F(AudioOutTest, RunningUnitPlaysEachPhoneOnItsPairAndFreesClosingSlots) {
    addDevice("loop4", "Loop 4", "virtual", 4, 4, "buffer_frames=256\n");
    Session* phone = table.claim(1, 2, 0, kNow);
    ASSERT_NE(phone, nullptr);
    ASSERT_EQ(phone->channel.load(), 2);
    phone->jitter->requestPreset(static_cast<uint32_t>(BufferPreset::Fixed), 20);
    Session* leaving = table.claim(0, 2, 0, kNow);
    ASSERT_NE(leaving, nullptr);
    leaving->close();

    std::vector<float> audio;
    for (int f = 0; f < 480; ++f) {
        audio.push_back(0.25f);
        audio.push_back(-0.5f);
    }
    const std::string ring = ringFilePath(dir.path(), "loop4");
    const auto heard = [&] {
        std::string error;
        const auto snapshot = readLatestFrames(ring, 4800, &error);
        if (!snapshot) {
            return false;
        }
        for (std::size_t i = 0; i + 3 < snapshot->samples.size(); i += 4) {
            if (snapshot->samples[i + 2] == 0.25f) {
                return true;
            }
        }
        return false;
    };

    AudioOut output(out, err);
    ASSERT_TRUE(output.start(&table, kRate, OutputTarget{}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        if (phone->ring.depth() < 4800) {
            phone->ring.write(audio.data(), audio.size());
        }
        done = table.lastRenderNs.load() != 0 && leaving->state.load() == SessionState::Free &&
               heard();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    output.stop();
    ASSERT_TRUE(done);

    std::string error;
    const auto snapshot = readLatestFrames(ring, 4800, &error);
    ASSERT_TRUE(snapshot) << error;
    ASSERT_EQ(snapshot->channels, 4u);
    for (std::size_t i = 0; i + 3 < snapshot->samples.size(); i += 4) {
        ASSERT_EQ(snapshot->samples[i], 0.0f);
        ASSERT_EQ(snapshot->samples[i + 1], 0.0f);
        const bool silent = snapshot->samples[i + 2] == 0.0f && snapshot->samples[i + 3] == 0.0f;
        const bool phoneFrame =
            snapshot->samples[i + 2] == 0.25f && snapshot->samples[i + 3] == -0.5f;
        ASSERT_TRUE(silent || phoneFrame) << "frame " << i / 4;
    }
}

}  // namespace
}  // namespace vocari
