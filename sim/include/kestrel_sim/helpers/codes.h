// Reader command codes, reader status bytes and ISO/IEC 14443-3 Type A constants.
#pragma once

#include <cstdint>

namespace kestrel::sim {

// Status bytes of answer frames (signed values in the comments).
namespace status {
constexpr uint8_t kOk = 0x00;
constexpr uint8_t kNoCard = 0xFF;            // -1
constexpr uint8_t kCrcError = 0xFE;          // -2
constexpr uint8_t kProtocolOverflow = 0xFD;  // -3: an answer that does not fit a frame
constexpr uint8_t kAuthNotAllowed = 0xFC;    // -4
constexpr uint8_t kParity = 0xFB;            // -5
constexpr uint8_t kBadParameter = 0xFA;      // -6: wrong parameter length or value
constexpr uint8_t kUnknownCommand = 0xF9;    // -7: no handler and no active card took it
constexpr uint8_t kWrongCard = 0xF8;         // -8
constexpr uint8_t kAuthExpected = 0xF6;      // -10
constexpr uint8_t kCardBit = 0xF5;           // -11
constexpr uint8_t kCardByte = 0xF4;          // -12
constexpr uint8_t kIdleStateCard = 0xF3;     // -13
constexpr uint8_t kValueRefused = 0xF0;      // -16: source not a value block, or overflow
constexpr uint8_t kAfterPolling = 0xEC;      // -20
constexpr uint8_t kBadFrame = 0xEB;          // -21: request with a wrong CRC
constexpr uint8_t kCardTimeOut = 0xEA;       // -22
constexpr uint8_t kCollision = 0xE8;         // -24
}  // namespace status

// Short English name of a status byte ("ok", "no card", ...; "unnamed status" otherwise).
const char* StatusName(uint8_t statusByte);

// Reader commands the firmware core implements.
namespace command {
constexpr uint8_t kExchangeBlock = 0x03;  // ISO/IEC 14443-4 block to the active card
constexpr uint8_t kRequest = 0x11;
constexpr uint8_t kAnticollision = 0x12;
constexpr uint8_t kSelect = 0x13;
constexpr uint8_t kHalt = 0x1D;
constexpr uint8_t kRfReset = 0x20;
constexpr uint8_t kSetCardTimeOut = 0x27;
constexpr uint8_t kRequestA = 0x40;
constexpr uint8_t kCascadeAnticollision = 0x41;
constexpr uint8_t kCascadeSelect = 0x42;
constexpr uint8_t kActivateIdle = 0x43;
constexpr uint8_t kActivateWakeUp = 0x44;
constexpr uint8_t kExchangeTimed = 0x48;  // a frame with its CRC field, with a card time-out
constexpr uint8_t kRequestAts = 0xE7;     // RATS with its parameter byte
}  // namespace command

// Reader commands that the firmware passes to the active card's model.
namespace card_command {
constexpr uint8_t kAuthenticate = 0x18;    // key type, serial (4), coded key (12), block
constexpr uint8_t kReadBlock = 0x19;       // block -> 16 bytes
constexpr uint8_t kWriteBlock = 0x1A;      // block, 16 bytes
constexpr uint8_t kValueOperation = 0x1B;  // operation, block, value (4, LE), transfer block
constexpr uint8_t kWritePage = 0x1E;       // page, 4 bytes
constexpr uint8_t kWriteData = 0x1F;       // card command, address, length, data
constexpr uint8_t kReadData = 0x28;        // card command, address, length -> data
}  // namespace card_command

// Reader commands of Type B.
namespace typeb_command {
constexpr uint8_t kRequest = 0xB0;        // APf, AFI, PARAM: the whole REQB/WUPB command
constexpr uint8_t kRequestIdle = 0xB1;    // AFI, PARAM: REQB
constexpr uint8_t kRequestWakeUp = 0xB2;  // AFI, PARAM: WUPB
constexpr uint8_t kAttrib = 0xB3;         // PUPI (4), param 1-4, n, n higher-layer bytes
constexpr uint8_t kSlotMarker = 0xB4;     // slot number (2 to 16)
constexpr uint8_t kHalt = 0xB5;           // PUPI (4)
}  // namespace typeb_command

// Reader commands of the configuration and diagnostics.
namespace config_command {
constexpr uint8_t kWriteReg = 0x01;          // register, value
constexpr uint8_t kReadReg = 0x02;           // register -> value
constexpr uint8_t kPcdCommand10 = 0x10;      // none
constexpr uint8_t kReadMemory = 0x23;        // address (u16), length -> bytes
constexpr uint8_t kWriteMemory = 0x24;       // address (u16), length, bytes
constexpr uint8_t kSetDefaultAttrib = 0x45;  // none
constexpr uint8_t kSetAttrib = 0x46;         // first, second
constexpr uint8_t kGetAttrib = 0x47;         // none -> 5 bytes
constexpr uint8_t kPcdCommand62 = 0x62;      // none
constexpr uint8_t kGetFwVersion = 0x63;      // none -> length (u16), text
constexpr uint8_t kPcdCommand66 = 0x66;      // none
constexpr uint8_t kSetBaudRate = 0x82;       // index
constexpr uint8_t kGetBaudRate = 0x83;       // none -> index
constexpr uint8_t kPcdCommand85 = 0x85;      // none
constexpr uint8_t kEchoTest = 0x86;          // bytes -> the same bytes
constexpr uint8_t kPcdCommand87 = 0x87;      // value (u16)
constexpr uint8_t kPcdCommand98 = 0x98;      // first byte, data
constexpr uint8_t kRfScanOn = 0xE0;          // none (readers with RF scan only)
constexpr uint8_t kRfScanOff = 0xE1;         // none (readers with RF scan only)
constexpr uint8_t kSetIoDevState = 0xE6;     // device, state
constexpr uint8_t kGetRfScanMode = 0xE8;     // none -> 0 or 1 (readers with RF scan only)
constexpr uint8_t kSetCardType = 0xEA;       // card type
constexpr uint8_t kLoadConfig = 0xED;        // configuration number (u16)
}  // namespace config_command

// Commands of MIFARE Classic and Ultralight cards as they travel on the air.
namespace mifare {
constexpr uint8_t kAuthKeyA = 0x60;
constexpr uint8_t kAuthKeyB = 0x61;
constexpr uint8_t kRead = 0x30;             // 16 bytes: a block, or four pages
constexpr uint8_t kWrite = 0xA0;            // 16 bytes (a block; on Ultralight the first 4)
constexpr uint8_t kUltralightWrite = 0xA2;  // one page of 4 bytes
constexpr uint8_t kDecrement = 0xC0;
constexpr uint8_t kIncrement = 0xC1;
constexpr uint8_t kRestore = 0xC2;
}  // namespace mifare

// ISO/IEC 14443-3 Type A.
namespace iso14443a {
constexpr uint8_t kReqA = 0x26;
constexpr uint8_t kWupA = 0x52;
constexpr uint8_t kSelectCl1 = 0x93;
constexpr uint8_t kSelectCl2 = 0x95;
constexpr uint8_t kSelectCl3 = 0x97;
constexpr uint8_t kCascadeTag = 0x88;
constexpr uint8_t kSakCascadeBit = 0x04;
constexpr int kLevelBits = 32;  // UID bits per cascade level (without the BCC)
}  // namespace iso14443a

}  // namespace kestrel::sim
