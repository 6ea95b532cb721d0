#include "lines.h"

#include <cstdarg>
#include <string>

namespace vocari {

void StreamLineSink::write(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stream_);
}

LineSink& stdoutLines() {
    static StreamLineSink sink(stdout);
    return sink;
}

LineSink& stderrLines() {
    static StreamLineSink sink(stderr);
    return sink;
}

void printLine(LineSink& sink, const char* format, ...) {
    char local[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(local, sizeof local, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(needed) < sizeof local) {
        va_end(again);
        sink.write(std::string_view(local, static_cast<size_t>(needed)));
        return;
    }
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.pop_back();
    sink.write(text);
}

}  // namespace vocari
