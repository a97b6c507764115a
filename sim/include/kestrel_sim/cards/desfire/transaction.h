// The changes a DESFire transaction makes to backup, value and record files: held apart until
// CommitTransaction, dropped by AbortTransaction, by selecting or authenticating and when the
// card leaves the field.
#pragma once

#include <cstdint>
#include <map>

#include "kestrel_sim/cards/desfire/application.h"

namespace kestrel::sim::desfire {

class Transaction {
  public:
    // A file as the transaction has changed it so far.
    struct Change {
        File file;
        bool recordOpen = false;  // WriteRecord of this transaction writes into the newest
        int64_t debited = 0;      // Debits of this transaction
        bool limitedCredited = false;
    };

    // The transaction's copy of file `number`; a fresh copy of `file` on first use.
    Change& Of(uint8_t number, const File& file);
    // The file is gone (deleted): so are its changes.
    void Forget(uint8_t number) { changes_.erase(number); }
    bool Empty() const { return changes_.empty(); }
    void Discard() { changes_.clear(); }
    // Writes the contents of every changed file (settings changed meanwhile stay) into
    // `application`, and what the value files remember for limited credits; then nothing is
    // pending.
    void Commit(Application& application);

  private:
    std::map<uint8_t, Change> changes_;  // by file number
};

}  // namespace kestrel::sim::desfire
