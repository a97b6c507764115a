// Bytes on the command line and on the screen: hex text (blanks allowed) or @FILE in, hex or
// a hex+ASCII view out, and decimal or hex numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::tool {

using Bytes = std::vector<uint8_t>;

// "A1 b2C3" -> A1 B2 C3. Blanks anywhere; an odd number of digits or another character is a
// UsageError naming `what`.
Bytes ParseHex(const std::string& text, const std::string& what);
// A data argument: hex, or @FILE for the file's bytes (@- for standard input).
Bytes ReadDataArgument(const std::string& argument, const std::string& what);
// Exactly `size` bytes of hex (a key, a block), else a UsageError.
Bytes ParseHexOfSize(const std::string& text, size_t size, const std::string& what);

// Upper-case hex, optionally with a separator between bytes.
std::string ToHex(const uint8_t* data, size_t size, const char* separator = "");
inline std::string ToHex(const Bytes& data, const char* separator = "") {
    return ToHex(data.data(), data.size(), separator);
}
// Rows of `width` bytes: "0010: 00 11 .. ff  |..ASCII..|" with the row's offset.
std::vector<std::string> HexAsciiRows(const uint8_t* data, size_t size, size_t width,
                                      size_t firstOffset = 0);

// An unsigned number in decimal or with 0x; out of [0, max] is a UsageError naming `what`.
uint32_t ParseNumber(const std::string& text, uint32_t max, const std::string& what);

// Writes bytes as they are to standard output (binary mode on Windows).
void WriteRawToStdout(const Bytes& data);

}  // namespace kestrel::tool
