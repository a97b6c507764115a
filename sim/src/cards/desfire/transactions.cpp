// DESFire transactions: the changed copies of backup, value and record files, and
// CommitTransaction and AbortTransaction.
#include "kestrel_sim/cards/desfire/transaction.h"

#include <algorithm>
#include <limits>

#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"

namespace kestrel::sim {

namespace desfire {

Transaction::Change& Transaction::Of(uint8_t number, const File& file) {
    auto found = changes_.find(number);
    if (found == changes_.end()) found = changes_.emplace(number, Change{file}).first;
    return found->second;
}

void Transaction::Commit(Application& application) {
    for (auto& [number, change] : changes_) {
        const auto found = application.files.find(number);
        if (found == application.files.end()) continue;
        File& file = found->second;
        // The contents only: settings changed meanwhile stay.
        file.data = std::move(change.file.data);
        file.records = std::move(change.file.records);
        file.value = change.file.value;
        if (change.debited > 0) {
            file.limitedCreditValue = static_cast<int32_t>(
                std::min<int64_t>(change.debited, std::numeric_limits<int32_t>::max()));
        } else if (change.limitedCredited) {
            file.limitedCreditValue = 0;
        }
    }
    changes_.clear();
}

}  // namespace desfire

df::Transaction::Change& DesfireCard::Changed(uint8_t number) {
    return transaction_.Of(number, *FindFile(number));
}

df::File& DesfireCard::Writable(uint8_t number) {
    df::File* file = FindFile(number);
    if (file->type == df::file_type::kStandard) return *file;
    return Changed(number).file;
}

NativeAnswer DesfireCard::CommitTransaction(const Bytes& command) {
    if (command.size() != 1) return df::Status(st::kLengthError);
    if (transaction_.Empty()) return df::Status(st::kNoChanges);
    transaction_.Commit(Selected());
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::AbortTransaction(const Bytes& command) {
    if (command.size() != 1) return df::Status(st::kLengthError);
    if (transaction_.Empty()) return df::Status(st::kNoChanges);
    transaction_.Discard();
    return df::Status(st::kOk);
}

}  // namespace kestrel::sim
