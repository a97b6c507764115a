// MIFARE Classic 1K and 4K cards: sectors of blocks, authentication with the coded keys the
// reader carries, access conditions per block and key, and value blocks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "kestrel_sim/cards/card.h"

namespace kestrel::sim {

namespace classic {

constexpr size_t kBlockSize = 16;
constexpr int kBlocks1K = 64;   // 16 sectors of 4 blocks
constexpr int kBlocks4K = 256;  // 32 sectors of 4 blocks, then 8 sectors of 16 blocks

using Key = std::array<uint8_t, 6>;
using Block = std::array<uint8_t, kBlockSize>;

// Geometry of the 4K layout (the 1K card is its first 16 sectors): blocks 0 to 127 are in
// sectors of 4 blocks, blocks 128 to 255 in sectors of 16.
int SectorOfBlock(int block);
int FirstBlockOfSector(int sector);
int BlocksInSector(int sector);
int TrailerOfSector(int sector);
// The access-condition group of a block (0, 1, 2 for data blocks, 3 for the trailer). In a
// 16-block sector each data group covers 5 blocks: 0-4, 5-9, 10-14.
int AccessGroupOfBlock(int block);

// The six key bytes of the 12-byte coded form: every key byte travels as two bytes, one per
// nibble, each with the nibble's complement in its upper half. nullopt when a byte of `coded`
// is not of that form.
std::optional<Key> DecodeCodedKey(const uint8_t* coded);

// Condition indices (4 x C1 + 2 x C2 + C3) of the groups 0, 1, 2 and the trailer from trailer
// bytes 6, 7, 8. nullopt when a bit is not the complement of its inverted copy: a card then
// treats the sector as blocked.
std::optional<std::array<int, 4>> DecodeAccessBits(const uint8_t* bytes6to8);

// Which key may do what, as on the card.
enum class KeyType { kA, kB };

// kDecrement stands for decrement, transfer and restore, which the card grants together.
enum class DataOperation { kRead, kWrite, kIncrement, kDecrement };
bool DataAllowed(int condition, KeyType key, DataOperation operation);

enum class TrailerField { kWriteKeyA, kReadAccess, kWriteAccess, kReadKeyB, kWriteKeyB };
bool TrailerAllowed(int condition, KeyType key, TrailerField field);

// A signed 32-bit value and its address byte in the value-block format (value, NOT value,
// value, address, NOT address, address, NOT address).
Block EncodeValueBlock(int32_t value, uint8_t address);
// nullopt when `block` is not in value-block format.
std::optional<int32_t> DecodeValueBlock(const uint8_t* block);

// Factory bytes 8 to 15 of block 0.
constexpr std::array<uint8_t, 8> kManufacturerData = {0x4B, 0x53, 0x49, 0x4D,
                                                      0x20, 0x20, 0x01, 0x00};
// Factory trailer: transport keys FF..FF and access bytes FF 07 80 69.
constexpr Key kTransportKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::array<uint8_t, 4> kTransportAccess = {0xFF, 0x07, 0x80, 0x69};

}  // namespace classic

// A MIFARE Classic card with a 4-byte UID. Reader commands it serves while active:
// Authenticate (0x18), read block (0x19), write block (0x1A), value operation (0x1B), and the
// generic read (0x28) and write (0x1F) with the card's own READ (0x30) and WRITE (0xA0).
class ClassicCard : public Card {
  public:
    // `blocks` is classic::kBlocks1K or classic::kBlocks4K. The memory starts in the factory
    // state: block 0 holds UID, BCC, SAK, ATQA (low byte first) and the manufacturer bytes,
    // every trailer the transport keys and access bytes, every other block zeros.
    ClassicCard(std::string type, Bytes uid, uint16_t atqa, uint8_t sak, int blocks);

    int BlockCount() const { return static_cast<int>(memory_.size()); }
    // The stored bytes of a block, keys included, with no access check (0 <= block < count).
    const classic::Block& RawBlock(int block) const { return memory_.at(block); }
    // Stores bytes with no access check (tests, card preparation); block 0 too.
    void SetRawBlock(int block, const classic::Block& data) { memory_.at(block) = data; }

    // The authenticated sector and key, nullopt when none.
    std::optional<int> AuthenticatedSector() const;
    std::optional<classic::KeyType> AuthenticatedKey() const;

    std::optional<CardReply> HandleCommand(uint8_t code, const Bytes& params) override;
    void OnActivated() override { auth_.reset(); }
    void OnDeactivated() override { auth_.reset(); }

    size_t ImageSize() const override { return memory_.size() * classic::kBlockSize; }
    Bytes SaveImage() const override;
    bool LoadImage(const Bytes& image, std::string* error) override;

  private:
    struct Auth {
        int sector;
        classic::KeyType key;
    };

    Answer Authenticate(const Bytes& params);
    Answer Read(int block) const;
    Answer Write(int block, const uint8_t* data);
    Answer Value(const Bytes& params);
    bool InAuthenticatedSector(int block) const;
    // The condition index of the block's group; nullopt when the sector's access bits are
    // inconsistent (the sector is blocked).
    std::optional<int> ConditionOf(int block) const;
    bool KeyBReadable(int sector) const;
    bool MayData(int block, classic::DataOperation operation) const;

    std::vector<classic::Block> memory_;
    std::optional<Auth> auth_;
};

}  // namespace kestrel::sim
