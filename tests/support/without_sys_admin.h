// Drops CAP_SYS_ADMIN from the calling thread for as long as the object lives. Root may open a
// tty that another descriptor holds exclusively (TIOCEXCL); without the capability a test sees
// what other programs see.
#pragma once

#include <cstdint>

#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace kestrel::testsupport {

#ifdef __linux__
class WithoutSysAdmin {
  public:
    WithoutSysAdmin() {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        if (syscall(SYS_capget, &header, saved_) != 0) return;
        if ((saved_[0].effective & kBit) == 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~kBit;
        restore_ = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutSysAdmin() {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        if (restore_) syscall(SYS_capset, &header, saved_);
    }
    WithoutSysAdmin(const WithoutSysAdmin&) = delete;
    WithoutSysAdmin& operator=(const WithoutSysAdmin&) = delete;

  private:
    static constexpr uint32_t kBit = 1u << CAP_SYS_ADMIN;
    __user_cap_data_struct saved_[2] = {};
    bool restore_ = false;
};
#else
struct WithoutSysAdmin {};
#endif

}  // namespace kestrel::testsupport
