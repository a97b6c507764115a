#include "kestrel_sim/helpers/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel::sim {

namespace {

std::string SystemError(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

ImageFileStatus ReadImageFile(const std::string& path, size_t maxSize, Bytes* contents,
                              std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return ImageFileStatus::kMissing;
        if (error) *error = SystemError("open", path);
        return ImageFileStatus::kFailed;
    }
    contents->clear();
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            if (error) *error = SystemError("read", path);
            ::close(fd);
            return ImageFileStatus::kFailed;
        }
        if (got == 0) break;
        contents->insert(contents->end(), buffer, buffer + got);
        if (contents->size() > maxSize) {
            if (error) *error = path + " is longer than " + std::to_string(maxSize) + " bytes";
            ::close(fd);
            return ImageFileStatus::kFailed;
        }
    }
    ::close(fd);
    return ImageFileStatus::kRead;
}

bool WriteImageFile(const std::string& path, const Bytes& contents, std::string* error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        if (error) *error = SystemError("create a file beside", path);
        return false;
    }
    size_t done = 0;
    while (done < contents.size()) {
        const ssize_t written = ::write(fd, contents.data() + done, contents.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        done += static_cast<size_t>(written);
    }
    // mkstemp creates the file for its owner only; a dump is an ordinary file.
    bool ok = done == contents.size() && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    if (!ok && error) *error = SystemError("write", temporary);
    if (::close(fd) != 0 && ok) {
        ok = false;
        if (error) *error = SystemError("write", temporary);
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        if (error) *error = SystemError("replace", path);
    }
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace kestrel::sim
