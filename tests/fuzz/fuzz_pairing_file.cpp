// The pairing file's text: the daemon's reader must agree with sscanf("%lu") on every input
// that sscanf can see whole (no NUL bytes), and never crash on any.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pairing_gate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = vocari::parsePairingCode(text);
    if (parsed && (*parsed < 100000 || *parsed > 999999)) {
        std::abort();
    }
    if (std::memchr(data, 0, size) != nullptr) {
        return 0;
    }
    unsigned long reference = 0;
    const bool referenceValid = std::sscanf(text.c_str(), "%lu", &reference) == 1 &&
                                reference >= 100000 && reference <= 999999;
    if (referenceValid != parsed.has_value() || (parsed && *parsed != reference)) {
        std::abort();
    }
    return 0;
}
