// vocarid: start-up and shutdown. Everything else lives in the daemon's library so tests can run
// it in-process.

#include <dns_sd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "audio_out.h"
#include "devices.h"
#include "links.h"
#include "net.h"
#include "pairing_gate.h"
#include "runtime.h"
#include "session_table.h"
#include "status.h"
#include "time_sync.h"

namespace vocari {
namespace {

constexpr double kSampleRate = 48000.0;
constexpr double kInitialTargetMs = 45.0;
// 300 ms of stereo at 48000 Hz: no preset or alignment floor may buffer more.
constexpr uint64_t kDepthCapFloats = 28800;

Runtime& runtime() {
    static Runtime instance;
    return instance;
}

void onSignal(int) {
    runtime().stop();
}

DNSServiceRef advertise() {
    setenv("AVAHI_COMPAT_NOWARN", "1", 1);
    DNSServiceRef registration = nullptr;
    const DNSServiceErrorType result =
        DNSServiceRegister(&registration, 0, 0, "Vocari Receiver", "_vocari._udp", nullptr, nullptr,
                           htons(kPhonePort), 0, nullptr, nullptr, nullptr);
    if (result != kDNSServiceErr_NoError) {
        printLine(stderrLines(), "Bonjour register failed: %d\n", static_cast<int>(result));
        return nullptr;
    }
    printLine(stdoutLines(), "advertising _vocari._udp on port %d\n", kPhonePort);
    return registration;
}

int run() {
    Runtime& state = runtime();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    state.out->write("vocarid starting\u2026\n");

    state.settingsFolder = settingsFolderFromEnvironment();
    static PairingGate gate(state.settingsFolder + "pairing", 0);
    state.pairing = &gate;
    printLine(*state.out, "pairing code: %06u\n", gate.code());

    const int phoneSocket = bindUdp(kPhonePort);
    const int timeSyncSocket = bindUdp(kTimeSyncPort);
    const int listener = openLinkListener(kLinkListenerPort);
    if (phoneSocket < 0 || timeSyncSocket < 0) {
        state.err->write("socket bind failed\n");
        return 1;
    }
    if (listener < 0) {
        state.err->write("TCP/USB listener unavailable (port busy?)\n");
    } else {
        printLine(*state.out, "USB/TCP listener ready on 127.0.0.1:%d (adb reverse)\n",
                  kLinkListenerPort);
    }
    DNSServiceRef registration = advertise();

    const OutputTarget target = loadOutputTarget(state.settingsFolder + "device");
    state.firstPair.store(target.channel / 2);
    state.alignment.store(target.align);

    static SessionTable table(kSampleRate, kInitialTargetMs);
    for (int i = 0; i < SessionTable::kSlots; ++i) {
        table.session(i).jitter->setDepthCap(kDepthCapFloats);
    }
    state.sessions = &table;

    static AudioOut output;
    if (!output.start(&table, kSampleRate, target)) {
        state.err->write("audio start failed\n");
        return 1;
    }
    state.output.store(&output);

    const int pairs = output.pairs();
    printLine(*state.out,
              "up to %d phones (%d device pairs, %d session slots); stream alignment %s\n",
              std::min(pairs, SessionTable::kSlots), pairs, SessionTable::kSlots,
              state.alignment.load() ? "ON" : "off");
    std::string devicesShown = deviceInventory(&output, state.firstPair.load());
    state.out->write(devicesShown);

    state.heartbeatSocket.store(phoneSocket);
    std::thread heartbeatThread(heartbeatLoop, std::ref(state));
    std::thread audioThread(audioLoop, std::ref(state), phoneSocket);
    std::thread timeSyncThread(ptpLoop, std::ref(state), timeSyncSocket);
    std::thread statsThread(statsLoop, std::ref(state), std::move(devicesShown));
    std::thread tcpThread;
    if (listener >= 0) {
        tcpThread = std::thread(tcpLoop, std::ref(state), listener);
    }
    state.out->write("vocarid running. Ctrl-C to quit.\n");

    audioThread.join();
    timeSyncThread.join();
    statsThread.join();
    heartbeatThread.join();
    if (tcpThread.joinable()) {
        tcpThread.join();
    }
    if (listener >= 0) {
        close(listener);
    }
    output.stop();
    if (registration != nullptr) {
        DNSServiceRefDeallocate(registration);
    }
    close(phoneSocket);
    close(timeSyncSocket);
    return state.exitStatus.load();
}

}  // namespace
}  // namespace vocari

int main() {
    return vocari::run();
}
