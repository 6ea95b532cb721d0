#pragma once

// One simulated phone running its actions from start to end: opens its link, listens for
// HEARTBEATs the whole time, says hello, streams, pauses and leaves as told, and reports a
// one-line summary.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "audio_message.h"
#include "impairment.h"
#include "phone.h"
#include "phone_clock.h"
#include "stream_sender.h"

namespace vocari::phone {

// Writes whole lines, each with one call and flushed at once, so that the lines of phones on
// several threads never mix and a reader sees each line as soon as it is written.
class LinePrinter {
  public:
    // Any thread. Serialised by a mutex.
    void out(const std::string& line);
    // Any thread. Serialised by a mutex.
    void err(const std::string& line);

  private:
    std::mutex mutex_;
};

struct PhoneSetup {
    PhoneOptions link;
    double toneHz = 440;
    double level = 0.5;
    std::string wavPath;   // when set, the phone plays this file instead of the tone
    int clickEveryMs = 0;  // when set, the phone plays clicks on the host clock instead
    StreamFormat format;
    ImpairmentConfig impairment;
    uint64_t seed = 1;
    int64_t clockEpochNs = 1'000'000'000'000;
    double skewPpm = 0;
    double streamSeconds = 5;
    int helloEveryMs = 0;
    int pauseMs = 500;
    std::vector<std::string> actions;  // hello, bye, pause, stream
    // UDP: answer the receiver's time requests on port 5557 of the phone's own address.
    bool timeSync = true;
    bool heartbeatLog = false;
    // UDP with Opus: "address:port" that also gets every AUDIO copy as RTP, or empty.
    std::string rtpCopy;
    bool nameLines = false;  // start every line but the summary with the phone's name
};

// "<name>: sent N audio messages (L lost, D duplicated, R reordered), heard H heartbeats,
// answered T time requests"
std::string summaryLine(const std::string& name, const StreamCounts& counts, uint64_t heard,
                        uint64_t answered);
// "<name>: in arrival order, M messages missing in gaps of 2 to 8, N in longer gaps, K copies
// late or repeated"
std::string arrivalLine(const std::string& name, const StreamCounts& counts);
// "heartbeat at +S.SSS s: packets=P buffer=Bms underruns=U", S counted from `sinceNs`.
std::string heartbeatLine(int64_t arrivedNs, int64_t sinceNs, const protocol::Heartbeat& beat);

// Runs one phone to the end on the calling thread; its clock and its heartbeat times count
// from `startNs`. False when it failed (could not open its link, send, read its WAV file).
// A TCP receiver that closes the link ends the actions early but is not a failure; a phone
// that cannot answer time requests says so and streams without.
bool runPhone(const PhoneSetup& setup, const TimeSource& time, Waiter& waiter, int64_t startNs,
              LinePrinter& printer);

}  // namespace vocari::phone
