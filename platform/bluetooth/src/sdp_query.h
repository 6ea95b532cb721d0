#pragma once

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>

#include <mutex>
#include <string>
#include <vector>

#include "vocari/bluetooth.h"

namespace vocari::bt {

inline constexpr uint8_t kLastRfcommChannel = 30;  // RFCOMM channels are numbered 1 to 30

// Lets another thread stop a query, whether it waits for the connection or, inside libbluetooth,
// for the phone's answer.
class SdpCancel {
  public:
    SdpCancel();
    ~SdpCancel();
    SdpCancel(const SdpCancel&) = delete;
    SdpCancel& operator=(const SdpCancel&) = delete;

    // Any thread. Every query from now on ends at once with ECANCELED or another error.
    void cancel();

    // Query thread: the session's socket, shut down by cancel() while attached. False when
    // already cancelled.
    bool attach(int fd);
    void detach();
    int wakeFd() const { return wake_; }

  private:
    std::mutex mutex_;
    bool cancelled_ = false;
    int fd_ = -1;
    const int wake_;  // an eventfd, readable once cancelled
};

// Asks the device at `address` (as "AA:BB:CC:DD:EE:FF") for every service record with an L2CAP
// protocol, which every RFCOMM service has. Blocks for up to the connection's and libbluetooth's
// own time-outs (tens of seconds), so it runs on a thread of its own. 0 and the records, or an
// errno value.
int querySdp(const std::string& address, std::vector<ServiceRecord>& records, SdpCancel& cancel);

// What the bridge needs of a record libbluetooth parsed: every UUID it holds (in 128-bit form),
// its service name (attribute 0x0100) and the RFCOMM channel of its protocol descriptor list.
ServiceRecord serviceRecordFrom(const sdp_record_t& record);

}  // namespace vocari::bt
