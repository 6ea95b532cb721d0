#include "daemon_output.h"

#include <charconv>

namespace vocari::app {

namespace {

// The length of the UTF-8 sequence `lead` starts, 0 when it cannot start one.
size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// The code point starting at `at`, or -1 when the bytes there are not one; `length` gets its
// size.
int32_t decodeAt(std::string_view text, size_t at, size_t& length) {
    const auto lead = static_cast<unsigned char>(text[at]);
    length = sequenceLength(lead);
    if (length == 0 || at + length > text.size()) {
        return -1;
    }
    if (length == 1) {
        return lead;
    }
    int32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return -1;
        }
        code = (code << 6) | (next & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        return -1;
    }
    return code;
}

bool isHorizontalSpace(int32_t code) {
    return code == '\t' || code == ' ' || code == 0xA0 || code == 0x1680 ||
           (code >= 0x2000 && code <= 0x200A) || code == 0x202F || code == 0x205F || code == 0x3000;
}

bool contains(std::string_view line, std::string_view part) {
    return line.find(part) != std::string_view::npos;
}

std::string_view after(std::string_view line, std::string_view marker) {
    return line.substr(line.find(marker) + marker.size());
}

std::string countText(size_t phones) {
    return phones == 1 ? std::string("1 phone") : std::to_string(phones) + " phones";
}

}  // namespace

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    size_t at = 0;
    const auto cut = [&](size_t end, size_t next) {
        if (end > start) {
            lines.push_back(text.substr(start, end - start));
        }
        start = next;
        at = next;
    };
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '\n' || byte == '\v' || byte == '\f') {
            cut(at, at + 1);
        } else if (byte == '\r') {
            cut(at, at + 1 < text.size() && text[at + 1] == '\n' ? at + 2 : at + 1);
        } else if (byte == 0xC2 && at + 1 < text.size() &&
                   static_cast<unsigned char>(text[at + 1]) == 0x85) {
            cut(at, at + 2);
        } else if (byte == 0xE2 && at + 2 < text.size() &&
                   static_cast<unsigned char>(text[at + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[at + 2]) == 0xA8 ||
                    static_cast<unsigned char>(text[at + 2]) == 0xA9)) {
            cut(at, at + 3);
        } else {
            ++at;
        }
    }
    cut(text.size(), text.size());
    return lines;
}

std::string_view trimHorizontal(std::string_view text) {
    size_t length = 0;
    while (!text.empty() && isHorizontalSpace(decodeAt(text, 0, length))) {
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        // Step back to the start of the last character.
        size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 &&
               text.size() - start < 4) {
            --start;
        }
        if (!isHorizontalSpace(decodeAt(text, start, length)) || start + length != text.size()) {
            break;
        }
        text.remove_suffix(length);
    }
    return text;
}

int64_t readCount(std::string_view text) {
    text = trimHorizontal(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return 0;
        }
    }
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return 0;
    }
    return value;
}

size_t completeUtf8Length(std::string_view bytes) {
    // A cut-short sequence is at most three bytes: a lead byte and up to two continuations.
    for (size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;
        }
        const size_t need = sequenceLength(byte);
        return need > back ? bytes.size() - back : bytes.size();
    }
    return bytes.size();
}

bool isValidUtf8(std::string_view bytes) {
    size_t length = 0;
    for (size_t at = 0; at < bytes.size(); at += length) {
        if (decodeAt(bytes, at, length) < 0) {
            return false;
        }
    }
    return true;
}

void DaemonOutput::take(std::string_view text, OutputEffects& effects) {
    for (const std::string_view line : splitLines(text)) {
        takeLine(line, effects);
    }
}

void DaemonOutput::takeLine(std::string_view line, OutputEffects& effects) {
    if (contains(line, "devices: ")) {
        expecting_ = readCount(after(line, "devices: "));
        incoming_.clear();
        if (expecting_ == 0) {
            devices_.clear();
            effects.rebuildDeviceMenu();
        }
    } else if (line.starts_with("device:\t")) {
        if (auto device = LoopbackDevice::parse(line)) {
            incoming_.push_back(std::move(*device));
        }
        if (expecting_ > 0 && static_cast<int64_t>(incoming_.size()) >= expecting_) {
            devices_ = std::move(incoming_);
            incoming_.clear();
            expecting_ = 0;
            effects.rebuildDeviceMenu();
            for (const LoopbackDevice& device : devices_) {
                if (device.isActive) {
                    effects.refreshVolumeWarning(device.uid, device.name);
                    break;
                }
            }
        }
    } else if (contains(line, "sessions: ")) {
        expectingPhones_ = readCount(after(line, "sessions: "));
        incomingPhones_.clear();
        if (expectingPhones_ == 0) {
            phones_.clear();
            effects.rebuildPhoneMenu();
        }
    } else if (line.starts_with("session:\t")) {
        if (auto session = PhoneSession::parse(line)) {
            incomingPhones_.push_back(std::move(*session));
        }
        if (expectingPhones_ >= 1 &&
            static_cast<int64_t>(incomingPhones_.size()) >= expectingPhones_) {
            phones_ = std::move(incomingPhones_);
            incomingPhones_.clear();
            expectingPhones_ = 0;
            effects.rebuildPhoneMenu();
        }
    } else {
        takeEvent(line, effects);
    }
}

void DaemonOutput::takeEvent(std::string_view line, OutputEffects& effects) {
    if (contains(line, "align=off")) {
        alignStreams_ = false;
        effects.showAlignment(false);
    } else if (contains(line, "align=on")) {
        alignStreams_ = true;
        effects.showAlignment(true);
    }
    if (contains(line, "pairing code: ")) {
        pairingCode_ = std::string(trimHorizontal(after(line, "pairing code: ")));
        effects.showPairingCode(*pairingCode_);
    }
    if (contains(line, "pairing: REJECTED")) {
        effects.setStatus("\u26A0 Phone used the wrong pairing code", false);
        return;
    }
    if (contains(line, "pairing: too many wrong codes")) {
        effects.setStatus("\u26A0 Too many wrong codes \u2014 paused", false);
        return;
    }
    if (contains(line, "phone=yes")) {
        const std::string count = countText(phones_.size());
        effects.setStatus(
            "\u25CF " + count + (driverMissing_ ? " (\u26A0 no audio device)" : " connected"),
            true);
    } else if (contains(line, "phone=waiting")) {
        effects.setStatus(driverMissing_ ? "\u25CB Waiting (\u26A0 no audio device)"
                                         : "\u25CB Waiting for phone\u2026",
                          false);
    }
    if (contains(line, "routing to default-output")) {
        driverMissing_ = true;
    }
    if (contains(line, "routing to VIRTUAL")) {
        driverMissing_ = false;
    }
}

}  // namespace vocari::app
