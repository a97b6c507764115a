#include "progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace kestrel::tool {

Progress::Progress(uint64_t total, std::string unit, bool quiet)
    : total_(total),
      unit_(std::move(unit)),
      shown_(!quiet && isatty(fileno(stderr))),
      start_(Clock::now()) {}

Progress::~Progress() {
    if (drawn_) std::fputs("\r\033[K", stderr);
}

void Progress::Update(uint64_t done) {
    if (!shown_) return;
    const Clock::time_point now = Clock::now();
    // At most ten redraws a second, and always the last one.
    if (drawn_ && done < total_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    drawn_ = true;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r%s\033[K", Render(done, total_, unit_, elapsed, 30).c_str());
    std::fflush(stderr);
}

std::string Progress::Render(uint64_t done, uint64_t total, const std::string& unit,
                             double elapsedSeconds, size_t width) {
    const size_t filled = total == 0 ? width : static_cast<size_t>(done * width / total);
    std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
    const double rate = elapsedSeconds > 0 ? static_cast<double>(done) / elapsedSeconds : 0.0;
    const unsigned seconds = static_cast<unsigned>(elapsedSeconds);
    char text[128];
    std::snprintf(text, sizeof text, " %llu/%llu %s  %.1f/s  %02u:%02u",
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  unit.c_str(), rate, seconds / 60, seconds % 60);
    return bar + text;
}

}  // namespace kestrel::tool
