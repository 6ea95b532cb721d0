#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace vocari::app {

// What the app does when the daemon's output says something: implemented by the controller,
// which owns the menu. Every call is made on the thread that feeds DaemonOutput.
class OutputEffects {
  public:
    virtual ~OutputEffects() = default;
    virtual void rebuildDeviceMenu() = 0;
    virtual void rebuildPhoneMenu() = 0;
    virtual void setStatus(const std::string& text, bool connected) = 0;
    virtual void refreshVolumeWarning(const std::string& uid, const std::string& name) = 0;
    virtual void showAlignment(bool on) = 0;
    virtual void showPairingCode(const std::string& code) = 0;
};

// Reads the daemon's output (and the app's own log lines) a chunk at a time: collects the device
// and session blocks into complete lists, follows alignment, pairing code, pairing events, phone
// presence and routing, and tells `OutputEffects` what changed. No Qt, so it is fuzzed alone.
class DaemonOutput {
  public:
    // `text` is any piece of output: part of a line, a line, or many. Nothing is carried over
    // between calls: a line split over two chunks is two lines.
    void take(std::string_view text, OutputEffects& effects);

    const std::vector<LoopbackDevice>& devices() const { return devices_; }
    const std::vector<PhoneSession>& phones() const { return phones_; }
    bool alignStreams() const { return alignStreams_; }
    // The user's switch, ahead of the daemon's next report of it.
    void setAlignStreams(bool on) { alignStreams_ = on; }
    bool driverMissing() const { return driverMissing_; }
    const std::optional<std::string>& pairingCode() const { return pairingCode_; }
    void clearPairingCode() { pairingCode_.reset(); }

  private:
    void takeLine(std::string_view line, OutputEffects& effects);
    void takeEvent(std::string_view line, OutputEffects& effects);

    std::vector<LoopbackDevice> devices_;
    std::vector<LoopbackDevice> incoming_;
    int64_t expecting_ = 0;
    std::vector<PhoneSession> phones_;
    std::vector<PhoneSession> incomingPhones_;
    int64_t expectingPhones_ = 0;
    bool alignStreams_ = true;
    bool driverMissing_ = false;
    std::optional<std::string> pairingCode_;
};

// The lines of `text`, split at every kind of newline (LF, CR, CR LF, VT, FF, U+0085, U+2028,
// U+2029); empty lines are dropped.
std::vector<std::string_view> splitLines(std::string_view text);

// `text` without horizontal white space (tab and the Unicode space separators) at either end.
std::string_view trimHorizontal(std::string_view text);

// A block's count: an optional sign and digits, after trimming; anything else reads as 0.
int64_t readCount(std::string_view text);

// How many leading bytes of `bytes` to decode now: all but a UTF-8 sequence cut short at the
// end, which waits for the rest of it in the next read.
size_t completeUtf8Length(std::string_view bytes);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

}  // namespace vocari::app
