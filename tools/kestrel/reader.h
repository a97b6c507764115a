// The options every subcommand takes, and the connected reader they name.
#pragma once

#include <cstdint>
#include <string>

#include "KestrelAPI.h"
#include "output.h"

namespace CLI {
class App;
}

namespace kestrel::tool {

constexpr const char* kDefaultReader = "127.0.0.1:4711";

struct GlobalOptions {
    std::string reader;  // empty: KESTREL_READER, then kDefaultReader
    int32_t readerType = 0;
    uint32_t baud = 115200;
    uint32_t timeoutMs = 0;  // 0: the library's default
    bool log = false;
    bool json = false;
    bool quiet = false;
    bool raw = false;

    Output output() const { return Output{json, quiet}; }
};

// Adds the global options to a command (the tool itself and every subcommand, so that they
// may stand before or after the subcommand's name and show in each --help).
void AddGlobalOptions(CLI::App& app, GlobalOptions& options);

struct ReaderAddress {
    int32_t interfaceType = 0;
    std::string name;
};
// "a.b.c.d:port" (TCP), "COMn" or a path starting with '/' (serial), "USB_n" (USB HID); an
// empty name takes KESTREL_READER, then kDefaultReader. Anything else is a UsageError.
ReaderAddress ResolveReader(const std::string& name);

// A session connected to the reader; disconnected and released by the destructor.
class Reader {
  public:
    explicit Reader(const GlobalOptions& options);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    KestrelSession* session() const { return session_; }
    const ReaderAddress& address() const { return address_; }

    // Turns a result code into the exception that ends the command: Interrupted after Ctrl-C,
    // NoReader when the line never carried an answer and the call failed on it, else Failure
    // naming the operation. Does nothing for 0.
    void Check(int32_t code, const std::string& operation) const;

  private:
    static void KESTREL_CALL OnSend(uintptr_t context, const uint8_t* frame, int32_t length);
    static void KESTREL_CALL OnReceive(uintptr_t context, const uint8_t* frame, int32_t length);

    ReaderAddress address_;
    KestrelSession* session_ = nullptr;
    bool log_ = false;
    bool heardFromReader_ = false;
};

}  // namespace kestrel::tool
