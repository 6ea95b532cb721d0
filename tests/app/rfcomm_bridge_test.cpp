// The Bluetooth link over the simulated world: the phone files of a test folder, a phone end
// played by the test on the channel's socket, and time stepped by the test.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSettings>
#include <QTest>

#include "app_test_support.h"

namespace vocari::app {
namespace {

using Frame = std::pair<uint8_t, std::vector<uint8_t>>;

// The phone's side of an RFCOMM channel: listens where the simulated world connects.
class PhoneEnd {
  public:
    explicit PhoneEnd(const std::string& path) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
    }
    ~PhoneEnd() {
        close();
        ::close(listener_);
    }
    // Takes the bridge's connection, letting the bridge's events run meanwhile.
    bool accept() {
        for (int i = 0; i < 200 && fd_ < 0; ++i) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 0) > 0) {
                fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            } else {
                QTest::qWait(25);
            }
        }
        return fd_ >= 0;
    }
    void send(const std::vector<uint8_t>& bytes) const {
        (void)!::write(fd_, bytes.data(), bytes.size());
    }
    void send(uint8_t type, const std::vector<uint8_t>& payload = {}) const {
        send(encodeBtFrame(type, payload.data(), payload.size()));
    }
    // The next frame from the bridge, within a few seconds of its events.
    std::optional<Frame> frame() {
        Frame next;
        for (int i = 0; i < 200; ++i) {
            if (reader_.next(next.first, next.second) == BtFrameReader::Result::Frame) {
                return next;
            }
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 0) > 0) {
                uint8_t buffer[4096];
                const ssize_t got = ::read(fd_, buffer, sizeof buffer);
                if (got <= 0) {
                    return std::nullopt;
                }
                reader_.append(buffer, static_cast<size_t>(got));
            } else {
                QTest::qWait(10);
            }
        }
        return std::nullopt;
    }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int listener_ = -1;
    int fd_ = -1;
    BtFrameReader reader_;
};

// A phone whose SDP answers come when the test gives them, as a slow real query's do.
class ScriptedPhone final : public bt::Device, public bt::Channel {
  public:
    std::optional<std::string> name() const override { return "Slow"; }
    std::optional<std::string> addressString() const override { return "AA-05"; }
    bool isConnected() const override { return true; }
    void performSdpQuery(std::function<void(int)> done) override { answers.push_back(done); }
    std::optional<bt::ServiceRecord> serviceRecordFor(const bt::Uuid&) const override {
        return services().front();
    }
    std::vector<bt::ServiceRecord> services() const override {
        return {{{bt::kServiceUuid}, "Vocari", uint8_t{4}}};
    }
    int openRfcommChannelAsync(uint8_t, bt::ChannelDelegate* to,
                               std::shared_ptr<bt::Channel>& channel) override {
        delegate = to;
        channel = std::shared_ptr<bt::Channel>(this, [](bt::Channel*) {});
        return 0;
    }
    void closeConnection() override {}
    void setDelegate(bt::ChannelDelegate* to) override { delegate = to; }
    void closeChannel() override {}
    size_t mtu() const override { return 100; }
    int writeSync(const uint8_t*, size_t) override { return 0; }

    std::vector<std::function<void(int)>> answers;
    bt::ChannelDelegate* delegate = nullptr;
};

class ScriptedBluetooth final : public bt::Bluetooth {
  public:
    explicit ScriptedBluetooth(std::shared_ptr<ScriptedPhone> phone) : phone_(std::move(phone)) {}
    std::vector<std::shared_ptr<bt::Device>> pairedDevices() override { return {phone_}; }
    std::shared_ptr<bt::Device> deviceWithAddress(const std::string&) override { return phone_; }

  private:
    std::shared_ptr<ScriptedPhone> phone_;
};

class RfcommBridgeTest : public QObject, public Harness {
    Q_OBJECT

    std::vector<std::string> lines;
    std::chrono::steady_clock::time_point now{};

    std::string world() const { return dir.path() + "/bt"; }
    void phoneFile(const char* file, const std::string& text) {
        std::filesystem::create_directories(world());
        test::writeFile(world() + "/" + file + ".phone", text);
    }
    std::unique_ptr<RfcommBridge> bridge(uint16_t port = 5555) {
        auto made = std::make_unique<RfcommBridge>(
            bt::systemBluetooth(queue), port,
            [this](const std::string& line) { lines.push_back(line); }, [this] { return now; });
        made->start([](const BtState&) {});
        return made;
    }
    bool logged(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), "Vocari: " + line) != lines.end();
    }

    QtMainQueue queue;

  private slots:
    void initTestCase() {
        isolate();
        qputenv("VOCARI_BLUETOOTH_DIR", QByteArray::fromStdString(world()));
        QCoreApplication::setApplicationName(QStringLiteral("VocariBridgeTest"));
    }
    void init() {
        std::filesystem::remove_all(world());
        QSettings().clear();
        lines.clear();
    }

    void channelsAreTriedHighestFirstAndAnOpenThatHangsIsAbandonedAfterEightSeconds() {
        phoneFile("pixel",
                  "address=AA-01\nname=Pixel\nconnected=1\nopen=never\n"
                  "record=uuid=566F6361-7269-0001-8000-00805F9B34FB channel=5\n"
                  "record=name=Vocari channel=12\nrecord=name=Vocari channel=12\n"
                  "record=name=Vocari channel=0\nrecord=name=Other channel=3\n");
        auto link = bridge();
        link->choose(std::string("AA-01"));
        QCOMPARE(QSettings().value(QStringLiteral("btDevice")).toString(), QStringLiteral("AA-01"));
        QTRY_VERIFY(logged("opening RFCOMM channel 12 on Pixel (of 12,5)"));
        now += std::chrono::seconds(8);
        link->tick();  // not yet past 8 s
        QVERIFY(!logged("RFCOMM open timed out, retrying"));
        now += std::chrono::milliseconds(1);
        link->tick();
        QVERIFY(logged("RFCOMM open timed out, retrying"));
        QCOMPARE(link->state().menuTitle(), std::string("Bluetooth: looking for Pixel\u2026"));
        QTRY_VERIFY(logged("opening RFCOMM channel 5 on Pixel (of 12,5)"));
    }

    void aPhoneWithoutTheServiceIsSaidAndLookedForAgain() {
        phoneFile("moto", "address=AA-02\nname=Moto\nrecord=name=Other channel=4\n");
        auto link = bridge();
        link->choose(std::string("AA-02"));
        QTRY_VERIFY(logged("Moto has no Vocari service"));
        QCOMPARE(link->state(), (BtState{BtState::Kind::Searching, "Moto"}));
    }

    void withNothingChosenOnlyConnectedPhonesThatOfferTheServiceAreOffered() {
        phoneFile("a",
                  "address=AA-0A\nname=Offers\n"
                  "record=uuid=566F6361-7269-0001-8000-00805F9B34FB channel=3\n");
        phoneFile("b", "address=AA-0B\nname=Plain\nrecord=name=Other channel=3\n");
        phoneFile("c", "address=AA-0C\nname=Away\nconnected=0\nrecord=name=Vocari channel=3\n");
        auto link = bridge();  // the first tick asks the second connected phone
        link->tick();
        QTRY_COMPARE(link->offering().size(), size_t{1});
        QCOMPARE(link->offering().front().name, std::string("Offers"));
        std::filesystem::remove_all(world());
        link->tick();
        QVERIFY(link->offering().empty());
    }

    void theRelayTestsAttachesAndCarriesBytesBothWays() {
        // The daemon's place: a listener of the test's own.
        const int daemon = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(daemon, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(daemon, 4);
        ::getsockname(daemon, reinterpret_cast<sockaddr*>(&address), &length);

        phoneFile("pixel", "address=AA-01\nname=Pixel\nmtu=127\nrecord=name=Vocari channel=7\n");
        PhoneEnd phone(world() + "/AA-01.sock");
        auto link = bridge(ntohs(address.sin_port));
        link->choose(std::string("AA-01"));
        QVERIFY(phone.accept());
        phone.send(bt_frame::kHello);
        phone.send(bt_frame::kTestStart);
        QCOMPARE(phone.frame(), (std::optional<Frame>{{bt_frame::kTestAck, {}}}));
        QTRY_COMPARE(link->state(), (BtState{BtState::Kind::Testing, "Pixel"}));
        for (int i = 0; i < 3; ++i) {
            phone.send(bt_frame::kTestFill, std::vector<uint8_t>(1000, 0));
        }
        phone.send(bt_frame::kTestEnd);
        QCOMPARE(phone.frame(),
                 (std::optional<Frame>{{bt_frame::kTestResult, {0, 0, 0x0B, 0xB8}}}));
        QVERIFY(logged("bridge v0") && logged("link test received 3000 bytes"));

        phone.send(bt_frame::kData, {9, 9});  // before the attach: dropped
        phone.send(bt_frame::kAttach);
        QTRY_COMPARE(link->state(), (BtState{BtState::Kind::Live, "Pixel"}));
        pollfd waiting{daemon, POLLIN, 0};
        QVERIFY(::poll(&waiting, 1, 5000) == 1);
        const int local = ::accept4(daemon, nullptr, nullptr, SOCK_CLOEXEC);
        QVERIFY(local >= 0);
        // Split anywhere, joined with the next frame: the same bytes reach the daemon.
        const std::vector<uint8_t> payload = {1, 2, 3, 4};
        auto stream = encodeBtFrame(bt_frame::kData, payload.data(), payload.size());
        phone.send(std::vector<uint8_t>(stream.begin(), stream.begin() + 3));
        QTest::qWait(50);
        phone.send(std::vector<uint8_t>(stream.begin() + 3, stream.end()));
        uint8_t received[8] = {};
        waiting = {local, POLLIN, 0};
        QTRY_VERIFY(::poll(&waiting, 1, 0) == 1);
        QCOMPARE(::recv(local, received, sizeof received, 0), ssize_t{4});
        QCOMPARE(std::vector<uint8_t>(received, received + 4), payload);
        // The daemon's bytes come back as a data frame, in pieces of the channel's MTU.
        const std::vector<uint8_t> reply(600, 7);
        QCOMPARE(::send(local, reply.data(), reply.size(), 0), ssize_t{600});
        std::vector<uint8_t> back;
        while (back.size() < reply.size()) {
            const auto frame = phone.frame();
            QVERIFY(frame && frame->first == bt_frame::kData);
            back.insert(back.end(), frame->second.begin(), frame->second.end());
        }
        QCOMPARE(back, reply);

        // The daemon closes: looking again, the channel kept; the phone attaches again.
        ::close(local);
        QTRY_COMPARE(link->state(), (BtState{BtState::Kind::Searching, "Pixel"}));
        phone.send(bt_frame::kAttach);
        QTRY_COMPARE(link->state(), (BtState{BtState::Kind::Live, "Pixel"}));
        waiting = {daemon, POLLIN, 0};
        QVERIFY(::poll(&waiting, 1, 5000) == 1);
        const int again = ::accept4(daemon, nullptr, nullptr, SOCK_CLOEXEC);
        // A detach ends the daemon's connection and leaves the channel up for the next attach.
        phone.send(bt_frame::kDetach);
        QTRY_COMPARE(link->state(), (BtState{BtState::Kind::Searching, "Pixel"}));
        waiting = {again, POLLIN, 0};
        QVERIFY(::poll(&waiting, 1, 5000) == 1);
        QCOMPARE(::recv(again, received, sizeof received, 0), ssize_t{0});
        // A frame of no known type ends the link.
        phone.send(0x7E);
        QTRY_COMPARE(link->state(),
                     (BtState{BtState::Kind::Failed, "unexpected data from the phone"}));
        QCOMPARE(phone.frame(), std::nullopt);
        ::close(again);
        ::close(daemon);
    }

    void aQueryThatFailsAfterTheChannelOpenedLeavesTheLinkAlone() {
        auto phone = std::make_shared<ScriptedPhone>();
        RfcommBridge link(
            std::make_unique<ScriptedBluetooth>(phone), 5555,
            [this](const std::string& line) { lines.push_back(line); }, [this] { return now; });
        std::vector<BtState> heard;
        link.start([&heard](const BtState& state) { heard.push_back(state); });
        link.choose(std::string("AA-05"));
        link.tick();  // the chosen phone's query has not answered by the next tick
        QCOMPARE(phone->answers.size(), size_t{3});  // the start's sweep asked it too
        phone->answers[1](0);
        QVERIFY(phone->delegate != nullptr);
        phone->delegate->rfcommChannelOpenComplete(*phone, 0);
        const std::vector<uint8_t> start = encodeBtFrame(bt_frame::kTestStart, nullptr, 0);
        phone->delegate->rfcommChannelData(*phone, start.data(), start.size());
        QCOMPARE(link.state(), (BtState{BtState::Kind::Testing, "Slow"}));
        phone->answers[0](-5);
        phone->answers[2](-5);
        QCOMPARE(link.state(), (BtState{BtState::Kind::Testing, "Slow"}));
        QTRY_VERIFY(!heard.empty() && heard.back().kind == BtState::Kind::Testing);
        phone->answers.clear();  // each holds the phone it asked
    }

    void aFrameTooLongFailsTheLinkAndThePhoneClosingKeepsThatShown() {
        phoneFile("pixel", "address=AA-01\nname=Pixel\nrecord=name=Vocari channel=7\n");
        PhoneEnd phone(world() + "/AA-01.sock");
        auto link = bridge();
        link->choose(std::string("AA-01"));
        QVERIFY(phone.accept());
        phone.send({'d', 0x00, 0x01, 0x00, 0x01});
        QTRY_COMPARE(link->state(), (BtState{BtState::Kind::Failed, "bad frame from the phone"}));
        phone.close();
        QTest::qWait(100);
        QCOMPARE(link->state().menuTitle(), std::string("Bluetooth: bad frame from the phone"));
        link->choose(std::nullopt);
        QCOMPARE(link->state(), (BtState{BtState::Kind::NoDevice, {}}));
        QVERIFY(!QSettings().contains(QStringLiteral("btDevice")));
    }
};

}  // namespace
}  // namespace vocari::app

QTEST_MAIN(vocari::app::RfcommBridgeTest)
#include "rfcomm_bridge_test.moc"
