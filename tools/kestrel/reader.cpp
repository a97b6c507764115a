#include "reader.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <CLI/CLI.hpp>

#include "hexdata.h"
#include "interrupt.h"

namespace kestrel::tool {

void AddGlobalOptions(CLI::App& app, GlobalOptions& options) {
    const char* group = "Global options";
    app.add_option("-r,--reader", options.reader,
                   "reader: a.b.c.d:port, COMn, a device path or USB_n (default: $KESTREL_READER, "
                   "then 127.0.0.1:4711)")
        ->group(group);
    app.add_option("--reader-type", options.readerType,
                   "reader type; for USB readers the product id (4096: RF-scan reader)")
        ->group(group);
    app.add_option("--baud", options.baud, "serial line speed (default 115200)")->group(group);
    app.add_option("--timeout", options.timeoutMs, "time-out of each reader exchange in ms")
        ->group(group);
    app.add_flag("--log", options.log, "every frame written and read, in hex, on standard error")
        ->group(group);
    app.add_flag("--json", options.json, "JSON on standard output (JSON lines for streams)")
        ->group(group);
    app.add_flag("-q,--quiet", options.quiet, "no progress, notes or confirmations")->group(group);
    app.add_flag("--raw", options.raw, "data outputs as raw bytes instead of hex")->group(group);
}

ReaderAddress ResolveReader(const std::string& given) {
    std::string name = given;
    if (name.empty()) {
        const char* fromEnvironment = std::getenv("KESTREL_READER");
        name = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment
                                                                      : kDefaultReader;
    }
    if (name.rfind("USB_", 0) == 0 && name.size() > 4 &&
        name.find_first_not_of("0123456789", 4) == std::string::npos) {
        return {INTERFACE_USB, name};
    }
    if (name.rfind("COM", 0) == 0 && name.size() > 3 &&
        name.find_first_not_of("0123456789", 3) == std::string::npos) {
        return {INTERFACE_RS232, name};
    }
    if (name[0] == '/') return {INTERFACE_RS232, name};
    const size_t colon = name.rfind(':');
    if (colon != std::string::npos && colon > 0 &&
        name.find_first_not_of("0123456789.", 0) == colon &&
        name.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
        colon + 1 < name.size()) {
        return {INTERFACE_TCP, name};
    }
    throw UsageError("reader '" + name +
                     "' is none of a.b.c.d:port, COMn, a device path starting with / or USB_n");
}

Reader::Reader(const GlobalOptions& options)
    : address_(ResolveReader(options.reader)), log_(options.log) {
    session_ = CreateSession(0);
    if (session_ == nullptr) throw Failure("create a session", KESTREL_ERR_NOT_ENOUGH_MEMORY);
    const int32_t connected = ConnectReaderEx(
        session_, address_.interfaceType, address_.name.c_str(), options.readerType, options.baud);
    if (connected != KESTREL_OK) {
        ReleaseSession(session_, 0);
        session_ = nullptr;
        throw NoReader("cannot open reader " + address_.name + ": " + DescribeCode(connected));
    }
    // The receive log also tells whether the reader ever answered (see Check).
    RegisterLogMethods(session_, reinterpret_cast<uintptr_t>(this), log_ ? OnSend : nullptr,
                       OnReceive);
    if (options.timeoutMs != 0) {
        Check(Interface_SetTimeOuts(session_, options.timeoutMs, nullptr), "set the time-out");
    }
}

Reader::~Reader() {
    if (session_ != nullptr) {
        DisconnectReader(session_);
        ReleaseSession(session_, 0);
    }
}

void Reader::Check(int32_t code, const std::string& operation) const {
    if (code == KESTREL_OK) return;
    CheckInterrupt();
    const bool lineFailure = code == KESTREL_ERR_RS232_READ || code == KESTREL_ERR_RS232_WRITE ||
                             code == KESTREL_ERR_SOCKET;
    if (lineFailure && !heardFromReader_) {
        throw NoReader("no reader answers on " + address_.name + ": " + DescribeCode(code));
    }
    throw Failure(operation, code);
}

namespace {

void LogFrame(const char* direction, const uint8_t* frame, int32_t length) {
    const std::string line = ClockTime() + " " + direction + " " +
                             ToHex(frame, length > 0 ? static_cast<size_t>(length) : 0, " ");
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

void KESTREL_CALL Reader::OnSend(uintptr_t context, const uint8_t* frame, int32_t length) {
    (void)context;
    LogFrame("->", frame, length);
}

void KESTREL_CALL Reader::OnReceive(uintptr_t context, const uint8_t* frame, int32_t length) {
    Reader* reader = reinterpret_cast<Reader*>(context);
    if (length > 0) reader->heardFromReader_ = true;
    if (reader->log_) LogFrame("<-", frame, length);
}

}  // namespace kestrel::tool
