#include "kestrel_sim/cards/ultralight/ultralight_card.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "kestrel_sim/helpers/hex.h"

namespace kestrel::sim {

using ultralight::kLockPage;
using ultralight::kOtpPage;
using ultralight::kPages;
using ultralight::kPageSize;

namespace {

constexpr size_t kReadSize = 16;  // READ returns four pages

// Lock bits that a set block-lock bit of lock byte 0 freezes, as (lock byte 0, lock byte 1).
struct Frozen {
    uint8_t lock0;
    uint8_t lock1;
};
Frozen FrozenLockBits(uint8_t lock0) {
    Frozen frozen{0, 0};
    if (lock0 & 0x01) frozen.lock0 |= 0x08;  // page 3
    if (lock0 & 0x02) {                      // pages 4-9
        frozen.lock0 |= 0xF0;
        frozen.lock1 |= 0x03;
    }
    if (lock0 & 0x04) frozen.lock1 |= 0xFC;  // pages 10-15
    return frozen;
}

}  // namespace

UltralightCard::UltralightCard(std::string type, Bytes uid, uint16_t atqa, uint8_t sak)
    : Card(std::move(type), std::move(uid), atqa, sak) {
    const Bytes& u = Uid();
    if (u.size() != 7) throw std::invalid_argument("a MIFARE Ultralight card has a 7-byte UID");
    pages_[0] = {u[0], u[1], u[2], static_cast<uint8_t>(0x88 ^ u[0] ^ u[1] ^ u[2])};
    pages_[1] = {u[3], u[4], u[5], u[6]};
    pages_[2] = {static_cast<uint8_t>(u[3] ^ u[4] ^ u[5] ^ u[6]), ultralight::kInternalByte, 0, 0};
}

bool UltralightCard::PageLocked(int page) const {
    if (page < kLockPage) return true;
    if (page == kLockPage || page >= kPages) return false;
    const uint8_t lock0 = pages_[kLockPage][2];
    const uint8_t lock1 = pages_[kLockPage][3];
    return page < 8 ? ((lock0 >> page) & 1) != 0 : ((lock1 >> (page - 8)) & 1) != 0;
}

Bytes UltralightCard::SaveImage() const {
    Bytes image;
    for (const ultralight::Page& page : pages_) image.insert(image.end(), page.begin(), page.end());
    return image;
}

bool UltralightCard::LoadImage(const Bytes& image, std::string* error) {
    if (image.size() != ImageSize()) {
        if (error) {
            *error = "an ultralight image has " + std::to_string(ImageSize()) + " bytes, not " +
                     std::to_string(image.size());
        }
        return false;
    }
    const Bytes imageUid = {image[0], image[1], image[2], image[4], image[5], image[6], image[7]};
    if (imageUid != Uid()) {
        if (error)
            *error =
                "the image's pages 0 and 1 hold UID " + ToHex(imageUid) + ", not " + ToHex(Uid());
        return false;
    }
    for (int page = 0; page < kPages; ++page) {
        std::memcpy(pages_[page].data(), &image[page * kPageSize], kPageSize);
    }
    return true;
}

std::optional<CardReply> UltralightCard::HandleCommand(uint8_t code, const Bytes& params) {
    Answer answer;
    const Answer bad = StatusOnly(status::kBadParameter);
    switch (code) {
        case card_command::kReadData:
            answer = params.size() == 3 && params[0] == mifare::kRead && params[2] == kReadSize
                         ? Read(params[1])
                         : bad;
            break;
        case card_command::kReadBlock:
            // The reader's block read sends the card READ; a failure keeps the 16-byte length.
            answer = params.size() == 1 ? Read(params[0]) : bad;
            if (answer.data.empty()) answer.data.assign(kReadSize, 0);
            break;
        case card_command::kWritePage:
            answer = params.size() == 1 + kPageSize ? Write(params[0], &params[1]) : bad;
            break;
        case card_command::kWriteBlock:
            answer = params.size() == 1 + kReadSize ? Write(params[0], &params[1]) : bad;
            break;
        case card_command::kWriteData:
            if (params.size() == 3 + kReadSize && params[0] == mifare::kWrite &&
                params[2] == kReadSize) {
                answer = Write(params[1], &params[3]);  // only the first 4 bytes are written
            } else if (params.size() == 3 + kPageSize && params[0] == mifare::kUltralightWrite &&
                       params[2] == kPageSize) {
                answer = Write(params[1], &params[3]);
            } else {
                answer = bad;
            }
            break;
        case card_command::kAuthenticate:
            // The card knows no authentication and does not answer it.
            answer = StatusOnly(status::kAuthNotAllowed);
            break;
        default:
            return std::nullopt;
    }
    return CardReply{std::move(answer), CardExit::kStay};
}

Answer UltralightCard::Read(int page) const {
    if (page >= kPages) return StatusOnly(status::kBadParameter);
    Answer answer{status::kOk, {}};
    // Four pages from the given one, wrapping from the last page to page 0.
    for (int i = 0; i < 4; ++i) {
        const ultralight::Page& p = pages_[(page + i) % kPages];
        answer.data.insert(answer.data.end(), p.begin(), p.end());
    }
    return answer;
}

Answer UltralightCard::Write(int page, const uint8_t* data) {
    if (page >= kPages) return StatusOnly(status::kBadParameter);
    if (PageLocked(page)) return StatusOnly(status::kAuthNotAllowed);
    ultralight::Page& stored = pages_[page];
    if (page == kLockPage) {
        // BCC1 and the internal byte are read-only; lock bits are ORed in unless a block-lock
        // bit freezes them.
        const Frozen frozen = FrozenLockBits(stored[2]);
        stored[2] |= static_cast<uint8_t>(data[2] & ~frozen.lock0);
        stored[3] |= static_cast<uint8_t>(data[3] & ~frozen.lock1);
    } else if (page == kOtpPage) {
        for (size_t i = 0; i < kPageSize; ++i) stored[i] |= data[i];
    } else {
        std::copy_n(data, kPageSize, stored.begin());
    }
    return StatusOnly(status::kOk);
}

}  // namespace kestrel::sim
