#include "interrupt.h"

#include <chrono>
#include <csignal>
#include <thread>

#include "output.h"

namespace kestrel::tool {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}

}  // namespace

void InstallInterruptHandler() {
#ifdef _WIN32
    std::signal(SIGINT, OnInterrupt);
#else
    // SA_RESTART: a read or poll inside the library goes on rather than failing with EINTR,
    // so the call under way ends as it would have without the signal.
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

bool InterruptRequested() {
    return gInterrupted != 0;
}

void CheckInterrupt() {
    if (InterruptRequested()) throw Interrupted();
}

void SleepInterruptibly(uint32_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        CheckInterrupt();
        const auto left = end - Clock::now();
        if (left <= Clock::duration::zero()) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(20)));
    }
}

}  // namespace kestrel::tool
