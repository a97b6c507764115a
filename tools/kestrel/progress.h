// A progress bar on standard error for long operations: "[#####.....]  5/16 sectors  3.1/s
// 00:02". Drawn only when standard error is a terminal and --quiet is not given.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kestrel::tool {

class Progress {
  public:
    Progress(uint64_t total, std::string unit, bool quiet);
    ~Progress();  // clears the bar
    void Update(uint64_t done);

    // The bar's text for a point in time: pure, for tests.
    static std::string Render(uint64_t done, uint64_t total, const std::string& unit,
                              double elapsedSeconds, size_t width);

  private:
    using Clock = std::chrono::steady_clock;
    uint64_t total_;
    std::string unit_;
    bool shown_;
    Clock::time_point start_;
    Clock::time_point lastDrawn_;
    bool drawn_ = false;
};

}  // namespace kestrel::tool
