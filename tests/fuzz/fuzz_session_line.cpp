// A session line from the daemon's output: any text parses or is refused without a crash, and a
// parsed record printed back the way the daemon prints it parses again, with every integer and
// text unchanged, each decimal within the half tenth that one-decimal printing may round away,
// and a second print identical to the first.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "records.h"

namespace {

using vocari::app::PhoneSession;

template <typename... Args>
std::string printed(const char* format, Args... args) {
    std::string line(std::snprintf(nullptr, 0, format, args...), '\0');
    std::snprintf(line.data(), line.size() + 1, format, args...);
    return line;
}

// The daemon prints the buffer and target from doubles with %.0f, which writes a whole number
// exactly as %d would; xruns goes out as %lld, which matches the daemon's %u over every count
// it can hold and also covers the negative values the parser takes.
std::string printed(const PhoneSession& s) {
    return printed("session:\t%d\t%d\t%llu\t%.0f\t%.0f\t%lld\t%.1f\t%.1f\t%s\t%s\t%s\t%u\t%s",
                   s.slot, s.firstChannel, static_cast<unsigned long long>(s.packets),
                   static_cast<double>(s.bufferMs), static_cast<double>(s.targetMs),
                   static_cast<long long>(s.xruns), s.rttMs, s.netDelayMs, s.preset.c_str(),
                   s.label.c_str(), s.format.c_str(), s.deviceId, s.name.c_str());
}

bool hasNul(const PhoneSession& s) {
    for (const std::string* text : {&s.preset, &s.label, &s.format, &s.name}) {
        if (text->find('\0') != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool roundedToTenths(double original, double reread) {
    return std::fabs(reread - original) <= 0.05 + std::fabs(original) * 1e-15;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto session =
        PhoneSession::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    // %s ends at a NUL byte, so such a record has no printed form to compare.
    if (!session || hasNul(*session)) {
        return 0;
    }
    const std::string line = printed(*session);
    const auto reread = PhoneSession::parse(line);
    if (!reread || !roundedToTenths(session->rttMs, reread->rttMs) ||
        !roundedToTenths(session->netDelayMs, reread->netDelayMs) || printed(*reread) != line) {
        std::abort();
    }
    PhoneSession exact = *session;
    exact.rttMs = reread->rttMs;
    exact.netDelayMs = reread->netDelayMs;
    if (*reread != exact) {
        std::abort();
    }
    return 0;
}
