#include "phone_run.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "heartbeat_listener.h"
#include "rtp_copy.h"
#include "time_sync_responder.h"

namespace vocari::phone {

namespace {

void writeLine(std::FILE* stream, const std::string& line) {
    const std::string whole = line + "\n";
    std::fwrite(whole.data(), 1, whole.size(), stream);
    std::fflush(stream);
}

bool closedByPeer(int error) {
    return error == EPIPE || error == ECONNRESET;
}

std::unique_ptr<AudioSource> makeSource(const PhoneSetup& setup, const PhoneClock& clock,
                                        std::string& error) {
    if (setup.clickEveryMs > 0) {
        return std::make_unique<ClickSource>(clock,
                                             static_cast<int64_t>(setup.clickEveryMs) * 1'000'000,
                                             setup.level, setup.format.channels);
    }
    if (setup.wavPath.empty()) {
        return std::make_unique<ToneSource>(setup.toneHz, setup.level, setup.format.channels);
    }
    return WavSource::open(setup.wavPath, setup.format.channels, error);
}

// The phone's time-sync answerer, or null when it has none: TCP phones and --no-time-sync take
// no part, and one that cannot bind its port says why and streams without.
std::unique_ptr<TimeSyncResponder> openTimeSync(const PhoneSetup& setup, const PhoneClock& clock,
                                                LinePrinter& printer, const std::string& prefix) {
    const PhoneOptions& link = setup.link;
    if (!setup.timeSync || link.transport != Transport::Udp) {
        return nullptr;
    }
    const auto note = [&](const std::string& why) {
        printer.err("vocari-phone: " + prefix + why + "; streaming without time sync");
    };
    // The receiver sends its requests from its own address and port 5557: a phone bound there
    // would take every answer meant for the receiver, its own and every other phone's.
    in_addr local{};
    in_addr receiver{};
    if (inet_pton(AF_INET, link.localAddress.c_str(), &local) == 1 &&
        inet_pton(AF_INET, link.receiverAddress.c_str(), &receiver) == 1 &&
        local.s_addr == receiver.s_addr) {
        note("the phone's address " + link.localAddress + " is the receiver's, whose port " +
             std::to_string(protocol::kTimeSyncPort) +
             " is its own (give the phone another --local)");
        return nullptr;
    }
    std::string error;
    auto responder = TimeSyncResponder::open(link.localAddress, protocol::kTimeSyncPort, clock,
                                             setup.impairment, setup.seed, error);
    if (!responder) {
        note(error);
    }
    return responder;
}

}  // namespace

void LinePrinter::out(const std::string& line) {
    const std::lock_guard lock(mutex_);
    writeLine(stdout, line);
}

void LinePrinter::err(const std::string& line) {
    const std::lock_guard lock(mutex_);
    writeLine(stderr, line);
}

std::string summaryLine(const std::string& name, const StreamCounts& counts, uint64_t heard,
                        uint64_t answered) {
    char text[256];
    std::snprintf(text, sizeof text,
                  ": sent %" PRIu64 " audio messages (%" PRIu64 " lost, %" PRIu64
                  " duplicated, %" PRIu64 " reordered), heard %" PRIu64
                  " heartbeats, answered %" PRIu64 " time requests",
                  counts.made, counts.lost, counts.duplicated, counts.reordered, heard, answered);
    return name + text;
}

std::string arrivalLine(const std::string& name, const StreamCounts& counts) {
    char text[256];
    std::snprintf(text, sizeof text,
                  ": in arrival order, %" PRIu64 " messages missing in gaps of 2 to 8, %" PRIu64
                  " in longer gaps, %" PRIu64 " copies late or repeated",
                  counts.missingInShortGaps, counts.missingInLongGaps, counts.lateOrRepeated);
    return name + text;
}

std::string heartbeatLine(int64_t arrivedNs, int64_t sinceNs, const protocol::Heartbeat& beat) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "heartbeat at +%.3f s: packets=%" PRIu32 " buffer=%" PRIu32
                  "ms underruns=%" PRIu32,
                  static_cast<double>(arrivedNs - sinceNs) / 1e9, beat.packets, beat.bufferMs,
                  beat.underruns);
    return text;
}

bool runPhone(const PhoneSetup& setup, const TimeSource& time, Waiter& waiter, int64_t startNs,
              LinePrinter& printer) {
    const std::string& name = setup.link.name;
    const std::string prefix = setup.nameLines ? name + ": " : std::string();
    StreamCounts counts;
    uint64_t heard = 0;
    uint64_t answered = 0;
    const auto finish = [&](bool ok) {
        printer.out(summaryLine(name, counts, heard, answered));
        if (counts.made > 0) {
            printer.out(arrivalLine(name, counts));
        }
        return ok;
    };
    const auto failure = [&](const std::string& what) {
        printer.err("vocari-phone: " + prefix + what);
        return finish(false);
    };

    std::string error;
    auto phone = Phone::open(setup.link, error);
    if (!phone) {
        return failure(error);
    }
    const PhoneClock clock(time, startNs, setup.clockEpochNs, setup.skewPpm);
    auto source = makeSource(setup, clock, error);
    if (!source) {
        return failure(error);
    }
    StreamFormat format = setup.format;
    format.lengthPrefix = setup.link.transport == Transport::Tcp;
    auto maker = AudioMessageMaker::create(format, std::move(source), error);
    if (!maker) {
        return failure(error);
    }
    std::unique_ptr<RtpCopy> rtp;
    if (!setup.rtpCopy.empty()) {
        rtp = RtpCopy::open(setup.link.localAddress, setup.rtpCopy,
                            0x564F0000u + static_cast<uint32_t>(setup.seed), error);
        if (!rtp) {
            return failure(error);
        }
    }
    StreamSender sender(*maker, clock, waiter, setup.impairment, setup.seed,
                        [&phone, &rtp](std::span<const uint8_t> bytes) {
                            if (rtp) {
                                rtp->send(bytes);
                            }
                            return phone->sendRaw(bytes);
                        });
    auto timeSync = openTimeSync(setup, clock, printer, prefix);

    error.clear();
    bool ok = true;
    bool closed = false;
    {
        HeartbeatListener listener(
            *phone, time, [&](int64_t arrivedNs, const protocol::Heartbeat& beat) {
                if (setup.heartbeatLog) {
                    // Timed from the stream's start, so it compares with the messages made.
                    const int64_t since = sender.streamStartNs();
                    printer.out(prefix +
                                heartbeatLine(arrivedNs, since != 0 ? since : startNs, beat));
                }
            });
        const bool tcp = setup.link.transport == Transport::Tcp;
        for (const auto& action : setup.actions) {
            if (listener.closed().load()) {
                closed = true;
                break;
            }
            bool sent = true;
            int sendErrno = 0;
            if (action == "hello") {
                sent = phone->sendHello();
                sendErrno = errno;
            } else if (action == "bye") {
                sent = phone->sendBye();
                sendErrno = errno;
            } else if (action == "pause") {
                closed = listener.waitForClose(setup.pauseMs);
            } else {
                const auto outcome = sender.run(
                    setup.streamSeconds, setup.helloEveryMs,
                    [&phone] { return phone->sendHello(); }, listener.closed());
                counts = sender.counts();
                printer.out(prefix + "stream began at host time " +
                            std::to_string(sender.streamStartNs()) + " ns");
                closed = outcome == StreamSender::Outcome::Stopped;
                if (outcome == StreamSender::Outcome::Failed) {
                    sent = false;
                    sendErrno = sender.sendErrno();
                    error = sender.error();
                }
            }
            if (!sent && tcp && closedByPeer(sendErrno)) {
                closed = true;
            } else if (!sent) {
                printer.err("vocari-phone: " + prefix + action + " could not be sent: " +
                            (error.empty() ? std::strerror(sendErrno) : error));
                ok = false;
                break;
            }
            if (closed) {
                break;
            }
            printer.out(prefix + "sent " + action);
        }
        if (tcp && (closed || listener.waitForClose(200))) {
            printer.out(prefix + "receiver closed the connection");
        }
        listener.stop();
        heard = listener.heard();
    }
    if (timeSync) {
        timeSync->stop();
        answered = timeSync->answered();
    }
    return finish(ok);
}

}  // namespace vocari::phone
