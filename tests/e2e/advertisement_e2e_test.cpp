// The DNS-SD advertisement, seen by a real mDNS browser. Needs a system D-Bus and avahi-daemon;
// as root the test starts both itself (avahi on the loopback interface only) and ends them.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "process.h"
#include "temp_dir.h"

namespace vocari {
namespace {

using test::ChildProcess;
using Stream = ChildProcess::Stream;

constexpr const char* kSystemBus = "/run/dbus/system_bus_socket";

bool systemBusAnswers() {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kSystemBus, sizeof address.sun_path - 1);
    const bool answers =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return answers;
}

int runQuietly(const std::vector<std::string>& argv, int timeoutMs) {
    auto child = ChildProcess::start(argv);
    const auto status = child ? child->waitForExit(timeoutMs) : std::nullopt;
    return status.value_or(-1);
}

bool onPath(const std::string& program) {
    return runQuietly({"/usr/bin/which", program}, 5000) == 0;
}

// A system bus and an mDNS responder for the length of one test: the running ones when there
// are, otherwise our own.
class MdnsResponder {
  public:
    explicit MdnsResponder(const std::string& scratch) {
        for (const char* program : {"avahi-daemon", "avahi-browse", "dbus-daemon"}) {
            if (!onPath(program)) {
                why_ = std::string(program) + " is not installed";
                return;
            }
        }
        if (runQuietly({"/usr/sbin/avahi-daemon", "--check"}, 5000) == 0) {
            ready_ = true;
            return;
        }
        if (geteuid() != 0) {
            why_ = "avahi-daemon is not running and only root can start it";
            return;
        }
        if (!systemBusAnswers()) {
            std::filesystem::create_directories("/run/dbus");
            std::filesystem::remove("/run/dbus/pid");
            bus_ = ChildProcess::start(
                {"/usr/bin/dbus-daemon", "--system", "--nofork", "--nopidfile"});
            for (int i = 0; i < 100 && !systemBusAnswers(); ++i) {
                usleep(50'000);
            }
            if (!systemBusAnswers()) {
                why_ = "the system D-Bus could not be started";
                return;
            }
        }
        const std::string config = scratch + "/avahi-daemon.conf";
        std::ofstream(config) << "[server]\nallow-interfaces=lo\nuse-ipv6=no\n"
                                 "[publish]\npublish-workstation=no\npublish-hinfo=no\n";
        avahi_ = ChildProcess::start({"/usr/sbin/avahi-daemon", "--no-drop-root", "--no-chroot",
                                      "--no-rlimits", "-f", config});
        if (!avahi_->waitForLine(Stream::Err, "Server startup complete", 10000)) {
            why_ = "avahi-daemon did not start";
            return;
        }
        ready_ = true;
    }

    ~MdnsResponder() {
        for (auto* child : {avahi_.get(), bus_.get()}) {
            if (child != nullptr) {
                child->sendSignal(SIGTERM);
                child->waitForExit(5000);
            }
        }
    }

    bool ready() const { return ready_; }
    const std::string& whyNot() const { return why_; }

  private:
    bool ready_ = false;
    std::string why_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> avahi_;
};

TEST(Advertisement, AvahiBrowseSeesVocariReceiver) {
    test::TempDir scratch;
    MdnsResponder responder(scratch.path());
    if (!responder.ready()) {
        GTEST_SKIP() << "no mDNS responder: " << responder.whyNot();
    }
    auto daemon = ChildProcess::start({test::binaryPath("vocarid")},
                                      test::isolatedEnvironment(scratch.path()));
    ASSERT_TRUE(daemon->waitForLine(Stream::Out, "advertising _vocari._udp on port 5555", 10000))
        << "registration failed although avahi-daemon runs";

    // avahi-browse prints "=;iface;proto;name;type;domain;host;address;port;txt" per resolved
    // service, with the space in the name escaped as \032.
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        auto browse = ChildProcess::start({"/usr/bin/avahi-browse", "-rtp", "_vocari._udp"});
        ASSERT_TRUE(browse->waitForExit(15000));
        for (const auto& line : browse->lines(Stream::Out)) {
            seen = seen || (line.rfind("=;", 0) == 0 &&
                            line.find(";Vocari\\032Receiver;_vocari._udp;") != std::string::npos &&
                            line.find(";5555;") != std::string::npos);
        }
    }
    EXPECT_TRUE(seen) << "\"Vocari Receiver\" on port 5555 was not found by avahi-browse";

    daemon->sendSignal(SIGTERM);
    EXPECT_EQ(daemon->waitForExit(2000), 0);
}

}  // namespace
}  // namespace vocari
