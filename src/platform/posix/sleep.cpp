#include "platform/sleep.h"

#include <cerrno>
#include <ctime>

namespace kestrel::platform {

void SleepMs(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal cuts the sleep short; go on sleeping for what is left.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace kestrel::platform
