#include "records.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>
#include <type_traits>

namespace vocari::app {
namespace {

// The first Count - 1 tab-separated fields, then the rest of the line as the last one; nullopt
// when the line has fewer than Count fields.
template <std::size_t Count>
std::optional<std::array<std::string_view, Count>> splitFields(std::string_view line) {
    std::array<std::string_view, Count> fields;
    for (std::size_t i = 0; i + 1 < Count; ++i) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            return std::nullopt;
        }
        fields[i] = line.substr(0, tab);
        line.remove_prefix(tab + 1);
    }
    fields[Count - 1] = line;
    return fields;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

template <typename Number>
bool convertsWhole(std::string_view text, Number& value) {
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    return error == std::errc{} && end == last;
}

template <typename Int>
std::optional<Int> parseInteger(std::string_view field) {
    const bool negative = !field.empty() && field.front() == '-';
    std::string_view digits = field;
    if (negative || (!field.empty() && field.front() == '+')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit)) {
        return std::nullopt;
    }
    Int value{};
    if constexpr (std::is_signed_v<Int>) {
        // The minus goes to from_chars with the digits, so the most negative value fits too.
        if (!convertsWhole(negative ? field : digits, value)) {
            return std::nullopt;
        }
    } else if (!convertsWhole(digits, value) || (negative && value != 0)) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseFinite(std::string_view field) {
    // from_chars takes no '+' of its own; a second sign after it is not a number.
    if (!field.empty() && field.front() == '+') {
        field.remove_prefix(1);
        if (!field.empty() && field.front() == '-') {
            return std::nullopt;
        }
    }
    double value = 0.0;
    if (!convertsWhole(field, value) || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

int LoopbackDevice::stereoPairs() const {
    return outChannels < 4 ? 1 : outChannels / 2;
}

std::optional<LoopbackDevice> LoopbackDevice::parse(std::string_view line) {
    const auto fields = splitFields<6>(line);
    if (!fields || (*fields)[0] != "device:") {
        return std::nullopt;
    }
    const auto& field = *fields;
    const auto outChannels = parseInteger<int>(field[2]);
    const auto firstChannel = parseInteger<int>(field[3]);
    if (!outChannels || !firstChannel) {
        return std::nullopt;
    }
    return LoopbackDevice{.uid = std::string(field[4]),
                          .name = std::string(field[5]),
                          .outChannels = *outChannels,
                          .isActive = field[1] == "1",
                          .firstChannel = *firstChannel};
}

std::string PhoneSession::channelLabel() const {
    // Widened so that the largest channel number a line can carry still gets its successor.
    return std::to_string(firstChannel) + "\xE2\x80\x93" +
           std::to_string(static_cast<int64_t>(firstChannel) + 1);
}

std::optional<PhoneSession> PhoneSession::parse(std::string_view line) {
    const auto fields = splitFields<14>(line);
    if (!fields || (*fields)[0] != "session:") {
        return std::nullopt;
    }
    const auto& field = *fields;
    const auto slot = parseInteger<int>(field[1]);
    const auto firstChannel = parseInteger<int>(field[2]);
    const auto packets = parseInteger<uint64_t>(field[3]);
    const auto bufferMs = parseInteger<int>(field[4]);
    const auto targetMs = parseInteger<int>(field[5]);
    const auto xruns = parseInteger<int64_t>(field[6]);
    const auto rttMs = parseFinite(field[7]);
    const auto netDelayMs = parseFinite(field[8]);
    const auto deviceId = parseInteger<uint32_t>(field[12]);
    if (!slot || !firstChannel || !packets || !bufferMs || !targetMs || !xruns || !rttMs ||
        !netDelayMs || !deviceId) {
        return std::nullopt;
    }
    return PhoneSession{.slot = *slot,
                        .firstChannel = *firstChannel,
                        .packets = *packets,
                        .bufferMs = *bufferMs,
                        .targetMs = *targetMs,
                        .xruns = *xruns,
                        .rttMs = *rttMs,
                        .netDelayMs = *netDelayMs,
                        .preset = std::string(field[9]),
                        .label = std::string(field[10]),
                        .format = std::string(field[11]),
                        .deviceId = *deviceId,
                        .name = std::string(field[13])};
}

}  // namespace vocari::app
