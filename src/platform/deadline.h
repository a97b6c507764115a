// A point in time after which a blocking operation gives up, on the monotonic clock.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>

namespace kestrel::platform {

class Deadline {
  public:
    using Clock = std::chrono::steady_clock;

    // Longest wait a deadline stands for (about 34 years); longer requests are cut to it so
    // that adding them to the clock cannot overflow.
    static constexpr uint64_t kMaxMs = uint64_t{1} << 40;

    explicit Deadline(uint64_t ms, Clock::time_point start = Clock::now())
        : end_(start + std::chrono::milliseconds(ms < kMaxMs ? ms : kMaxMs)) {}

    // Milliseconds left, rounded up so that a wait of that length never ends before the
    // deadline; 0 once it has passed; at most INT_MAX so it can be handed to poll().
    int RemainingMs(Clock::time_point now = Clock::now()) const {
        if (now >= end_) return 0;
        const auto left = end_ - now;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left);
        if (ms < left) ++ms;
        return ms.count() > INT_MAX ? INT_MAX : static_cast<int>(ms.count());
    }

    bool Expired(Clock::time_point now = Clock::now()) const { return now >= end_; }

  private:
    Clock::time_point end_;
};

}  // namespace kestrel::platform
