// The reader's firmware core: command codes dispatched through a table to their handlers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "kestrel_sim/cards/card.h"
#include "kestrel_sim/reader/field.h"
#include "kestrel_sim/reader/reader_config.h"

namespace kestrel::sim {

// Executes reader commands on the field. A command code with a handler in the table runs that
// handler; any other code goes to the active card's HandleCommand; when no card takes it the
// answer is status::kUnknownCommand. Not thread-safe (VirtualReader adds the lock).
class Firmware {
  public:
    using Handler = std::function<Answer(Firmware& firmware, const Bytes& params)>;

    // A firmware with the Type A commands of the core in its table and an empty field.
    Firmware();
    Firmware(const Firmware&) = delete;
    Firmware& operator=(const Firmware&) = delete;

    // Adds or replaces the handler of `code`; `name` appears in frame logs.
    void RegisterCommand(uint8_t code, std::string name, Handler handler);
    bool HasCommand(uint8_t code) const { return static_cast<bool>(table_[code].handler); }
    // The registered name; for the card commands of card_command their name; "command 0xNN"
    // for other codes without a handler.
    std::string CommandName(uint8_t code) const;

    Answer Execute(uint8_t code, const Bytes& params);

    Field& field() { return field_; }
    const Field& field() const { return field_; }
    // The reader's own state: registers, attributes, devices, memory, firmware version.
    ReaderConfig& config() { return config_; }
    const ReaderConfig& config() const { return config_; }
    // Last value of SetCardTimeOut (0x27); 0 until one arrives.
    uint32_t CardTimeOut() const { return cardTimeOut_; }

  private:
    struct Entry {
        std::string name;
        Handler handler;
    };

    // The command handlers of the core.
    Answer Request(const Bytes& params);
    Answer Anticollision(int level, uint8_t knownBits, const uint8_t* serial);
    Answer Select(int level, const uint8_t* serial);
    Answer Activate(bool wakeUp, const Bytes* uid);
    Answer Halt(const Bytes& params);
    Answer RfReset(const Bytes& params);
    Answer SetCardTimeOut(const Bytes& params);

    std::array<Entry, 256> table_;
    Field field_;
    ReaderConfig config_;
    uint32_t cardTimeOut_ = 0;
};

}  // namespace kestrel::sim
