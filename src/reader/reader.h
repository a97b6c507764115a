// The base of the reader classes: one reader command at a time over the link.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "common/result.h"
#include "link/link_protocol.h"
#include "link/reader_command.h"
#include "reader/reader_status.h"

namespace kestrel::reader {

// Reader command codes.
enum CommandCode : uint8_t {
    kCmdExchangeBlock = 0x03,
    kCmdRequest = 0x11,
    kCmdAnticollision = 0x12,
    kCmdSelect = 0x13,
    kCmdAuthenticate = 0x18,
    kCmdMifareRead = 0x19,
    kCmdMifareWrite = 0x1A,
    kCmdValueOperation = 0x1B,
    kCmdHalt = 0x1D,
    kCmdWritePage = 0x1E,
    kCmdWriteData = 0x1F,
    kCmdRfReset = 0x20,
    kCmdSetCardTimeOut = 0x27,
    kCmdReadData = 0x28,
    kCmdRequestA = 0x40,
    kCmdCascadeAnticollision = 0x41,
    kCmdCascadeSelect = 0x42,
    kCmdActivateIdle = 0x43,
    kCmdActivateWakeUp = 0x44,
    kCmdExchangeTimed = 0x48,
    kCmdSetRFScanOn = 0xE0,
    kCmdSetRFScanOff = 0xE1,
    kCmdRequestAts = 0xE7,
    kCmdGetRFScanMode = 0xE8,
};

// The exchange time-out a reader starts with.
constexpr int32_t kDefaultExchangeTimeOutMs = 2000;

// Largest UID of ISO/IEC 14443-3 (three cascade levels).
constexpr uint8_t kMaxUidLength = 10;
// Highest repeat factor ActivateIdleRetry accepts; each unit is five attempts.
constexpr uint8_t kMaxActivateRepeat = 60;

// MIFARE Classic: a key, its coded form sent with each authentication, a block, a serial.
constexpr uint32_t kKeyLength = 6;
constexpr uint32_t kCodedKeyLength = 12;
constexpr uint32_t kMifareBlockSize = 16;
constexpr uint32_t kMifareSerialLength = 4;
// Ultralight page write: one page of four bytes.
constexpr uint32_t kPageSize = 4;

// What every reader class shares: the command object, the link that carries it and the
// exchange time-out. What a reader can do is in its capabilities (typea.h, mifare_primitives.h,
// block_exchange.h, typeb.h, reader_config.h, rf_scan.h); commands that fill caller memory
// write their outputs only after the answer passed its length check, whatever the reader's
// status, and never after a failed exchange.
class Reader {
  public:
    // `link` belongs to the session and outlives the reader.
    explicit Reader(link::LinkProtocol& link);
    virtual ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Host only. Stores the previous exchange time-out through `previous` (may be null) and
    // uses `timeOutMs` from the next exchange on.
    Result SetTimeOut(int32_t timeOutMs, int32_t* previous);

    // How the host waits between two attempts at a card (before it retries a failed
    // ISO/IEC 14443-4 block): the operating system's sleep unless replaced (tests replace it
    // so that they do not wait).
    using PauseFunction = std::function<void(uint32_t ms)>;
    void SetPause(PauseFunction pause) { pause_ = std::move(pause); }
    void Pause(uint32_t ms) const { pause_(ms); }

    int32_t ExchangeTimeOut() const { return exchangeTimeOut_; }
    // The command object of the last exchange (its request stays in place after a failure).
    const link::ReaderCommand& Command() const { return *command_; }

  protected:
    // Starts a command: clears the command object and sets its code.
    link::ReaderCommand& Begin(uint8_t code);
    // Sends the command filled since Begin with the exchange time-out, or with a time-out
    // of its own for this one exchange.
    Result Exchange() { return Exchange(exchangeTimeOut_); }
    Result Exchange(int32_t timeOutMs);
    // The reader's verdict on the last exchange.
    Result Status() const { return ReaderStatusResult(command_->StatusByte()); }
    // Exchange, then the reader's status: for commands whose answer carries nothing to copy.
    Result Finish();
    // The result for an answer too short to hold the expected data: the reader's own
    // failure when it reported one, else KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT.
    Result ShortAnswer() const;

    link::LinkProtocol& link_;
    std::unique_ptr<link::ReaderCommand> command_;
    int32_t exchangeTimeOut_ = kDefaultExchangeTimeOutMs;
    PauseFunction pause_;
};

}  // namespace kestrel::reader
