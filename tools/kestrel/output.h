// What the tool prints and how it ends: the exceptions that carry a failure to main() with its
// exit status, the text or JSON rendering of a command's result, and time stamps.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace kestrel::tool {

using Json = nlohmann::ordered_json;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;    // the reader or the card refused or failed
constexpr int kExitUsage = 2;     // a bad command line or input file
constexpr int kExitNoReader = 3;  // no reader could be opened
constexpr int kExitInterrupted = 130;

// The reader or the card refused or failed an operation: exit 1.
class Failure : public std::runtime_error {
  public:
    Failure(const std::string& operation, int32_t code);
    // A failure the tool itself found (a card answer it cannot use), without a result code.
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
    int32_t code() const { return code_; }

  private:
    int32_t code_ = 0;
};

// A bad argument or input file: exit 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// No reader could be opened, or nothing answered on the line: exit 3.
class NoReader : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The user pressed Ctrl-C: exit 130 once everything is cleaned up.
class Interrupted : public std::exception {
  public:
    const char* what() const noexcept override { return "interrupted"; }
};

// "GetErrorText (code 8002, 0x1F42)" for a result code.
std::string DescribeCode(int32_t code);

// Where a command's result goes: one JSON document on standard output with --json, else the
// command's own text. With --quiet the confirmations of commands that only change something
// are left out; data the user asked for is always printed.
struct Output {
    bool json = false;
    bool quiet = false;

    void Result(const Json& document, const std::function<void()>& text) const;
    // A confirmation line ("page 4 written"): suppressed by --quiet, a document with --json.
    void Done(const Json& document, const std::string& line) const;
    // One line of a stream (poll): a JSON line with --json.
    void StreamLine(const Json& document, const std::string& line) const;
    // A note for the person at the terminal, on standard error (not with --quiet).
    void Note(const std::string& line) const;
};

// Wall-clock time for logs and events: "12:34:56.789" (local), and ISO 8601 UTC for JSON.
std::string ClockTime();
std::string IsoTime();

}  // namespace kestrel::tool
