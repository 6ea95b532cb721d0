#include "phone_run.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "heartbeat_listener.h"

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

std::unique_ptr<AudioSource> makeSource(const PhoneSetup& setup, std::string& error) {
    if (setup.wavPath.empty()) {
        return std::make_unique<ToneSource>(setup.toneHz, setup.level, setup.format.channels);
    }
    return WavSource::open(setup.wavPath, setup.format.channels, error);
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

std::string summaryLine(const std::string& name, const StreamCounts& counts, uint64_t heard) {
    char text[256];
    std::snprintf(text, sizeof text,
                  ": sent %" PRIu64 " audio messages (%" PRIu64 " lost, %" PRIu64
                  " duplicated, %" PRIu64 " reordered), heard %" PRIu64 " heartbeats",
                  counts.made, counts.lost, counts.duplicated, counts.reordered, heard);
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
    const auto finish = [&](bool ok) {
        printer.out(summaryLine(name, counts, heard));
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
    auto source = makeSource(setup, error);
    if (!source) {
        return failure(error);
    }
    StreamFormat format = setup.format;
    format.lengthPrefix = setup.link.transport == Transport::Tcp;
    auto maker = AudioMessageMaker::create(format, std::move(source), error);
    if (!maker) {
        return failure(error);
    }
    const PhoneClock clock(time, startNs, setup.clockEpochNs, setup.skewPpm);
    StreamSender sender(*maker, clock, waiter, setup.impairment, setup.seed,
                        [&phone](std::span<const uint8_t> bytes) { return phone->sendRaw(bytes); });

    error.clear();
    bool ok = true;
    bool closed = false;
    {
        HeartbeatListener listener(
            *phone, time, [&](int64_t arrivedNs, const protocol::Heartbeat& beat) {
                if (setup.heartbeatLog) {
                    printer.out(prefix + heartbeatLine(arrivedNs, startNs, beat));
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
    return finish(ok);
}

}  // namespace vocari::phone
