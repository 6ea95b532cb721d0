#pragma once

#include <bluetooth/bluetooth.h>

#include <functional>
#include <memory>
#include <thread>

#include "main_handle.h"
#include "vocari/bluetooth.h"

namespace vocari::bt {

// An RFCOMM socket to a phone. One worker thread waits for the connection, then reads and posts
// what it reads; the open's outcome, the bytes and the end reach the delegate on the main thread,
// each only if a delegate is still set when it is delivered. Everything else: main thread.
class RfcommChannel final : public Channel, public std::enable_shared_from_this<RfcommChannel> {
  public:
    // Starts connecting to `channel` on `address`; the outcome follows through the delegate.
    static std::shared_ptr<RfcommChannel> open(std::shared_ptr<MainHandle> main,
                                               ChannelDelegate* delegate, const bdaddr_t& address,
                                               uint8_t channel);

    RfcommChannel(std::shared_ptr<MainHandle> main, ChannelDelegate* delegate);
    ~RfcommChannel() override;
    RfcommChannel(const RfcommChannel&) = delete;
    RfcommChannel& operator=(const RfcommChannel&) = delete;

    void setDelegate(ChannelDelegate* delegate) override { delegate_ = delegate; }
    void closeChannel() override;
    size_t mtu() const override;
    int writeSync(const uint8_t* data, size_t length) override;

  private:
    void connect(const bdaddr_t& address, uint8_t channel);
    void run();
    int waitConnected() const;
    void post(std::function<void(RfcommChannel&)> work);

    std::shared_ptr<MainHandle> main_;
    ChannelDelegate* delegate_;  // main thread only
    int fd_ = -1;                // set before the worker starts, closed after it has ended
    int wake_ = -1;              // an eventfd: readable once the channel is closed
    std::thread worker_;
};

}  // namespace vocari::bt
