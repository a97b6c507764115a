// A file that appears whole or not at all: written to a temporary file beside its target and
// renamed over it by Commit(). A temporary file not committed (a failure, Ctrl-C) is removed
// by the destructor.
#pragma once

#include <string>

#include "hexdata.h"

namespace kestrel::tool {

class AtomicFile {
  public:
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Writes the whole content to the temporary file and renames it over the target.
    // Failures are UsageErrors naming the file.
    void Commit(const Bytes& content);
    const std::string& temporaryPath() const { return temporary_; }

  private:
    std::string path_;
    std::string temporary_;
    bool committed_ = false;
};

}  // namespace kestrel::tool
