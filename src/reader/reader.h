// The reader class family: one virtual operation ("slot") per reader command.
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
    kCmdPcd14 = 0x14,
    kCmdPcd15 = 0x15,
    kCmdPcd17 = 0x17,
    kCmdAuthenticate = 0x18,
    kCmdMifareRead = 0x19,
    kCmdMifareWrite = 0x1A,
    kCmdValueOperation = 0x1B,
    kCmdPcd1C = 0x1C,
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

// The abstract reader. Every slot returns KESTREL_ERR_COMMAND_NOT_SUPPORTED without any
// traffic unless a reader class overrides it; the declaration order is the order of the
// reader's command table. Slots that fill caller memory write their outputs only after the
// answer passed its length check, whatever the reader's status, and never after a failed
// exchange.
class Reader {
  public:
    // `link` belongs to the session and outlives the reader.
    explicit Reader(link::LinkProtocol& link);
    virtual ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // 1-11
    virtual Result PcdCommand66() { return Unsupported(); }
    virtual Result PcdCommand10() { return Unsupported(); }
    virtual Result Request(uint8_t /*requestCode*/, uint16_t* /*atqa*/) { return Unsupported(); }
    virtual Result Anticollision(uint8_t /*knownBits*/, uint8_t* /*serial*/) {
        return Unsupported();
    }
    virtual Result Select(const uint8_t* /*serial*/, uint8_t* /*sak*/) { return Unsupported(); }
    // Host only, kept by every reader class: turns the six key bytes into the twelve bytes
    // that Authenticate carries. KESTREL_ERR_WRONG_PARAMETER for a null pointer, else 0.
    virtual Result CodeKey(const uint8_t* key, uint8_t* codedKey);
    virtual Result Authenticate(uint8_t /*keyType*/, const uint8_t* /*serial*/,
                                const uint8_t* /*codedKey*/, uint8_t /*block*/) {
        return Unsupported();
    }
    virtual Result MifareRead(uint8_t /*block*/, uint8_t* /*data*/) { return Unsupported(); }
    virtual Result MifareWrite(uint8_t /*block*/, const uint8_t* /*data*/) { return Unsupported(); }
    virtual Result ValueOperation(uint8_t /*operation*/, uint8_t /*block*/,
                                  const uint8_t* /*value*/, uint8_t /*transferBlock*/) {
        return Unsupported();
    }
    virtual Result RfReset(uint16_t /*duration*/) { return Unsupported(); }
    // 12-16
    virtual Result Reserved12() { return Unsupported(); }
    virtual Result Reserved13() { return Unsupported(); }
    virtual Result SetDefaultAttrib() { return Unsupported(); }
    virtual Result SetAttrib(uint8_t /*first*/, uint8_t /*second*/) { return Unsupported(); }
    virtual Result GetAttrib(uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*) {
        return Unsupported();
    }
    // 17-22
    virtual Result RequestA(uint8_t /*requestCode*/, uint16_t* /*atqa*/) { return Unsupported(); }
    virtual Result CascadeAnticollision(uint8_t /*first*/, uint8_t /*second*/,
                                        uint8_t* /*serial*/) {
        return Unsupported();
    }
    virtual Result CascadeSelect(uint8_t /*first*/, const uint8_t* /*serial*/, uint8_t* /*sak*/) {
        return Unsupported();
    }
    virtual Result ActivateIdle(uint8_t /*option*/, uint16_t* /*atqa*/, uint8_t* /*sak*/,
                                uint8_t* /*uid*/, uint8_t* /*uidLength*/) {
        return Unsupported();
    }
    virtual Result ActivateIdleRetry(uint8_t /*option*/, uint16_t* /*atqa*/, uint8_t* /*sak*/,
                                     uint8_t* /*uid*/, uint8_t* /*uidLength*/,
                                     uint8_t /*repeatFactor*/) {
        return Unsupported();
    }
    virtual Result ActivateWakeUp(uint8_t /*option*/, uint16_t* /*atqa*/, uint8_t* /*sak*/,
                                  const uint8_t* /*uid*/, const uint8_t* /*uidLength*/) {
        return Unsupported();
    }
    // 23-29
    virtual Result PcdCommand14(uint8_t, uint8_t, uint8_t) { return Unsupported(); }
    virtual Result PcdCommand15(uint8_t, const uint8_t* /*serial*/, uint8_t, uint8_t) {
        return Unsupported();
    }
    virtual Result PcdCommand17(uint8_t, uint8_t, const uint8_t* /*six*/) { return Unsupported(); }
    virtual Result ReadData(uint8_t /*cardCommand*/, uint8_t /*address*/, uint8_t /*length*/,
                            uint8_t* /*data*/) {
        return Unsupported();
    }
    virtual Result WritePage(uint8_t /*page*/, const uint8_t* /*data*/) { return Unsupported(); }
    virtual Result WriteData(uint8_t /*cardCommand*/, uint8_t /*address*/, uint8_t /*length*/,
                             const uint8_t* /*data*/) {
        return Unsupported();
    }
    virtual Result PcdCommand1C(uint8_t, uint8_t, const uint8_t* /*four*/) { return Unsupported(); }
    // 30-36
    virtual Result ExchangeTimed(const uint8_t* /*frame*/, uint16_t /*length*/, uint8_t* /*answer*/,
                                 uint16_t* /*answerLength*/, uint8_t /*flag*/,
                                 uint32_t /*cardTimeOut*/) {
        return Unsupported();
    }
    virtual Result ExchangeBlock(uint8_t /*parameter*/, const uint8_t* /*block*/,
                                 uint16_t /*length*/, uint8_t* /*answer*/,
                                 uint16_t* /*answerLength*/) {
        return Unsupported();
    }
    virtual Result Halt() { return Unsupported(); }
    virtual Result RequestATS(uint8_t /*parameter*/, uint8_t* /*ats*/, uint16_t* /*atsLength*/) {
        return Unsupported();
    }
    // 37-45: commands the reader does not offer, and memory access.
    virtual Result Reserved37() { return Unsupported(); }
    virtual Result Reserved38(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
        return Unsupported();
    }
    virtual Result Reserved39(uint32_t) { return Unsupported(); }
    virtual Result Reserved40() { return Unsupported(); }
    virtual Result Reserved41(uint32_t, uint32_t) { return Unsupported(); }
    virtual Result Reserved42(uint32_t) { return Unsupported(); }
    virtual Result ReadMemory(uint16_t /*address*/, uint8_t /*length*/, uint8_t* /*data*/) {
        return Unsupported();
    }
    virtual Result WriteMemory(uint16_t /*address*/, uint8_t /*length*/, const uint8_t* /*data*/) {
        return Unsupported();
    }
    virtual Result Reserved45() { return Unsupported(); }
    // 46-57
    virtual Result GetFWVersion(char* /*text*/, uint8_t* /*length*/) { return Unsupported(); }
    virtual Result Reserved47(uint32_t) { return Unsupported(); }
    virtual Result Reserved48(uint32_t) { return Unsupported(); }
    virtual Result Reserved49() { return Unsupported(); }
    virtual Result Reserved50(uint32_t) { return Unsupported(); }
    virtual Result Reserved51(uint32_t) { return Unsupported(); }
    virtual Result Reserved52(uint32_t) { return Unsupported(); }
    virtual Result Reserved53(uint32_t) { return Unsupported(); }
    virtual Result Reserved54(uint32_t) { return Unsupported(); }
    virtual Result Reserved55() { return Unsupported(); }
    virtual Result PcdCommand62() { return Unsupported(); }
    virtual Result Reserved57() { return Unsupported(); }
    // 58-66
    virtual Result WriteReg(uint8_t /*reg*/, uint8_t /*value*/) { return Unsupported(); }
    virtual Result ReadReg(uint8_t /*reg*/, uint8_t* /*value*/) { return Unsupported(); }
    virtual Result Reserved60(uint32_t, uint32_t) { return Unsupported(); }
    virtual Result Reserved61(uint32_t, uint32_t) { return Unsupported(); }
    virtual Result PcdCommand98(uint8_t /*first*/, uint32_t /*length*/, const uint8_t* /*data*/) {
        return Unsupported();
    }
    virtual Result Reserved63(uint32_t) { return Unsupported(); }
    virtual Result Reserved64(uint32_t) { return Unsupported(); }
    virtual Result Reserved65(uint32_t) { return Unsupported(); }
    virtual Result Reserved66(uint32_t) { return Unsupported(); }
    // 67: host only. Stores the previous exchange time-out through `previous` (may be null)
    // and uses `timeOutMs` from the next exchange on.
    virtual Result SetTimeOut(int32_t timeOutMs, int32_t* previous);
    // 68-79
    virtual Result SetIODevState(uint8_t /*device*/, uint8_t /*state*/) { return Unsupported(); }
    virtual Result TypeBRequest(uint8_t, uint8_t, uint8_t, uint8_t* /*answer*/,
                                uint16_t* /*answerLength*/) {
        return Unsupported();
    }
    virtual Result TypeBRequestIdle(uint8_t, uint8_t, uint8_t* /*answer*/,
                                    uint16_t* /*answerLength*/) {
        return Unsupported();
    }
    virtual Result TypeBRequestWakeUp(uint8_t, uint8_t, uint8_t* /*answer*/,
                                      uint16_t* /*answerLength*/) {
        return Unsupported();
    }
    virtual Result TypeBAttrib(const uint8_t* /*pupi*/, uint8_t, uint8_t, uint8_t,
                               uint8_t* /*param4*/, uint8_t* /*second*/,
                               uint8_t* /*higherLayerLength*/, uint8_t* /*higherLayerData*/) {
        return Unsupported();
    }
    virtual Result TypeBSlotMarker(uint8_t /*slot*/, uint8_t* /*answer*/,
                                   uint16_t* /*answerLength*/) {
        return Unsupported();
    }
    virtual Result TypeBHalt(const uint8_t* /*pupi*/) { return Unsupported(); }
    virtual Result LoadConfig(uint16_t /*number*/) { return Unsupported(); }
    virtual Result SetCardType(uint8_t /*type*/) { return Unsupported(); }
    virtual Result DirectCommand(uint8_t /*code*/, const uint8_t* /*data*/, uint32_t /*length*/,
                                 uint8_t* /*answer*/, uint32_t* /*answerLength*/) {
        return Unsupported();
    }
    virtual Result RawExchange(link::ReaderCommand& /*command*/) { return Unsupported(); }
    // 80-86
    virtual Result SetReaderBaudRate(uint32_t /*baudRate*/) { return Unsupported(); }
    virtual Result GetReaderBaudRate(uint32_t* /*baudRate*/) { return Unsupported(); }
    virtual Result PcdCommand85() { return Unsupported(); }
    virtual Result EchoTest(uint8_t* /*buffer*/, uint16_t* /*length*/) { return Unsupported(); }
    virtual Result PcdCommand87(uint16_t /*value*/) { return Unsupported(); }
    virtual Result SetCardTimeOut(uint32_t /*timeOutMs*/) { return Unsupported(); }
    // 87-88: readers with RF scanning only.
    virtual Result SetRFScanMode(uint8_t /*on*/) { return Unsupported(); }
    virtual Result GetRFScanMode(uint8_t* /*state*/) { return Unsupported(); }

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
    static Result Unsupported() { return KESTREL_ERR_COMMAND_NOT_SUPPORTED; }

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

    link::LinkProtocol& link_;
    std::unique_ptr<link::ReaderCommand> command_;
    int32_t exchangeTimeOut_ = kDefaultExchangeTimeOutMs;
    PauseFunction pause_;
};

}  // namespace kestrel::reader
