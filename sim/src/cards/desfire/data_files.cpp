// Standard and backup data files: ReadData and WriteData.
#include <algorithm>

#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"

namespace kestrel::sim {

NativeAnswer DesfireCard::ReadData(const Bytes& command) {
    // File number, offset (3), length (3; 0 reads to the end of the file).
    if (command.size() != 8) return df::Status(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kData, kReadRight | kReadWriteRight);
    if (refusal != st::kOk) return df::Status(refusal);
    const size_t offset = df::Le24(&command[2]);
    size_t length = df::Le24(&command[5]);
    if (offset >= file->data.size()) return df::Status(st::kBoundaryError);
    if (length == 0) length = file->data.size() - offset;
    if (offset + length > file->data.size()) return df::Status(st::kBoundaryError);
    const auto begin = file->data.begin() + static_cast<ptrdiff_t>(offset);
    return df::Frames(session_.ToHost(mode, Bytes(begin, begin + static_cast<ptrdiff_t>(length))));
}

NativeAnswer DesfireCard::WriteData(const Bytes& command) {
    // File number, offset (3), length (3) of the plain data, then the data in the file's mode.
    if (command.size() < 8) return df::Status(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kData, kWriteRight | kReadWriteRight);
    if (refusal != st::kOk) return df::Status(refusal);
    const size_t offset = df::Le24(&command[2]);
    const size_t length = df::Le24(&command[5]);
    if (length == 0) return df::Status(st::kLengthError);
    if (offset + length > file->data.size()) return df::Status(st::kBoundaryError);
    uint8_t status = st::kOk;
    const std::optional<Bytes> data = session_.FromHost(mode, command, 8, length, &status);
    if (!data) return df::Status(status);
    df::File& target = Writable(command[1]);
    std::copy(data->begin(), data->end(), target.data.begin() + static_cast<ptrdiff_t>(offset));
    return df::Status(st::kOk);
}

}  // namespace kestrel::sim
