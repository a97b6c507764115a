// Card memory images in files: the raw dumps that common MIFARE tools read and write.
#pragma once

#include <cstddef>
#include <string>

#include "kestrel_sim/helpers/bytes.h"

namespace kestrel::sim {

enum class ImageFileStatus { kRead, kMissing, kFailed };

// Reads the whole file into *contents. kMissing when it does not exist; kFailed (and *error)
// when it cannot be read or is longer than `maxSize` bytes.
ImageFileStatus ReadImageFile(const std::string& path, size_t maxSize, Bytes* contents,
                              std::string* error);
// Replaces the file with `contents` (a new file beside it, renamed over it), so that a failed
// save never leaves a half-written dump. False and *error on failure.
bool WriteImageFile(const std::string& path, const Bytes& contents, std::string* error);

}  // namespace kestrel::sim
