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
constexpr uint8_t kAfterPolling = 0xEC;      // -20
constexpr uint8_t kBadFrame = 0xEB;          // -21: request with a wrong CRC
constexpr uint8_t kCardTimeOut = 0xEA;       // -22
constexpr uint8_t kCollision = 0xE8;         // -24
}  // namespace status

// Short English name of a status byte ("ok", "no card", ...; "unnamed status" otherwise).
const char* StatusName(uint8_t statusByte);

// Reader commands the firmware core implements.
namespace command {
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
}  // namespace command

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
