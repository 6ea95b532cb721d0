// vocari-phone: one or more simulated phones on the command line.
//
//   vocari-phone --code 123456 --name Pixel hello
//   vocari-phone --tcp --code 123456 hello pause bye
//   vocari-phone --code 123456 --codec opus --jitter-ms 5 --loss 1 hello stream bye
//   vocari-phone --code 123456 --phones 4 --seconds 10 hello stream bye

#include <arpa/inet.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth_link.h"
#include "phone_run.h"

namespace {

using vocari::phone::PhoneSetup;

// The address `index` places after `base` in its last octet; empty when that passes 255.
std::string nthAddress(const std::string& base, int index) {
    in_addr address{};
    if (inet_pton(AF_INET, base.c_str(), &address) != 1) {
        return {};
    }
    const uint32_t host = ntohl(address.s_addr);
    const uint32_t last = (host & 0xFF) + static_cast<uint32_t>(index);
    if (last > 0xFF) {
        return {};
    }
    address.s_addr = htonl((host & ~0xFFU) | last);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// Phone `index` of `count`: its own address, tone, device ID, name and random stream.
PhoneSetup nthPhone(const PhoneSetup& first, int index, int count, double toneStep) {
    PhoneSetup setup = first;
    setup.link.localAddress = nthAddress(first.link.localAddress, index);
    setup.toneHz = first.toneHz + toneStep * index;
    if (first.link.deviceId != 0) {
        setup.link.deviceId = first.link.deviceId + static_cast<uint32_t>(index);
    }
    if (count > 1) {
        setup.link.name = first.link.name + " " + std::to_string(index + 1);
        setup.nameLines = true;
    }
    setup.seed = first.seed + static_cast<uint64_t>(index);
    const auto colon = first.rtpCopy.rfind(':');
    if (index > 0 && colon != std::string::npos) {
        setup.rtpCopy = first.rtpCopy.substr(0, colon + 1) +
                        std::to_string(std::atoi(first.rtpCopy.c_str() + colon + 1) + index);
    }
    return setup;
}

// How long a Bluetooth phone waits for the app to open its channel.
constexpr int kBluetoothWaitMs = 60000;

}  // namespace

int main(int argc, char** argv) {
    using namespace vocari::phone;

    PhoneSetup setup;
    PhoneOptions& link = setup.link;
    bool tcp = false;
    bool bluetooth = false;
    std::string btAddress = "AA-BB-CC-DD-EE-01";
    int btChannel = 12;
    int btTestMs = 0;
    int preset = link.preset;
    int channels = 1;
    std::string codec = "pcm";
    int frames = 480;
    int frameMs = 20;
    std::string jitter = "normal";
    double toneStep = 110;
    int64_t epochMs = 1'000'000;
    int phones = 1;
    bool noTimeSync = false;

    CLI::App app{
        "Simulated Vocari phone: opens a session over UDP (Wi-Fi) or the TCP link (USB, "
        "Bluetooth), streams a tone or a WAV file as PCM or Opus through a simulated network, "
        "counts the receiver's HEARTBEATs and, over UDP, answers its time requests on port 5557 "
        "of the phone's address. Each phone ends with one line: \"<name>: sent N audio messages "
        "(L lost, D duplicated, R reordered), heard H heartbeats, answered T time requests\", "
        "where N counts every message made, the lost ones included."};
    app.add_flag("--tcp", tcp, "Use the TCP link (USB/Bluetooth) instead of UDP (Wi-Fi)");
    app.add_flag("--bluetooth", bluetooth,
                 "Be a Bluetooth phone in the simulated world of $VOCARI_BLUETOOTH_DIR: wait for "
                 "the app to open the RFCOMM channel, pass its link test, attach, and run the TCP "
                 "link through it");
    app.add_option("--bt-address", btAddress, "Bluetooth: this phone's address")
        ->capture_default_str();
    app.add_option("--bt-channel", btChannel, "Bluetooth: the RFCOMM channel offered")
        ->check(CLI::Range(1, 30))
        ->capture_default_str();
    app.add_option("--bt-test-ms", btTestMs,
                   "Bluetooth: the least time the link test takes, as over a slow radio link")
        ->check(CLI::Range(0, 60000))
        ->capture_default_str();
    app.add_option("--local", link.localAddress,
                   "UDP: local address to send from (phone i uses the last octet + i)")
        ->capture_default_str();
    app.add_option("--to", link.receiverAddress, "Receiver address")->capture_default_str();
    app.add_option("--port", link.port, "Receiver port")->capture_default_str();
    app.add_option("--code", link.pairingCode, "Pairing code presented in HELLO")->required();
    app.add_option("--preset", preset, "Buffer preset: 0 low, 1 balanced, 2 safe, 3 fixed")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    app.add_option("--fixed-ms", link.fixedMs, "Buffer length for the fixed preset")
        ->capture_default_str();
    app.add_option("--device-id", link.deviceId, "Stable device ID (0: none; phone i uses ID + i)")
        ->capture_default_str();
    app.add_option("--name", link.name, "Phone name (\"<name> <i+1>\" with several phones)")
        ->capture_default_str();
    app.add_option("--pause-ms", setup.pauseMs, "Length of each 'pause' action")
        ->check(CLI::Range(0, 3'600'000))
        ->capture_default_str();

    auto* tone = app.add_option("--tone", setup.toneHz, "Sine tone frequency in Hz")
                     ->check(CLI::Range(1.0, 24000.0))
                     ->capture_default_str();
    auto* level = app.add_option("--level", setup.level, "Tone peak amplitude, 0 to 1")
                      ->check(CLI::Range(0.0, 1.0))
                      ->capture_default_str();
    auto* step = app.add_option("--tone-step", toneStep, "Phone i plays --tone + i x this, in Hz")
                     ->capture_default_str();
    app.add_option("--wav", setup.wavPath,
                   "Play this 48000 Hz WAV file in a loop instead of the tone (its first one or "
                   "two channels)")
        ->check(CLI::ExistingFile)
        ->check(CLI::Validator([](std::string& path) { return vocari::phone::checkWavFile(path); },
                               "WAV", "48000 Hz WAV"))
        ->excludes(tone)
        ->excludes(level)
        ->excludes(step);
    app.add_option(
        "--rtp-copy", setup.rtpCopy,
        "UDP with Opus: also send every AUDIO copy as RTP (payload type 96) to this "
        "address:port, at the same moment, for a second receiver to compare with (phone i "
        "sends to port + i)");
    app.add_option("--clicks-every-ms", setup.clickEveryMs,
                   "Play silence with a click of --level at every multiple of this many ms of "
                   "the host's monotonic clock, heard by every phone at the same moment whatever "
                   "its own clock (to measure latency from the receiver's output)")
        ->check(CLI::Range(1, 3'600'000))
        ->excludes(tone)
        ->excludes(step)
        ->excludes("--wav");
    app.add_option("--channels", channels, "1 mono, 2 stereo (the same signal on L and R)")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str();
    app.add_option("--codec", codec, "pcm (16-bit) or opus")
        ->check(CLI::IsMember({"pcm", "opus"}))
        ->capture_default_str();
    auto* framesOption = app.add_option("--frames", frames, "PCM frames per message, 1 to 1024")
                             ->check(CLI::Range(1, 1024))
                             ->capture_default_str();
    auto* frameMsOption = app.add_option("--frame-ms", frameMs, "Opus frame length: 10 or 20 ms")
                              ->check(CLI::IsMember({10, 20}))
                              ->capture_default_str();
    auto* bitrateOption =
        app.add_option("--bitrate", setup.format.bitrate, "Opus bit rate in bits per second")
            ->check(CLI::Range(500, 512000))
            ->capture_default_str();
    app.add_option("--first-seq", setup.format.firstSequence,
                   "Sequence number of the first AUDIO message")
        ->capture_default_str();
    app.add_option("--seconds", setup.streamSeconds,
                   "Length of each 'stream' action, in seconds of the phone's clock")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    app.add_option("--hello-every-ms", setup.helloEveryMs,
                   "Repeat HELLO this often while streaming (0: never)")
        ->check(CLI::Range(0, 3'600'000))
        ->capture_default_str();

    app.add_option("--skew-ppm", setup.skewPpm,
                   "The phone clock's rate error: +100 runs 0.01 % fast and sends that much more "
                   "audio")
        ->check(CLI::Range(-10000.0, 10000.0))
        ->capture_default_str();
    app.add_option("--clock-epoch-ms", epochMs, "The phone clock's reading when the program starts")
        ->check(CLI::Range(int64_t{0}, int64_t{1'000'000'000'000}))
        ->capture_default_str();

    app.add_option("--delay-ms", setup.impairment.delayMs,
                   "Base one-way network delay; with the jitter it also delays time requests and "
                   "their answers, each way")
        ->check(CLI::Range(0.0, vocari::phone::kMaxDelayMs))
        ->capture_default_str();
    app.add_option("--jitter-ms", setup.impairment.jitterMs,
                   "Delay variation: the normal model's deviation, the Pareto model's scale")
        ->check(CLI::Range(0.0, vocari::phone::kMaxDelayMs))
        ->capture_default_str();
    app.add_option("--jitter", jitter,
                   "normal: delay + N(0, jitter), at least 0; pareto: delay + jitter x ((1 - "
                   "u)^(-1/shape) - 1), u uniform in [0, 1) (a heavy tail); either capped at "
                   "10 s")
        ->check(CLI::IsMember({"normal", "pareto"}))
        ->capture_default_str();
    app.add_option("--pareto-shape", setup.impairment.paretoShape,
                   "Shape of the Pareto delay (mean extra delay = jitter / (shape - 1))")
        ->check(CLI::Range(0.1, 100.0))
        ->capture_default_str();
    app.add_option("--loss", setup.impairment.lossPercent, "Random loss, percent of messages")
        ->check(CLI::Range(0.0, 100.0))
        ->capture_default_str();
    app.add_option("--burst-loss", setup.impairment.burstPercent,
                   "Percent chance per message of starting a loss burst")
        ->check(CLI::Range(0.0, 100.0))
        ->capture_default_str();
    app.add_option("--burst-length", setup.impairment.burstLength, "Mean messages per loss burst")
        ->check(CLI::Range(1.0, 1e6))
        ->capture_default_str();
    app.add_option("--reorder", setup.impairment.reorderPercent,
                   "Percent of messages held back and sent after the next one (TCP: held back "
                   "and then sent first, a stall)")
        ->check(CLI::Range(0.0, 100.0))
        ->capture_default_str();
    app.add_option("--duplicate", setup.impairment.duplicatePercent,
                   "Percent of messages sent twice")
        ->check(CLI::Range(0.0, 100.0))
        ->capture_default_str();
    app.add_option("--seed", setup.seed, "Seed of the simulated network (phone i uses seed + i)")
        ->capture_default_str();

    app.add_flag("--no-time-sync", noTimeSync,
                 "UDP: do not listen on port 5557 nor answer the receiver's time requests");
    app.add_flag("--heartbeat-log", setup.heartbeatLog,
                 "Print \"heartbeat at +S.SSS s: packets=P buffer=Bms underruns=U\" for each "
                 "HEARTBEAT (seconds since the stream began; prefixed \"<name>: \" with several "
                 "phones)");
    app.add_option("--phones", phones, "Number of phones, each on its own thread and link")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    app.add_option("actions", setup.actions, "What to do, in order: hello, bye, pause, stream")
        ->check(CLI::IsMember({"hello", "bye", "pause", "stream"}))
        ->required();

    try {
        app.parse(argc, argv);
        if (codec == "opus" && framesOption->count() > 0) {
            throw CLI::ValidationError("--frames", "is for PCM; Opus takes --frame-ms");
        }
        if (codec == "pcm" && (frameMsOption->count() > 0 || bitrateOption->count() > 0)) {
            throw CLI::ValidationError("--frame-ms/--bitrate", "are for Opus (--codec opus)");
        }
        const double lastTone = setup.toneHz + toneStep * (phones - 1);
        if (setup.wavPath.empty() && (lastTone < 1.0 || lastTone > 24000.0)) {
            throw CLI::ValidationError("--tone-step",
                                       "puts the last phone's tone outside 1 to 24000 Hz");
        }
        if (bluetooth && phones > 1) {
            throw CLI::ValidationError("--bluetooth", "is one phone");
        }
        if (bluetooth && std::getenv("VOCARI_BLUETOOTH_DIR") == nullptr) {
            throw CLI::ValidationError("--bluetooth", "needs VOCARI_BLUETOOTH_DIR");
        }
        tcp = tcp || bluetooth;
        if (!tcp && nthAddress(link.localAddress, phones - 1).empty()) {
            throw CLI::ValidationError("--local",
                                       "must be an IPv4 address whose last octet leaves room for "
                                       "every phone");
        }
        if (link.deviceId > UINT32_MAX - static_cast<uint32_t>(phones - 1)) {
            throw CLI::ValidationError("--device-id", "leaves no room for every phone's ID");
        }
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }

    link.transport = tcp ? Transport::Tcp : Transport::Udp;
    link.preset = static_cast<uint8_t>(preset);
    setup.format.channels = channels;
    setup.format.codec =
        codec == "opus" ? vocari::protocol::Codec::Opus : vocari::protocol::Codec::Pcm;
    setup.format.frames = codec == "opus" ? frameMs * kSampleRate / 1000 : frames;
    setup.impairment.jitter = jitter == "pareto" ? JitterModel::Pareto : JitterModel::Normal;
    setup.impairment.keepOrder = tcp;
    setup.clockEpochNs = epochMs * 1'000'000;
    setup.timeSync = !noTimeSync;

    std::unique_ptr<BluetoothLink> bluetoothLink;
    if (bluetooth) {
        std::string error;
        bluetoothLink =
            BluetoothLink::open(std::getenv("VOCARI_BLUETOOTH_DIR"), btAddress, link.name,
                                static_cast<uint8_t>(btChannel), kBluetoothWaitMs, btTestMs, error);
        if (!bluetoothLink) {
            std::fprintf(stderr, "%s: %s\n", link.name.c_str(), error.c_str());
            return 1;
        }
        link.receiverAddress = "127.0.0.1";
        link.port = bluetoothLink->localPort();
    }

    const MonotonicTime time;
    MonotonicWaiter waiter;
    LinePrinter printer;
    const int64_t startNs = time.nowNs();
    std::vector<int> succeeded(static_cast<size_t>(phones), 0);
    std::vector<std::thread> threads;
    for (int index = 0; index < phones; ++index) {
        threads.emplace_back([&, index] {
            succeeded[static_cast<size_t>(index)] =
                runPhone(nthPhone(setup, index, phones, toneStep), time, waiter, startNs, printer)
                    ? 1
                    : 0;
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const int ok : succeeded) {
        if (ok == 0) {
            return 1;
        }
    }
    return 0;
}
