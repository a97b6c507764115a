#include "kestrel_sim/cards/classic/classic_card.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "kestrel_sim/helpers/hex.h"

namespace kestrel::sim {

namespace classic {

namespace {

constexpr int kSmallSectors = 32;  // sectors 0-31: 4 blocks each, blocks 0-127
constexpr int kSmallSectorBlocks = 4;
constexpr int kLargeSectorBlocks = 16;
constexpr int kFirstLargeBlock = kSmallSectors * kSmallSectorBlocks;
constexpr int kBlocksPerLargeGroup = 5;

// Who may do something: key A, key B, both or none.
constexpr uint8_t kNone = 0;
constexpr uint8_t kKeyA = 1;
constexpr uint8_t kKeyB = 2;
constexpr uint8_t kBoth = kKeyA | kKeyB;

// Data blocks by condition index: read, write, increment, decrement/transfer/restore.
constexpr uint8_t kDataRights[8][4] = {
    {kBoth, kBoth, kBoth, kBoth},  // 000: transport configuration
    {kBoth, kNone, kNone, kBoth},  // 001: value block, decrement only
    {kBoth, kNone, kNone, kNone},  // 010: read only
    {kKeyB, kKeyB, kNone, kNone},  // 011
    {kBoth, kKeyB, kNone, kNone},  // 100
    {kKeyB, kNone, kNone, kNone},  // 101
    {kBoth, kKeyB, kKeyB, kBoth},  // 110: value block
    {kNone, kNone, kNone, kNone},  // 111: no access
};

// Trailer by condition index: write key A, read access bits, write access bits, read key B,
// write key B. Key A is never readable.
constexpr uint8_t kTrailerRights[8][5] = {
    {kKeyA, kKeyA, kNone, kKeyA, kKeyA},  // 000
    {kKeyA, kKeyA, kKeyA, kKeyA, kKeyA},  // 001: transport configuration
    {kNone, kKeyA, kNone, kKeyA, kNone},  // 010
    {kKeyB, kBoth, kKeyB, kNone, kKeyB},  // 011
    {kKeyB, kBoth, kNone, kNone, kKeyB},  // 100
    {kNone, kBoth, kKeyB, kNone, kNone},  // 101
    {kNone, kBoth, kNone, kNone, kNone},  // 110
    {kNone, kBoth, kNone, kNone, kNone},  // 111
};

uint8_t KeyBit(KeyType key) {
    return key == KeyType::kA ? kKeyA : kKeyB;
}

void PutLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

}  // namespace

int SectorOfBlock(int block) {
    if (block < kFirstLargeBlock) return block / kSmallSectorBlocks;
    return kSmallSectors + (block - kFirstLargeBlock) / kLargeSectorBlocks;
}

int FirstBlockOfSector(int sector) {
    if (sector < kSmallSectors) return sector * kSmallSectorBlocks;
    return kFirstLargeBlock + (sector - kSmallSectors) * kLargeSectorBlocks;
}

int BlocksInSector(int sector) {
    return sector < kSmallSectors ? kSmallSectorBlocks : kLargeSectorBlocks;
}

int TrailerOfSector(int sector) {
    return FirstBlockOfSector(sector) + BlocksInSector(sector) - 1;
}

int AccessGroupOfBlock(int block) {
    const int sector = SectorOfBlock(block);
    const int offset = block - FirstBlockOfSector(sector);
    if (BlocksInSector(sector) == kSmallSectorBlocks) return offset;
    return offset == kLargeSectorBlocks - 1 ? 3 : offset / kBlocksPerLargeGroup;
}

std::optional<Key> DecodeCodedKey(const uint8_t* coded) {
    Key key{};
    for (size_t i = 0; i < key.size(); ++i) {
        uint8_t nibbles[2];
        for (int half = 0; half < 2; ++half) {
            const uint8_t byte = coded[2 * i + half];
            const uint8_t low = byte & 0x0F;
            if ((byte >> 4) != (~low & 0x0F)) return std::nullopt;
            nibbles[half] = low;
        }
        key[i] = static_cast<uint8_t>((nibbles[0] << 4) | nibbles[1]);
    }
    return key;
}

std::optional<std::array<int, 4>> DecodeAccessBits(const uint8_t* bytes) {
    const int c1 = bytes[1] >> 4;
    const int c2 = bytes[2] & 0x0F;
    const int c3 = bytes[2] >> 4;
    const bool consistent = (bytes[0] & 0x0F) == (~c1 & 0x0F) && (bytes[0] >> 4) == (~c2 & 0x0F) &&
                            (bytes[1] & 0x0F) == (~c3 & 0x0F);
    if (!consistent) return std::nullopt;
    std::array<int, 4> conditions{};
    for (int group = 0; group < 4; ++group) {
        conditions[group] =
            (((c1 >> group) & 1) << 2) | (((c2 >> group) & 1) << 1) | ((c3 >> group) & 1);
    }
    return conditions;
}

bool DataAllowed(int condition, KeyType key, DataOperation operation) {
    return (kDataRights[condition & 7][static_cast<int>(operation)] & KeyBit(key)) != 0;
}

bool TrailerAllowed(int condition, KeyType key, TrailerField field) {
    return (kTrailerRights[condition & 7][static_cast<int>(field)] & KeyBit(key)) != 0;
}

Block EncodeValueBlock(int32_t value, uint8_t address) {
    Block block{};
    const uint32_t bits = static_cast<uint32_t>(value);
    PutLe32(&block[0], bits);
    PutLe32(&block[4], ~bits);
    PutLe32(&block[8], bits);
    block[12] = address;
    block[13] = static_cast<uint8_t>(~address);
    block[14] = address;
    block[15] = static_cast<uint8_t>(~address);
    return block;
}

std::optional<int32_t> DecodeValueBlock(const uint8_t* block) {
    const uint32_t value = GetLe32(&block[0]);
    if (GetLe32(&block[4]) != ~value || GetLe32(&block[8]) != value) return std::nullopt;
    const uint8_t address = block[12];
    const uint8_t inverted = static_cast<uint8_t>(~address);
    if (block[13] != inverted || block[14] != address || block[15] != inverted) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

}  // namespace classic

using classic::DataOperation;
using classic::KeyType;
using classic::TrailerField;

namespace {

constexpr size_t kAuthParams = 18;  // key type, serial (4), coded key (12), block
constexpr size_t kTrailerKeyB = 10;
constexpr size_t kTrailerAccess = 6;
constexpr size_t kKeySize = 6;
constexpr size_t kAccessSize = 4;  // three bytes of conditions and the general-purpose byte

}  // namespace

ClassicCard::ClassicCard(std::string type, Bytes uid, uint16_t atqa, uint8_t sak, int blocks)
    : Card(std::move(type), std::move(uid), atqa, sak) {
    if (Uid().size() != 4) throw std::invalid_argument("a MIFARE Classic card has a 4-byte UID");
    if (blocks != classic::kBlocks1K && blocks != classic::kBlocks4K) {
        throw std::invalid_argument("a MIFARE Classic card has 64 or 256 blocks");
    }
    memory_.assign(static_cast<size_t>(blocks), classic::Block{});
    classic::Block& manufacturer = memory_[0];
    std::copy(Uid().begin(), Uid().end(), manufacturer.begin());
    manufacturer[4] = static_cast<uint8_t>(Uid()[0] ^ Uid()[1] ^ Uid()[2] ^ Uid()[3]);
    manufacturer[5] = sak;
    manufacturer[6] = static_cast<uint8_t>(atqa & 0xFF);
    manufacturer[7] = static_cast<uint8_t>(atqa >> 8);
    std::copy(classic::kManufacturerData.begin(), classic::kManufacturerData.end(),
              manufacturer.begin() + 8);
    for (int sector = 0; classic::FirstBlockOfSector(sector) < blocks; ++sector) {
        classic::Block& trailer = memory_[classic::TrailerOfSector(sector)];
        std::copy(classic::kTransportKey.begin(), classic::kTransportKey.end(), trailer.begin());
        std::copy(classic::kTransportAccess.begin(), classic::kTransportAccess.end(),
                  trailer.begin() + kTrailerAccess);
        std::copy(classic::kTransportKey.begin(), classic::kTransportKey.end(),
                  trailer.begin() + kTrailerKeyB);
    }
}

std::optional<int> ClassicCard::AuthenticatedSector() const {
    if (!auth_) return std::nullopt;
    return auth_->sector;
}

std::optional<KeyType> ClassicCard::AuthenticatedKey() const {
    if (!auth_) return std::nullopt;
    return auth_->key;
}

Bytes ClassicCard::SaveImage() const {
    Bytes image;
    image.reserve(ImageSize());
    for (const classic::Block& block : memory_)
        image.insert(image.end(), block.begin(), block.end());
    return image;
}

bool ClassicCard::LoadImage(const Bytes& image, std::string* error) {
    if (image.size() != ImageSize()) {
        if (error) {
            *error = "a " + Type() + " image has " + std::to_string(ImageSize()) + " bytes, not " +
                     std::to_string(image.size());
        }
        return false;
    }
    if (!std::equal(Uid().begin(), Uid().end(), image.begin())) {
        if (error) {
            *error = "the image's block 0 holds UID " + ToHex(image.data(), Uid().size()) +
                     ", not " + ToHex(Uid());
        }
        return false;
    }
    for (size_t block = 0; block < memory_.size(); ++block) {
        std::memcpy(memory_[block].data(), &image[block * classic::kBlockSize],
                    classic::kBlockSize);
    }
    auth_.reset();
    return true;
}

std::optional<CardReply> ClassicCard::HandleCommand(uint8_t code, const Bytes& params) {
    Answer answer;
    switch (code) {
        case card_command::kAuthenticate:
            answer = Authenticate(params);
            break;
        case card_command::kReadBlock:
            answer = params.size() == 1
                         ? Read(params[0])
                         : Answer{status::kBadParameter, Bytes(classic::kBlockSize, 0)};
            break;
        case card_command::kWriteBlock:
            answer = params.size() == 1 + classic::kBlockSize ? Write(params[0], &params[1])
                                                              : StatusOnly(status::kBadParameter);
            break;
        case card_command::kValueOperation:
            answer = Value(params);
            break;
        case card_command::kReadData:
            // The card's own READ through the generic command: one block of 16 bytes.
            answer =
                params.size() == 3 && params[0] == mifare::kRead && params[2] == classic::kBlockSize
                    ? Read(params[1])
                    : StatusOnly(status::kBadParameter);
            break;
        case card_command::kWriteData:
            answer = params.size() == 3 + classic::kBlockSize && params[0] == mifare::kWrite &&
                             params[2] == classic::kBlockSize
                         ? Write(params[1], &params[3])
                         : StatusOnly(status::kBadParameter);
            break;
        default:
            return std::nullopt;
    }
    return CardReply{std::move(answer), CardExit::kStay};
}

Answer ClassicCard::Authenticate(const Bytes& params) {
    if (params.size() != kAuthParams) return StatusOnly(status::kBadParameter);
    // Every refusal also ends the authentication that was in force; the card stays selected.
    auth_.reset();
    const Answer refused = StatusOnly(status::kAuthNotAllowed);
    KeyType key;
    if (params[0] == mifare::kAuthKeyA) {
        key = KeyType::kA;
    } else if (params[0] == mifare::kAuthKeyB) {
        key = KeyType::kB;
    } else {
        return refused;
    }
    const std::array<uint8_t, 4> serial = LevelSerial(Uid(), 0);
    if (!std::equal(serial.begin(), serial.end(), &params[1])) return refused;
    const std::optional<classic::Key> given = classic::DecodeCodedKey(&params[5]);
    const int block = params[17];
    if (!given || block >= BlockCount()) return refused;
    const int sector = classic::SectorOfBlock(block);
    // A key B that the access conditions let be read is data, not a key.
    if (key == KeyType::kB && KeyBReadable(sector)) return refused;
    const classic::Block& trailer = memory_[classic::TrailerOfSector(sector)];
    const size_t offset = key == KeyType::kA ? 0 : kTrailerKeyB;
    if (!std::equal(given->begin(), given->end(), trailer.begin() + offset)) return refused;
    auth_ = Auth{sector, key};
    return StatusOnly(status::kOk);
}

bool ClassicCard::InAuthenticatedSector(int block) const {
    return auth_ && block < BlockCount() && classic::SectorOfBlock(block) == auth_->sector;
}

std::optional<int> ClassicCard::ConditionOf(int block) const {
    const classic::Block& trailer =
        memory_[classic::TrailerOfSector(classic::SectorOfBlock(block))];
    const std::optional<std::array<int, 4>> conditions =
        classic::DecodeAccessBits(&trailer[kTrailerAccess]);
    if (!conditions) return std::nullopt;
    return (*conditions)[classic::AccessGroupOfBlock(block)];
}

bool ClassicCard::KeyBReadable(int sector) const {
    const std::optional<int> condition = ConditionOf(classic::TrailerOfSector(sector));
    return condition &&
           (classic::TrailerAllowed(*condition, KeyType::kA, TrailerField::kReadKeyB) ||
            classic::TrailerAllowed(*condition, KeyType::kB, TrailerField::kReadKeyB));
}

bool ClassicCard::MayData(int block, DataOperation operation) const {
    const std::optional<int> condition = ConditionOf(block);
    return condition && classic::DataAllowed(*condition, auth_->key, operation);
}

Answer ClassicCard::Read(int block) const {
    // A failed read keeps the answer's length: 16 zero bytes.
    Answer answer{status::kOk, Bytes(classic::kBlockSize, 0)};
    if (!InAuthenticatedSector(block)) {
        answer.status = status::kAuthExpected;
        return answer;
    }
    const std::optional<int> condition = ConditionOf(block);
    const classic::Block& stored = memory_[block];
    if (classic::AccessGroupOfBlock(block) != 3) {
        if (!MayData(block, DataOperation::kRead)) {
            answer.status = status::kAuthNotAllowed;
        } else {
            answer.data.assign(stored.begin(), stored.end());
        }
        return answer;
    }
    if (!condition) {
        answer.status = status::kAuthNotAllowed;
        return answer;
    }
    // The trailer reads with key A as zeros, and the access bytes and key B as zeros where
    // the conditions do not let the key read them.
    if (classic::TrailerAllowed(*condition, auth_->key, TrailerField::kReadAccess)) {
        std::copy_n(stored.begin() + kTrailerAccess, kAccessSize,
                    answer.data.begin() + kTrailerAccess);
    }
    if (classic::TrailerAllowed(*condition, auth_->key, TrailerField::kReadKeyB)) {
        std::copy_n(stored.begin() + kTrailerKeyB, kKeySize, answer.data.begin() + kTrailerKeyB);
    }
    return answer;
}

Answer ClassicCard::Write(int block, const uint8_t* data) {
    if (!InAuthenticatedSector(block)) return StatusOnly(status::kAuthExpected);
    if (block == 0) return StatusOnly(status::kAuthNotAllowed);  // the manufacturer block
    classic::Block& stored = memory_[block];
    if (classic::AccessGroupOfBlock(block) != 3) {
        if (!MayData(block, DataOperation::kWrite)) return StatusOnly(status::kAuthNotAllowed);
        std::copy_n(data, classic::kBlockSize, stored.begin());
        return StatusOnly(status::kOk);
    }
    // A trailer write changes the parts the key may write and keeps the others; with no part
    // writable it is refused.
    const std::optional<int> condition = ConditionOf(block);
    if (!condition) return StatusOnly(status::kAuthNotAllowed);
    const KeyType key = auth_->key;
    const bool keyA = classic::TrailerAllowed(*condition, key, TrailerField::kWriteKeyA);
    const bool access = classic::TrailerAllowed(*condition, key, TrailerField::kWriteAccess);
    const bool keyB = classic::TrailerAllowed(*condition, key, TrailerField::kWriteKeyB);
    if (!keyA && !access && !keyB) return StatusOnly(status::kAuthNotAllowed);
    if (keyA) std::copy_n(data, kKeySize, stored.begin());
    if (access) std::copy_n(data + kTrailerAccess, kAccessSize, stored.begin() + kTrailerAccess);
    if (keyB) std::copy_n(data + kTrailerKeyB, kKeySize, stored.begin() + kTrailerKeyB);
    return StatusOnly(status::kOk);
}

Answer ClassicCard::Value(const Bytes& params) {
    if (params.size() != 7) return StatusOnly(status::kBadParameter);
    const uint8_t operation = params[0];
    if (operation != mifare::kIncrement && operation != mifare::kDecrement &&
        operation != mifare::kRestore) {
        return StatusOnly(status::kBadParameter);
    }
    const int source = params[1];
    const int target = params[6];
    if (!InAuthenticatedSector(source) || !InAuthenticatedSector(target)) {
        return StatusOnly(status::kAuthExpected);
    }
    // Increment needs the increment right on the source, decrement and restore the decrement
    // right; the transfer needs the decrement (transfer) right on the target. Trailers hold no
    // values and block 0 is never written.
    const DataOperation sourceRight =
        operation == mifare::kIncrement ? DataOperation::kIncrement : DataOperation::kDecrement;
    if (classic::AccessGroupOfBlock(source) == 3 || classic::AccessGroupOfBlock(target) == 3 ||
        target == 0 || !MayData(source, sourceRight) ||
        !MayData(target, DataOperation::kDecrement)) {
        return StatusOnly(status::kAuthNotAllowed);
    }
    const classic::Block& from = memory_[source];
    const std::optional<int32_t> value = classic::DecodeValueBlock(from.data());
    if (!value) return StatusOnly(status::kValueRefused);
    const int64_t operand = static_cast<int32_t>(
        static_cast<uint32_t>(params[2]) | (static_cast<uint32_t>(params[3]) << 8) |
        (static_cast<uint32_t>(params[4]) << 16) | (static_cast<uint32_t>(params[5]) << 24));
    int64_t result = *value;
    if (operation == mifare::kIncrement) result += operand;
    if (operation == mifare::kDecrement) result -= operand;
    // A result outside the signed 32-bit range is refused; nothing changes.
    if (result < std::numeric_limits<int32_t>::min() ||
        result > std::numeric_limits<int32_t>::max()) {
        return StatusOnly(status::kValueRefused);
    }
    memory_[target] = classic::EncodeValueBlock(static_cast<int32_t>(result), from[12]);
    return StatusOnly(status::kOk);
}

}  // namespace kestrel::sim
