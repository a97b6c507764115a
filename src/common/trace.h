// The library's diagnostic trace. With KESTREL_TRACE=1 in the environment (read once, when the
// first trace point is reached), each place that makes a failure result out of something it
// saw (a frame's CRC, a MAC, a status byte, an OS error) writes one line to standard error
// saying why, prefixed with its layer: "kestrel link: ...". Off, a trace point costs the test
// of one flag: the message is neither formatted nor its arguments computed.
#pragma once

namespace kestrel::trace {

// True when KESTREL_TRACE was "1" at the first call.
bool Enabled();

// Writes "kestrel <layer>: <message>" and a line break to standard error in one piece, the
// message formatted as by printf (cut at 255 characters).
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Write(const char* layer, const char* format, ...);

}  // namespace kestrel::trace

// One trace line from `layer` ("link", "reader", ...), formatted only when the trace is on.
#define KESTREL_TRACE(layer, ...)                                                     \
    do {                                                                              \
        if (::kestrel::trace::Enabled()) ::kestrel::trace::Write(layer, __VA_ARGS__); \
    } while (0)
