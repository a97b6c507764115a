// The fuzz harness: a session whose reader is the fuzz input.
//
// An input is read front to back by one cursor. It holds up to kMaxOperations operations, each
// one byte choosing an export of the family's table, then the arguments that export reads
// (capacities, modes, numbers), then the reader's answers to the requests the export sends:
//   operation | arguments | answer | answer | ... | operation | arguments | answer ...
// Framed families get one answer record per request: status byte, data length (one byte, or
// two when the first has its top bit set: 15 bits), data. The harness wraps it into a frame
// with the request's sequence number and a correct CRC, so the bytes reach the layers above
// the framing. The framing family gets raw bytes instead: its first input byte chooses a
// serial-like line (even) or a USB HID reader (odd); each answer on the line is a length in the
// record encoding and that many bytes, on USB a report count and each report as a length (at
// most 33) and its bytes. An input that runs out leaves the reader silent: every later request
// goes unanswered.
//
// Every caller buffer an operation hands to an export sits between guard bytes that are
// checked when the export returns; a changed guard aborts with the operation's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KestrelAPI.h"

namespace kestrel::fuzz {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxOperations = 8;

// The bytes of an input, taken front to back; past the end every byte reads as 0.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return offset_ >= size_; }
    uint8_t Byte() {
        if (!Empty()) return data_[offset_++];
        ++missing_;
        return 0;
    }
    // Bytes asked for past the end.
    size_t Missing() const { return missing_; }
    // Up to `length` bytes, fewer when the input ends first.
    Bytes Take(size_t length);
    // A length in the record encoding: one byte, or 15 bits when the first has its top bit set.
    size_t Length();

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    size_t missing_ = 0;
};

// One operation's view of the session: its arguments from the input and its guarded buffers.
class Call {
  public:
    Call(KestrelSession* session, Input& arguments, const char* name)
        : session(session), arguments_(arguments), name_(name) {}
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    KestrelSession* const session;

    uint8_t Byte() { return arguments_.Byte(); }
    // Low byte first (two statements: the order of the reads must not be the compiler's).
    uint16_t U16() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    // An argument in 0..limit-1.
    uint8_t Pick(uint8_t limit) { return Byte() % limit; }
    // A length byte (modulo limit), then that many bytes.
    Bytes Message(uint16_t limit = 256);
    // `length` bytes of the input in a guarded buffer (a serial, a PUPI).
    const uint8_t* Copy(size_t length);

    // `count` elements of T between guard bytes, their own bytes filled with a pattern.
    template <typename T = uint8_t>
    T* Out(size_t count = 1) {
        return reinterpret_cast<T*>(Buffer(count * sizeof(T)));
    }
    // A guarded T holding `value`, for lengths that go in as capacities.
    template <typename T>
    T* In(T value) {
        T* p = Out<T>();
        *p = value;
        return p;
    }
    // Checks every guard byte of this call's buffers; aborts on a changed one.
    void Check() const;
    // Aborts when `length` (reported back) exceeds `capacity` (handed in).
    void Fits(uint32_t length, uint32_t capacity) const;
    // Reports a finding with the operation's name and aborts.
    [[noreturn]] void Fail(const std::string& what) const;

  private:
    uint8_t* Buffer(size_t size);

    Input& arguments_;
    const char* name_;
    std::vector<std::unique_ptr<uint8_t[]>> buffers_;
    std::vector<size_t> sizes_;
};

struct Operation {
    const char* name;
    int32_t (*run)(Call& call);  // the export's result
};

// An operation as a seed scenario names it: its name in the table and its argument bytes.
struct Step {
    const char* operation;
    Bytes arguments = {};
};

// A seed: the cards in the virtual reader's field, steps run first on a session of their own
// (to set the cards up; not recorded), and the steps recorded into the seed.
struct Scenario {
    std::vector<std::string> cards;
    std::vector<Step> setup;
    std::vector<Step> steps;
    // S(WTX) requests the first card sends before its next answer to an I-block.
    int waitingTimeExtensions = 0;
};

// How the reader's answers reach the session.
enum class Transport {
    kFramed,   // answer records wrapped into correct frames, over a serial-like line
    kRawLine,  // raw answer bytes, on a serial-like line or in USB HID reports
};

struct Family {
    const char* name;
    std::vector<Operation> operations;
    std::vector<Scenario> seeds;
    Transport transport = Transport::kFramed;
    // Reader type of the connection (READER_TYPE_RFSCAN reaches the RF-scan commands).
    int32_t readerType = 0;
    // Run on every new session before its operations (no traffic); may be null.
    void (*prepare)(KestrelSession* session) = nullptr;
};

// Runs one input against a fresh session. Always 0 (libFuzzer's convention).
int Run(const Family& family, const uint8_t* data, size_t size);

// Runs `operation` of the family on `session` with arguments from `arguments`.
void RunOperation(const Family& family, KestrelSession* session, uint8_t operation,
                  Input& arguments);

// Makes the session not wait: no pause before an ISO/IEC 14443-4 retry.
void NoPauses(KestrelSession* session);

// The families, one per target.
extern const Family kFraming;
extern const Family kTypeA;
extern const Family kIso14443_4;
extern const Family kDesfire;
extern const Family kMifare;
extern const Family kTypeBConfig;

// The host random number every DESFire authentication of the harness uses, so that recorded
// card answers replay.
int FixedRandom(unsigned char* buffer, int length);

}  // namespace kestrel::fuzz
