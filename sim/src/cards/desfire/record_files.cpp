// Linear and cyclic record files: WriteRecord, ReadRecords and ClearRecordFile.
#include <algorithm>

#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"

namespace kestrel::sim {

NativeAnswer DesfireCard::WriteRecord(const Bytes& command) {
    // As WriteData: the offset and length within the record.
    if (command.size() < 8) return df::Status(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kRecord, kWriteRight | kReadWriteRight);
    if (refusal != st::kOk) return df::Status(refusal);
    const size_t offset = df::Le24(&command[2]);
    const size_t length = df::Le24(&command[5]);
    if (length == 0) return df::Status(st::kLengthError);
    if (offset + length > file->recordSize) return df::Status(st::kBoundaryError);
    uint8_t status = st::kOk;
    const std::optional<Bytes> data = session_.FromHost(mode, command, 8, length, &status);
    if (!data) return df::Status(status);
    df::Transaction::Change& pending = Changed(command[1]);
    std::vector<Bytes>& records = pending.file.records;
    if (!pending.recordOpen) {
        // A transaction writes one new record. A cyclic file keeps one record free for it,
        // so it holds at most maxRecords - 1 and drops the oldest.
        if (file->type == df::file_type::kLinearRecord) {
            if (records.size() >= file->maxRecords) return df::Status(st::kBoundaryError);
        } else if (records.size() >= file->maxRecords - 1) {
            records.erase(records.begin());
        }
        records.emplace_back(file->recordSize, 0x00);
        pending.recordOpen = true;
    }
    std::copy(data->begin(), data->end(), records.back().begin() + static_cast<ptrdiff_t>(offset));
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::ReadRecords(const Bytes& command) {
    // File number, offset (3: records back from the newest), count (3; 0: all from there to the
    // oldest). The records go out oldest first.
    if (command.size() != 8) return df::Status(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kRecord, kReadRight | kReadWriteRight);
    if (refusal != st::kOk) return df::Status(refusal);
    const size_t existing = file->records.size();
    const size_t offset = df::Le24(&command[2]);
    size_t count = df::Le24(&command[5]);
    if (offset >= existing) return df::Status(st::kBoundaryError);
    if (count == 0) count = existing - offset;
    if (offset + count > existing) return df::Status(st::kBoundaryError);
    Bytes data;
    for (size_t i = existing - offset - count; i < existing - offset; ++i) {
        data.insert(data.end(), file->records[i].begin(), file->records[i].end());
    }
    return df::Frames(session_.ToHost(mode, data));
}

NativeAnswer DesfireCard::ClearRecordFile(const Bytes& command) {
    if (command.size() != 2) return df::Status(st::kLengthError);
    const uint8_t refusal = OpenFile(command[1], FileKind::kRecord, kReadWriteRight).status;
    if (refusal != st::kOk) return df::Status(refusal);
    df::Transaction::Change& pending = Changed(command[1]);
    pending.file.records.clear();
    pending.recordOpen = false;
    return df::Status(st::kOk);
}

}  // namespace kestrel::sim
