#include "atomic_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "output.h"

namespace kestrel::tool {

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
    std::random_device random;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".tmp%08X", static_cast<unsigned>(random()));
    temporary_ = path_ + suffix;
    // Created now, empty, so that a failure to write there shows before the card is read.
    std::ofstream probe(temporary_, std::ios::binary | std::ios::trunc);
    if (!probe) throw UsageError("cannot create " + temporary_);
}

AtomicFile::~AtomicFile() {
    if (!committed_) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
    }
}

void AtomicFile::Commit(const Bytes& content) {
    {
        std::ofstream file(temporary_, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        file.close();
        if (!file) throw UsageError("cannot write " + temporary_);
    }
    std::error_code error;
    std::filesystem::rename(temporary_, path_, error);
    if (error)
        throw UsageError("cannot rename " + temporary_ + " to " + path_ + ": " + error.message());
    committed_ = true;
}

}  // namespace kestrel::tool
