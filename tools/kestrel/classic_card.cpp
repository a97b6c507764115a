#include "classic_card.h"

#include "interrupt.h"

namespace kestrel::tool {

ClassicCard::ClassicCard(const Reader& reader) : reader_(reader) {
    uint8_t uid[10];
    uint8_t uidLength = sizeof uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    reader_.Check(SelectIdleCard(reader_.session(), uid, &uidLength, &atqa, &sak),
                  "activate the card");
    uid_.assign(uid, uid + uidLength);
    const std::optional<ClassicLayout> layout = LayoutForSak(sak);
    if (!layout || uidLength != 4) {
        throw Failure("the card " + ToHex(uid_) + " (SAK " + ToHex(&sak, 1) +
                      ") is not a MIFARE Classic 1K or 4K card with a 4-byte UID");
    }
    layout_ = *layout;
}

bool ClassicCard::Refused(int32_t code, const std::string& operation) {
    if (code == KESTREL_OK) return false;
    // The card's refusals come back as the reader's status codes (8001-8998) or a card
    // time-out; anything else is a failure of the reader or the line.
    const bool cardAnswer = (code > 8000 && code < 9000 && code != KESTREL_ERR_SOCKET) ||
                            code == KESTREL_ERR_FRAME_CARD_TIMEOUT;
    if (!cardAnswer) reader_.Check(code, operation);
    CheckInterrupt();
    refused_ = true;
    lastRefusal_ = code;
    return true;
}

void ClassicCard::WakeIfRefused() {
    CheckInterrupt();
    if (!refused_) return;
    const uint8_t uidLength = static_cast<uint8_t>(uid_.size());
    reader_.Check(SelectWakeUpCard(reader_.session(), uid_.data(), &uidLength, nullptr, nullptr),
                  "select the card " + ToHex(uid_) + " again");
    refused_ = false;
}

bool ClassicCard::Authenticate(int block, uint8_t keyType, const ClassicKey& key) {
    WakeIfRefused();
    const MifareKey mifareKey = MakeMifareKey(keyType, key);
    const int32_t code =
        MifC_AuthBlock(reader_.session(), &mifareKey, uid_.data(), static_cast<uint8_t>(block));
    return !Refused(code, "authenticate block " + std::to_string(block));
}

bool ClassicCard::Read(int block, uint8_t* data) {
    CheckInterrupt();
    const int32_t code = MifC_ReadBlock(reader_.session(), static_cast<uint8_t>(block), data);
    return !Refused(code, "read block " + std::to_string(block));
}

bool ClassicCard::Write(int block, const uint8_t* data) {
    CheckInterrupt();
    const int32_t code = MifC_WriteBlock(reader_.session(), static_cast<uint8_t>(block), data);
    return !Refused(code, "write block " + std::to_string(block));
}

bool ClassicCard::ProcessValue(uint8_t operation, int block, int32_t amount) {
    CheckInterrupt();
    const int32_t code =
        MifC_ProcessValue(reader_.session(), operation, static_cast<uint8_t>(block), amount);
    return !Refused(code, "change the value of block " + std::to_string(block));
}

std::optional<ClassicKey> ClassicCard::FindKey(int block, uint8_t keyType,
                                               const std::vector<ClassicKey>& keys) {
    for (const ClassicKey& key : keys) {
        if (Authenticate(block, keyType, key)) return key;
    }
    return std::nullopt;
}

std::string ClassicCard::WithAnyKey(int block, const std::vector<ClassicKey>& keys,
                                    const std::string& what,
                                    const std::function<bool()>& operation) {
    bool opened = false;
    for (uint8_t type : {KEY_TYPE_A, KEY_TYPE_B}) {
        for (const ClassicKey& key : keys) {
            if (!Authenticate(block, type, key)) continue;
            opened = true;
            if (operation()) return DescribeClassicKey(type, key);
        }
    }
    if (!opened) {
        throw Failure(what + ": none of the " + std::to_string(keys.size()) + " keys opens block " +
                      std::to_string(block) +
                      " as key A or B (last: " + DescribeCode(lastRefusal_) + ")");
    }
    throw Failure(what, lastRefusal_);
}

}  // namespace kestrel::tool
