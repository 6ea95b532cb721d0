// The BlueZ provider against a stand-in bluetoothd on a private D-Bus bus of the test's own, with
// no bus at all, and without a Bluetooth adapter (none on a build machine); and the reading of
// SDP records from the bytes a phone sends.

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "sdp_query.h"
#include "temp_dir.h"
#include "vocari/bluetooth.h"

namespace vocari {
namespace {

using test::ChildProcess;

// The test's main thread: posted work runs when the test drains it.
class TestQueue final : public bt::MainQueue {
  public:
    void post(std::function<void()> work) override {
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(work));
        posted_.notify_all();
    }

    // Runs posted work until `done` holds; false if it does not within a generous bound.
    bool runUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            std::vector<std::function<void()>> work;
            {
                std::unique_lock lock(mutex_);
                if (!posted_.wait_until(lock, deadline, [&] { return !queued_.empty(); })) {
                    return false;
                }
                work.swap(queued_);
            }
            for (auto& item : work) {
                item();
            }
        }
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<std::function<void()>> queued_;
};

struct FakeDevice {
    std::string path;
    std::string address;
    std::optional<std::string> name;
    std::string alias;
    bool paired;
    bool connected;
};

// bluetoothd as the provider sees it: "org.bluez" with an object manager at "/" listing an
// adapter and the devices, and Disconnect on every device, recorded.
class FakeBluez {
  public:
    FakeBluez(const std::string& address, std::vector<FakeDevice> devices)
        : devices_(std::move(devices)), stop_(eventfd(0, EFD_CLOEXEC)) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        started_ =
            sd_bus_start(bus_) >= 0 && sd_bus_request_name(bus_, "org.bluez", 0) >= 0 &&
            sd_bus_add_object(bus_, nullptr, "/", &FakeBluez::onRoot, this) >= 0 &&
            sd_bus_add_fallback(bus_, nullptr, "/org/bluez", &FakeBluez::onDevice, this) >= 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeBluez() {
        const uint64_t one = 1;
        (void)!write(stop_, &one, sizeof one);
        thread_.join();
        sd_bus_flush_close_unref(bus_);
        close(stop_);
    }

    bool started() const { return started_; }
    std::optional<std::string> waitForDisconnect() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return !disconnects_.empty(); });
        return disconnects_.empty() ? std::nullopt : std::optional(disconnects_.front());
    }

  private:
    // The fake makes no calls of its own, so sd-bus never has a time-out to wait for here.
    void serve() {
        bool lost = false;
        while (true) {
            const int processed = lost ? 0 : sd_bus_process(bus_, nullptr);
            if (processed > 0) {
                continue;
            }
            lost = processed < 0;  // the bus went: wait for the end only
            pollfd waiting[2] = {{lost ? -1 : sd_bus_get_fd(bus_),
                                  static_cast<short>(lost ? 0 : sd_bus_get_events(bus_)), 0},
                                 {stop_, POLLIN, 0}};
            poll(waiting, 2, -1);
            if (waiting[1].revents != 0) {
                return;
            }
        }
    }

    static void addObject(sd_bus_message* reply, const std::string& path, const char* interface,
                          const std::function<void(sd_bus_message*)>& properties) {
        sd_bus_message_open_container(reply, 'e', "oa{sa{sv}}");
        sd_bus_message_append(reply, "o", path.c_str());
        sd_bus_message_open_container(reply, 'a', "{sa{sv}}");
        sd_bus_message_append(reply, "{sa{sv}}", "org.freedesktop.DBus.Properties", 0);
        sd_bus_message_open_container(reply, 'e', "sa{sv}");
        sd_bus_message_append(reply, "s", interface);
        sd_bus_message_open_container(reply, 'a', "{sv}");
        properties(reply);
        sd_bus_message_close_container(reply);
        sd_bus_message_close_container(reply);
        sd_bus_message_close_container(reply);
        sd_bus_message_close_container(reply);
    }

    static int onRoot(sd_bus_message* call, void* self, sd_bus_error*) {
        if (!sd_bus_message_is_method_call(call, "org.freedesktop.DBus.ObjectManager",
                                           "GetManagedObjects")) {
            return 0;
        }
        sd_bus_message* reply = nullptr;
        sd_bus_message_new_method_return(call, &reply);
        sd_bus_message_open_container(reply, 'a', "{oa{sa{sv}}}");
        addObject(reply, "/org/bluez/hci0", "org.bluez.Adapter1", [](sd_bus_message* m) {
            sd_bus_message_append(m, "{sv}", "Address", "s", "00:1A:7D:DA:71:13");
        });
        for (const FakeDevice& device : static_cast<FakeBluez*>(self)->devices_) {
            addObject(reply, device.path, "org.bluez.Device1", [&](sd_bus_message* m) {
                sd_bus_message_append(m, "{sv}", "Address", "s", device.address.c_str());
                if (device.name) {
                    sd_bus_message_append(m, "{sv}", "Name", "s", device.name->c_str());
                }
                sd_bus_message_append(m, "{sv}", "Alias", "s", device.alias.c_str());
                sd_bus_message_append(m, "{sv}", "RSSI", "n", int16_t{-60});
                sd_bus_message_append(m, "{sv}", "UUIDs", "as", 1,
                                      "0000110a-0000-1000-8000-00805f9b34fb");
                sd_bus_message_append(m, "{sv}", "Paired", "b", int{device.paired});
                sd_bus_message_append(m, "{sv}", "Connected", "b", int{device.connected});
            });
        }
        sd_bus_message_close_container(reply);
        sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return 1;
    }

    static int onDevice(sd_bus_message* call, void* self, sd_bus_error*) {
        if (!sd_bus_message_is_method_call(call, "org.bluez.Device1", "Disconnect")) {
            return 0;
        }
        auto& fake = *static_cast<FakeBluez*>(self);
        {
            std::lock_guard lock(fake.mutex_);
            fake.disconnects_.push_back(sd_bus_message_get_path(call));
        }
        fake.changed_.notify_all();
        return sd_bus_reply_method_return(call, "");
    }

    const std::vector<FakeDevice> devices_;
    sd_bus* bus_ = nullptr;  // the serving thread's once it runs
    bool started_ = false;
    const int stop_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> disconnects_;
    std::thread thread_;
};

const std::vector<FakeDevice> kDevices = {
    {"/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01", "AA:BB:CC:DD:EE:01", "Pixel 7", "Pixel 7", true,
     true},
    {"/org/bluez/hci0/dev_AA_BB_CC_DD_EE_02", "AA:BB:CC:DD:EE:02", std::nullopt, "Galaxy", true,
     false},
    {"/org/bluez/hci0/dev_AA_BB_CC_DD_EE_03", "AA:BB:CC:DD:EE:03", "Headset", "Headset", false,
     true},
    // The first phone once more, paired on a second adapter.
    {"/org/bluez/hci1/dev_AA_BB_CC_DD_EE_01", "AA:BB:CC:DD:EE:01", "Pixel 7", "Pixel 7", true,
     true},
};

class BluezTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("VOCARI_BLUETOOTH_DIR");
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    }

    void startBus() {
        bus = ChildProcess::start({test::findExecutable("dbus-daemon"), "--session", "--nofork",
                                   "--nopidfile", "--address=" + address, "--print-address=1"});
        ASSERT_TRUE(bus && bus->waitForLine(ChildProcess::Stream::Out, "unix:", 30000));
    }
    void startBluez() {
        bluez = std::make_unique<FakeBluez>(address, kDevices);
        ASSERT_TRUE(bluez->started());
    }

    test::TempDir dir;
    const std::string address = "unix:path=" + dir.file("system_bus");
    std::unique_ptr<ChildProcess> bus;
    std::unique_ptr<FakeBluez> bluez;
    TestQueue queue;  // outlives the provider, as the app's does
};

TEST_F(BluezTest, PairedDevicesAreBluezsPairedOnesOnceEach) {
    startBus();
    startBluez();
    auto bluetooth = bt::systemBluetooth(queue);

    const auto paired = bluetooth->pairedDevices();
    ASSERT_EQ(2u, paired.size());
    EXPECT_EQ("AA:BB:CC:DD:EE:01", paired[0]->addressString());
    EXPECT_EQ("Pixel 7", paired[0]->name());
    EXPECT_TRUE(paired[0]->isConnected());
    EXPECT_EQ("AA:BB:CC:DD:EE:02", paired[1]->addressString());
    EXPECT_EQ("Galaxy", paired[1]->name());  // no Name: the alias
    EXPECT_FALSE(paired[1]->isConnected());

    // One object per device, so what a query cached is there at the next look.
    EXPECT_EQ(paired[1], bluetooth->deviceWithAddress("AA:BB:CC:DD:EE:02"));
    EXPECT_EQ(nullptr, bluetooth->deviceWithAddress("12:34:56:78:9A:BC"));

    paired[1]->closeConnection();
    EXPECT_EQ("/org/bluez/hci0/dev_AA_BB_CC_DD_EE_02", bluez->waitForDisconnect());
}

TEST_F(BluezTest, FollowsBluetoothdAndTheBusComingAndGoing) {
    startBus();
    auto bluetooth = bt::systemBluetooth(queue);
    EXPECT_TRUE(bluetooth->pairedDevices().empty());  // a bus, but no bluetoothd
    startBluez();
    EXPECT_EQ(2u, bluetooth->pairedDevices().size());

    bluez.reset();
    bus.reset();  // the system bus dies, the provider's connection with it
    EXPECT_TRUE(bluetooth->pairedDevices().empty());

    startBus();
    startBluez();
    EXPECT_EQ(2u, bluetooth->pairedDevices().size());
}

TEST_F(BluezTest, NoBusOrAMuteOneMeansNoDevices) {
    auto bluetooth = bt::systemBluetooth(queue);  // nothing listens at the address
    EXPECT_TRUE(bluetooth->pairedDevices().empty());
    EXPECT_EQ(nullptr, bluetooth->deviceWithAddress("AA:BB:CC:DD:EE:01"));

    // A bus that takes the connection and never says a word: no wait for sd-bus's own limits.
    const int mute = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::strncpy(where.sun_path, dir.file("system_bus").c_str(), sizeof where.sun_path - 1);
    ASSERT_EQ(0, bind(mute, reinterpret_cast<const sockaddr*>(&where), sizeof where));
    ASSERT_EQ(0, listen(mute, 4));
    EXPECT_TRUE(bluetooth->pairedDevices().empty());
    close(mute);
}

class RecordingDelegate final : public bt::ChannelDelegate {
  public:
    void rfcommChannelOpenComplete(bt::Channel&, int status) override { opened = status; }
    void rfcommChannelData(bt::Channel&, const uint8_t*, size_t) override { ++data; }
    void rfcommChannelClosed(bt::Channel&) override { ++closed; }

    std::optional<int> opened;
    int data = 0;
    int closed = 0;
};

TEST_F(BluezTest, WithoutAnAdapterQueriesAndOpensFailOnTheMainQueue) {
    startBus();
    startBluez();
    auto bluetooth = bt::systemBluetooth(queue);
    auto device = bluetooth->deviceWithAddress("AA:BB:CC:DD:EE:01");
    ASSERT_NE(nullptr, device);

    // A second query while the first runs is answered too.
    std::optional<int> first;
    std::optional<int> second;
    device->performSdpQuery([&](int status) { first = status; });
    device->performSdpQuery([&](int status) { second = status; });
    ASSERT_TRUE(queue.runUntil([&] { return first && second; }));
    EXPECT_NE(0, *first);
    EXPECT_NE(0, *second);
    EXPECT_TRUE(device->services().empty());

    RecordingDelegate delegate;
    std::shared_ptr<bt::Channel> channel;
    ASSERT_EQ(0, device->openRfcommChannelAsync(12, &delegate, channel));
    ASSERT_NE(nullptr, channel);
    ASSERT_TRUE(queue.runUntil([&] { return delegate.opened.has_value(); }));
    EXPECT_NE(0, *delegate.opened);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_NE(0, channel->writeSync(bytes, sizeof bytes));
    EXPECT_EQ(0, delegate.data);

    // The provider and the device go with a query running: its answer is dropped, nothing waits.
    device->performSdpQuery([](int) {});
    bluetooth.reset();
    device.reset();
}

// A record from the bytes a phone's SDP server sends, read by libbluetooth and then by us.
bt::ServiceRecord fromTheWire(const uint8_t* bytes, size_t size) {
    int scanned = 0;
    sdp_record_t* parsed = sdp_extract_pdu(bytes, static_cast<int>(size), &scanned);
    EXPECT_NE(nullptr, parsed);
    const bt::ServiceRecord read = parsed ? bt::serviceRecordFrom(*parsed) : bt::ServiceRecord{};
    sdp_record_free(parsed);
    return read;
}

bt::ServiceRecord throughTheWire(sdp_record_t* record) {
    sdp_buf_t pdu{};
    EXPECT_EQ(0, sdp_gen_record_pdu(record, &pdu));
    const bt::ServiceRecord read = fromTheWire(pdu.data, pdu.data_size);
    free(pdu.data);
    sdp_record_free(record);
    return read;
}

TEST(SdpRecords, ReadUuidsNameAndRfcommChannel) {
    uuid_t vocari{}, serialPort{}, l2cap{}, rfcomm{};
    sdp_uuid128_create(&vocari, bt::kServiceUuid.data());
    sdp_uuid16_create(&serialPort, SERIAL_PORT_SVCLASS_ID);
    sdp_uuid16_create(&l2cap, L2CAP_UUID);
    sdp_uuid16_create(&rfcomm, RFCOMM_UUID);
    uint8_t channelNumber = 12;

    sdp_record_t* offered = sdp_record_alloc();
    sdp_list_t* classes = sdp_list_append(sdp_list_append(nullptr, &vocari), &serialPort);
    sdp_set_service_classes(offered, classes);
    sdp_list_t* l2capLevel = sdp_list_append(nullptr, &l2cap);
    sdp_data_t* channel = sdp_data_alloc(SDP_UINT8, &channelNumber);
    sdp_list_t* rfcommLevel = sdp_list_append(sdp_list_append(nullptr, &rfcomm), channel);
    sdp_list_t* levels = sdp_list_append(sdp_list_append(nullptr, l2capLevel), rfcommLevel);
    sdp_list_t* access = sdp_list_append(nullptr, levels);
    sdp_set_access_protos(offered, access);
    sdp_set_info_attr(offered, "Vocari Mic", nullptr, nullptr);
    const bt::ServiceRecord read = throughTheWire(offered);
    EXPECT_TRUE(read.offersVocari());
    EXPECT_TRUE(read.hasService({0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00,
                                 0x80, 0x5F, 0x9B, 0x34, 0xFB}));
    EXPECT_EQ("Vocari Mic", read.name);
    EXPECT_EQ(12, read.rfcommChannel);
    sdp_data_free(channel);
    sdp_list_free(l2capLevel, nullptr);
    sdp_list_free(rfcommLevel, nullptr);
    sdp_list_free(levels, nullptr);
    sdp_list_free(access, nullptr);
    sdp_list_free(classes, nullptr);

    // Found by its name alone, sent with a terminating zero; no protocol list, so no channel.
    const uint8_t named[] = {0x35, 0x0C,                                        // the attributes
                             0x09, 0x01, 0x00,                                  // 0x0100, the name:
                             0x25, 0x07, 'V',  'o', 'c', 'a', 'r', 'i', 0x00};  // 7 bytes of text
    const bt::ServiceRecord byName = fromTheWire(named, sizeof named);
    EXPECT_TRUE(byName.offersVocari());
    EXPECT_FALSE(byName.rfcommChannel);
}

}  // namespace
}  // namespace vocari
