// The card types the virtual reader can put in its field: their profiles, factory-fresh cards,
// cards described on a command line, and card memories kept in files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kestrel_sim/cards/card.h"
#include "kestrel_sim/reader/virtual_reader.h"

namespace kestrel::sim {

// A card type: its name on the command line, UID length, ATQA and SAK.
struct CardProfile {
    const char* name;
    size_t uidLength;
    uint16_t atqa;
    uint8_t sak;
    size_t imageSize;  // bytes of a memory dump; 0 when the type has none
    // The card keeps its state in a file of its own format (of any size) instead of a dump.
    bool stateFile = false;
};
const std::vector<CardProfile>& CardProfiles();
const CardProfile* FindCardProfile(const std::string& name);

// A random UID of `length` bytes that CheckUid accepts; 7- and 10-byte UIDs start with the
// manufacturer byte 0x04.
Bytes RandomUid(size_t length, std::mt19937& random);

// A card of the type in its factory state: a MIFARE Classic 1K or 4K, an Ultralight, a
// DESFire or a Type B card.
std::unique_ptr<Card> MakeCard(const CardProfile& profile, Bytes uid);
// The UID that a memory dump or state file of the type holds (Classic: block 0; Ultralight:
// pages 0 and 1; DESFire: its uid line); empty when the type has none or the image is not one
// of the type (wrong size, unreadable state file).
Bytes UidInImage(const CardProfile& profile, const Bytes& image);

// A card from "TYPE", "TYPE:UIDHEX" or "TYPE:UIDHEX:FILE"; without a UID a random one.
// With FILE (types with a memory dump or a state file only) the card keeps FILE as its image
// path; if FILE exists it must hold a dump of the type's size or a state file of the type,
// which becomes the card's memory, and an empty UID ("TYPE::FILE") means the UID in the file,
// while a given UID must equal it. A FILE that does not exist yet leaves the card in its
// factory state (it is written on saving). nullptr and a message in *error when the type is
// unknown, the UID is not valid hex of the type's length, or the file cannot be used.
std::unique_ptr<Card> ParseCard(const std::string& text, std::mt19937& random, std::string* error);

// Saves the memory of the card with `uid` in the reader's field to `path`, or to the card's
// own image file when `path` is empty. *savedTo receives the file written. False and *error
// when there is no such card, the card has no memory image, no file is known, or writing fails.
bool SaveCardImage(VirtualReader& reader, const Bytes& uid, const std::string& path,
                   std::string* savedTo, std::string* error);

}  // namespace kestrel::sim
