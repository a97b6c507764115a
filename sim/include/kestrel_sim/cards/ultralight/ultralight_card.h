// MIFARE Ultralight: a 7-byte UID and 16 pages of 4 bytes, no authentication; lock bits and
// one-time-programmable bits that can only be set.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "kestrel_sim/cards/card.h"

namespace kestrel::sim {

namespace ultralight {

constexpr int kPages = 16;
constexpr size_t kPageSize = 4;
constexpr int kLockPage = 2;  // bytes 2 and 3: lock bytes 0 and 1
constexpr int kOtpPage = 3;
constexpr int kFirstDataPage = 4;
constexpr uint8_t kInternalByte = 0x48;  // page 2, byte 1, as shipped

using Page = std::array<uint8_t, kPageSize>;

}  // namespace ultralight

// Page layout: page 0 = UID0..2 and BCC0 (0x88 ^ UID0 ^ UID1 ^ UID2), page 1 = UID3..6,
// page 2 = BCC1 (UID3 ^ UID4 ^ UID5 ^ UID6), the internal byte and lock bytes 0 and 1, page 3
// the OTP bits, pages 4 to 15 data. Lock byte 0 bits 3-7 lock pages 3-7, lock byte 1 bits
// 0-7 pages 8-15; lock byte 0 bits 0, 1, 2 (block-lock bits) freeze the lock bit of page 3,
// those of pages 4-9 and those of pages 10-15. Lock and OTP bits are ORed in, never cleared,
// and take effect at once.
//
// Reader commands it serves while active: generic read (0x28: READ 0x30, page, length 16),
// block read (0x19: page), page write (0x1E: page, 4 bytes), generic write (0x1F: COMPATIBILITY
// WRITE 0xA0, page, length 16, 16 bytes, of which the first 4 are written; or WRITE 0xA2,
// page, length 4, 4 bytes) and block write (0x1A: page, 16 bytes, as COMPATIBILITY WRITE).
class UltralightCard : public Card {
  public:
    UltralightCard(std::string type, Bytes uid, uint16_t atqa, uint8_t sak);

    const ultralight::Page& RawPage(int page) const { return pages_.at(page); }
    // Stores bytes with no check (tests, card preparation).
    void SetRawPage(int page, const ultralight::Page& data) { pages_.at(page) = data; }
    // True for pages 0 and 1 and for pages whose lock bit is set.
    bool PageLocked(int page) const;

    std::optional<CardReply> HandleCommand(uint8_t code, const Bytes& params) override;

    size_t ImageSize() const override { return ultralight::kPages * ultralight::kPageSize; }
    Bytes SaveImage() const override;
    bool LoadImage(const Bytes& image, std::string* error) override;

  private:
    Answer Read(int page) const;
    Answer Write(int page, const uint8_t* data);

    std::array<ultralight::Page, ultralight::kPages> pages_{};
};

}  // namespace kestrel::sim
