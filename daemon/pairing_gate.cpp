#include "pairing_gate.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <limits>

#include "protocol.h"

namespace vocari {

namespace {

// The pairing file holds a six-digit number and a line feed; anything past this many bytes can
// only be trailing junk, which the parser ignores anyway.
constexpr size_t kPairingFileReadLimit = 4096;

std::optional<std::string> readHead(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string text(kPairingFileReadLimit, '\0');
    const size_t got = std::fread(text.data(), 1, text.size(), file);
    std::fclose(file);
    text.resize(got);
    return text;
}

}  // namespace

std::optional<uint32_t> parsePairingCode(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    const size_t digitsStart = at;
    unsigned long value = 0;
    bool overflow = false;
    constexpr unsigned long kMax = std::numeric_limits<unsigned long>::max();
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        const unsigned digit = static_cast<unsigned>(text[at] - '0');
        if (value > (kMax - digit) / 10) {
            overflow = true;
        } else {
            value = value * 10 + digit;
        }
        ++at;
    }
    if (at == digitsStart || overflow) {
        return std::nullopt;
    }
    if (negative) {
        value = 0UL - value;  // scanf's %lu negates in unsigned arithmetic
    }
    if (value < PairingGate::kMinCode || value > PairingGate::kMaxCode) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

PairingGate::PairingGate(std::string path, uint32_t code, const Clock& clock, LineSink& out)
    : path_(std::move(path)), code_(code), clock_(clock), out_(out) {
    if (code_ != 0) {
        return;
    }
    if (!path_.empty()) {
        if (const auto text = readHead(path_)) {
            // A number running into the read limit was not read whole: treat it as garbled.
            const bool cutShort = text->size() == kPairingFileReadLimit &&
                                  std::isdigit(static_cast<unsigned char>(text->back()));
            if (const auto loaded = parsePairingCode(*text); loaded && !cutShort) {
                code_ = *loaded;
                return;
            }
        }
    }
    code_ = arc4random_uniform(kMaxCode - kMinCode + 1) + kMinCode;
    save();
}

void PairingGate::save() const {
    if (path_.empty()) {
        return;
    }
    // Every missing folder on the way is created: a fresh home has no "Library/Application
    // Support" yet, and a code that is never saved would force every phone to pair anew at each
    // start.
    for (size_t slash = path_.find('/', 1); slash != std::string::npos;
         slash = path_.find('/', slash + 1)) {
        mkdir(path_.substr(0, slash).c_str(), 0700);
    }
    std::FILE* file = std::fopen(path_.c_str(), "w");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "%u\n", code_);
    std::fclose(file);
    chmod(path_.c_str(), 0600);
}

// A sender repeating HELLOs, or a flood of them, would otherwise print a line each, costing the
// receiving thread a write per datagram and drowning everything else the daemon says. Each
// sender is told once a second, and all of them together a few times a second.
bool PairingGate::mayTellIgnored(const char* from, int64_t now) {
    if (now - ignoredSecondStart_ >= kIgnoredLineIntervalNs) {
        ignoredSecondStart_ = now;
        ignoredLinesThisSecond_ = 0;
    }
    if (ignoredLinesThisSecond_ >= kIgnoredLinesPerSecond) {
        return false;
    }
    const size_t key = std::hash<std::string_view>{}(from);
    IgnoredSender* slot = &ignoredSenders_[0];
    for (IgnoredSender& sender : ignoredSenders_) {
        if (sender.key == key) {
            slot = &sender;
            break;
        }
        if (sender.toldAt < slot->toldAt) {
            slot = &sender;
        }
    }
    if (slot->key == key && now - slot->toldAt < kIgnoredLineIntervalNs) {
        return false;
    }
    *slot = {key, now};
    ++ignoredLinesThisSecond_;
    return true;
}

bool PairingGate::helloAuthorized(std::span<const uint8_t> message, const char* from) {
    if (message.size() < protocol::kHelloSize) {
        return false;
    }
    const uint32_t presented = protocol::helloPairingCode(message);
    const int64_t now = clock_.nowNs();
    std::unique_lock lock(mutex_);
    if (now < lockedUntil_) {
        lock.unlock();
        const int64_t now2 = clock_.nowNs();
        lock.lock();
        const int64_t until = lockedUntil_;
        const bool say = mayTellIgnored(from, now2);
        lock.unlock();
        if (say) {
            // Whole seconds left, rounded up: 20 s left reads "20s", 19.2 s too, 0.3 s "1s".
            const long long secondsLeft =
                until > now2 ? (until - now2 + 999'999'999) / 1'000'000'000 : 0;
            printLine(out_, "pairing: too many wrong codes \u2014 ignoring %s for %llds\n", from,
                      secondsLeft);
        }
        return false;
    }
    if (presented == code_) {
        failures_ = 0;
        return true;
    }
    if (now - windowStart_ <= kWindowNs) {
        const int before = failures_++;
        if (before >= kFailuresBeforeLockout - 1) {
            lockedUntil_ = now + kLockoutNs;
            failures_ = 0;
            windowStart_ = now;
        }
    } else {
        windowStart_ = now;
        failures_ = 1;
    }
    lock.unlock();
    printLine(out_, "pairing: REJECTED %s \u2014 wrong code %06u\n", from, presented);
    return false;
}

}  // namespace vocari
