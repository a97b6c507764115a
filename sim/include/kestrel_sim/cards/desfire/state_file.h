// The DESFire card's state as a text file: its UID, capacity, applications, keys and files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "kestrel_sim/cards/desfire/application.h"

namespace kestrel::sim::desfire {

// The card's state as its file holds it.
struct CardImage {
    Bytes uid;
    size_t capacity = kDefaultCapacity;
    std::vector<Application> applications;  // the card level first
};
// The state file: versioned text, see docs/virtual-reader.md.
std::string FormatStateFile(const CardImage& image);
// nullopt and *error (with the line number) when the text is not a state file of a version
// this card reads or breaks a rule of it.
std::optional<CardImage> ParseStateFile(const std::string& text, std::string* error);

}  // namespace kestrel::sim::desfire
