#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "lines.h"

namespace vocari::test {

// Collects the lines a component prints, for assertions.
class RecordingSink final : public LineSink {
  public:
    void write(std::string_view line) override;
    std::vector<std::string> lines() const;
    // Lines containing `text`.
    size_t count(std::string_view text) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace vocari::test
