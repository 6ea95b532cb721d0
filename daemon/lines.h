#pragma once

#include <cstdio>
#include <string_view>

namespace vocari {

// Where the daemon's text lines go. The app reads standard output line by line, so every line is
// handed over whole, in one call, and lines from different threads never interleave.
class LineSink {
  public:
    virtual ~LineSink() = default;
    // Any thread. `line` is one complete line including its final '\n'.
    virtual void write(std::string_view line) = 0;
};

// Writes each line with one fwrite on a stdio stream (whose own lock keeps lines whole).
class StreamLineSink final : public LineSink {
  public:
    explicit StreamLineSink(std::FILE* stream) : stream_(stream) {}
    void write(std::string_view line) override;

  private:
    std::FILE* stream_;
};

LineSink& stdoutLines();
LineSink& stderrLines();

// Formats one line (the format carries its own '\n') and hands it to the sink in one piece.
void printLine(LineSink& sink, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vocari
