// Card memory images in files: the raw dumps that common MIFARE tools read and write.
#pragma once

#include <string>

#include "kestrel_sim/cards/card.h"
#include "kestrel_sim/reader/virtual_reader.h"

namespace kestrel::sim {

enum class ImageFileStatus { kRead, kMissing, kFailed };

// Reads the whole file into *contents. kMissing when it does not exist; kFailed (and *error)
// when it cannot be read or is longer than `maxSize` bytes.
ImageFileStatus ReadImageFile(const std::string& path, size_t maxSize, Bytes* contents,
                              std::string* error);
// Replaces the file with `contents` (a new file beside it, renamed over it), so that a failed
// save never leaves a half-written dump. False and *error on failure.
bool WriteImageFile(const std::string& path, const Bytes& contents, std::string* error);

// Saves the memory of the card with `uid` in the reader's field to `path`, or to the card's
// own image file when `path` is empty. *savedTo receives the file written. False and *error
// when there is no such card, the card has no memory image, no file is known, or writing fails.
bool SaveCardImage(VirtualReader& reader, const Bytes& uid, const std::string& path,
                   std::string* savedTo, std::string* error);

}  // namespace kestrel::sim
