// Value files: GetValue, Credit, Debit and LimitedCredit.
#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"

namespace kestrel::sim {

NativeAnswer DesfireCard::GetValue(const Bytes& command) {
    if (command.size() != 2) return df::Status(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kValue, kReadRight | kWriteRight | kReadWriteRight);
    if (refusal != st::kOk) return df::Status(refusal);
    Bytes value;
    df::PutLe(value, static_cast<uint32_t>(file->value), 4);
    return NativeAnswer{st::kOk, {session_.ToHost(mode, value)}};
}

NativeAnswer DesfireCard::ChangeValue(const Bytes& command) {
    // File number, then the amount (4 bytes) in the file's mode.
    if (command.size() < 2) return df::Status(st::kLengthError);
    const uint8_t code = command[0];
    // A limited credit takes the write or the read-and-write right, a credit only the latter, a
    // debit any of the three.
    uint8_t rights = kWriteRight | kReadWriteRight;
    if (code == df::command::kCredit) rights = kReadWriteRight;
    if (code == df::command::kDebit) rights = kReadRight | kWriteRight | kReadWriteRight;
    const auto [file, mode, refusal] = OpenFile(command[1], FileKind::kValue, rights);
    if (refusal != st::kOk) return df::Status(refusal);
    uint8_t status = st::kOk;
    const std::optional<Bytes> data = session_.FromHost(mode, command, 2, 4, &status);
    if (!data) return df::Status(status);
    const int32_t amount = df::Le32(data->data());
    if (amount < 0) return df::Status(st::kParameterError);
    if (code == df::command::kLimitedCredit && !file->limitedCreditEnabled) {
        return df::Status(st::kPermissionDenied);
    }
    df::Transaction::Change& pending = Changed(command[1]);
    const int64_t value = pending.file.value;
    int64_t result = value;
    if (code == df::command::kDebit) {
        result = value - amount;
        if (result < file->lowerLimit) return df::Status(st::kBoundaryError);
        pending.debited += amount;
    } else {
        if (code == df::command::kLimitedCredit) {
            // Once, and up to the debits of the last committed transaction that had any.
            if (pending.limitedCredited) return df::Status(st::kPermissionDenied);
            if (amount > file->limitedCreditValue) return df::Status(st::kBoundaryError);
        }
        result = value + amount;
        if (result > file->upperLimit) return df::Status(st::kBoundaryError);
        if (code == df::command::kLimitedCredit) pending.limitedCredited = true;
    }
    pending.file.value = static_cast<int32_t>(result);
    return df::Status(st::kOk);
}

}  // namespace kestrel::sim
