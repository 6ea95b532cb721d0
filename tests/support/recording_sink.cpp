#include "recording_sink.h"

#include <algorithm>

namespace vocari::test {

void RecordingSink::write(std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
}

std::vector<std::string> RecordingSink::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

size_t RecordingSink::count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& line) {
        return line.find(text) != std::string::npos;
    }));
}

void RecordingSink::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace vocari::test
