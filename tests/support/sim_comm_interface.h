// A CommInterface on the virtual reader's in-process link: the library's link and reader
// layers talk to the virtual reader without sockets or threads.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "KestrelAPI.h"
#include "comm/comm_interface.h"
#include "kestrel_sim/transports/in_process_link.h"

namespace kestrel::testsupport {

// Behaves like a serial line to the reader:
// - Write hands the bytes to the reader, which answers complete frames at once.
// - Read returns as many of the requested bytes as arrive within the time-out, with result 0
//   also when that is fewer (none at all included), as a serial port does after its time-out.
//   When nothing more is on its way it returns at once instead of sleeping out the time-out;
//   an answer that is delayed past the time-out is waited for until the time-out only.
// - After a link break the bytes that made it are readable, then reads return nothing and
//   writes fail (KESTREL_ERR_RS232_WRITE). Open (and so Reopen) brings the link back, as
//   connecting again to a network reader does.
// - Before Open and after Close, Write and Read fail.
class SimCommInterface : public comm::CommInterface {
  public:
    explicit SimCommInterface(sim::InProcessLink& link) : link_(link) {}

    Result Open() override {
        if (!link_.Connected()) link_.Reconnect();
        open_ = true;
        ++opens_;
        return KESTREL_OK;
    }
    Result Close() override {
        open_ = false;
        return KESTREL_OK;
    }
    Result Purge() override {
        link_.Purge();
        return KESTREL_OK;
    }
    Result Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                 uint32_t /*timeOutMs*/) override {
        if (written) *written = 0;
        if (!open_) return KESTREL_ERR_RS232_WRITE;
        const size_t accepted = link_.Write(buffer, length);
        if (written) *written = static_cast<uint32_t>(accepted);
        return accepted == length ? KESTREL_OK : KESTREL_ERR_RS232_WRITE;
    }
    Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) override {
        using Clock = sim::InProcessLink::Clock;
        if (read) *read = 0;
        if (!open_) return KESTREL_ERR_RS232_READ;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeOutMs);
        size_t got = link_.Read(buffer, length);
        while (got < length) {
            const std::optional<Clock::time_point> next = link_.NextDue();
            if (!next) break;
            if (*next > deadline) {
                std::this_thread::sleep_until(deadline);
                got += link_.Read(buffer + got, length - got);
                break;
            }
            std::this_thread::sleep_until(*next);
            got += link_.Read(buffer + got, length - got);
        }
        if (read) *read = static_cast<uint32_t>(got);
        return KESTREL_OK;
    }

    bool IsOpen() const { return open_; }
    int Opens() const { return opens_; }

  private:
    sim::InProcessLink& link_;
    bool open_ = false;
    int opens_ = 0;
};

}  // namespace kestrel::testsupport
