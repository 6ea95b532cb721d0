// vocari-phone: a simulated phone on the command line.
//
//   vocari-phone --code 123456 --name Pixel hello
//   vocari-phone --tcp --code 123456 hello pause bye

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <thread>

#include "phone.h"

int main(int argc, char** argv) {
    using vocari::phone::Phone;
    using vocari::phone::PhoneOptions;
    using vocari::phone::Transport;

    PhoneOptions options;
    bool tcp = false;
    int preset = options.preset;
    int pauseMs = 500;
    std::vector<std::string> actions;

    CLI::App app{"Simulated Vocari phone: sends HELLO and BYE over UDP or the TCP link"};
    app.add_flag("--tcp", tcp, "Use the TCP link (USB/Bluetooth) instead of UDP (Wi-Fi)");
    app.add_option("--local", options.localAddress, "UDP: local address to send from")
        ->capture_default_str();
    app.add_option("--to", options.receiverAddress, "Receiver address")->capture_default_str();
    app.add_option("--port", options.port, "Receiver port")->capture_default_str();
    app.add_option("--code", options.pairingCode, "Pairing code presented in HELLO")->required();
    app.add_option("--preset", preset, "Buffer preset: 0 low, 1 balanced, 2 safe, 3 fixed")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    app.add_option("--fixed-ms", options.fixedMs, "Buffer length for the fixed preset")
        ->capture_default_str();
    app.add_option("--device-id", options.deviceId, "Stable device ID (0: none)")
        ->capture_default_str();
    app.add_option("--name", options.name, "Phone name")->capture_default_str();
    app.add_option("--pause-ms", pauseMs, "Length of each 'pause' action")->capture_default_str();
    app.add_option("actions", actions, "What to do, in order: hello, bye, pause")
        ->check(CLI::IsMember({"hello", "bye", "pause"}))
        ->required();
    CLI11_PARSE(app, argc, argv);

    options.transport = tcp ? Transport::Tcp : Transport::Udp;
    options.preset = static_cast<uint8_t>(preset);
    std::string error;
    auto phone = Phone::open(options, error);
    if (!phone) {
        std::fprintf(stderr, "vocari-phone: %s\n", error.c_str());
        return 1;
    }
    for (const auto& action : actions) {
        bool sent = true;
        if (action == "hello") {
            sent = phone->sendHello();
        } else if (action == "bye") {
            sent = phone->sendBye();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
        if (!sent) {
            std::fprintf(stderr, "vocari-phone: %s could not be sent\n", action.c_str());
            return 1;
        }
        std::printf("sent %s\n", action.c_str());
    }
    if (tcp && phone->closedByReceiver(200)) {
        std::printf("receiver closed the connection\n");
    }
    return 0;
}
