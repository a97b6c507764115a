#include "hexdata.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "output.h"

namespace kestrel::tool {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

Bytes ParseHex(const std::string& text, const std::string& what) {
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        if (IsBlank(c)) continue;
        const int digit = HexDigit(c);
        if (digit < 0) throw UsageError(what + ": '" + text + "' is not hex");
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) throw UsageError(what + ": '" + text + "' has an odd number of hex digits");
    return bytes;
}

Bytes ReadDataArgument(const std::string& argument, const std::string& what) {
    if (argument.empty() || argument[0] != '@') return ParseHex(argument, what);
    const std::string path = argument.substr(1);
    if (path == "-") {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        return Bytes(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) throw UsageError(what + ": cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes ParseHexOfSize(const std::string& text, size_t size, const std::string& what) {
    Bytes bytes = ParseHex(text, what);
    if (bytes.size() != size) {
        throw UsageError(what + ": '" + text + "' must be " + std::to_string(size) + " bytes (" +
                         std::to_string(2 * size) + " hex digits)");
    }
    return bytes;
}

std::string ToHex(const uint8_t* data, size_t size, const char* separator) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        if (i > 0) text += separator;
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

std::vector<std::string> HexAsciiRows(const uint8_t* data, size_t size, size_t width,
                                      size_t firstOffset) {
    std::vector<std::string> rows;
    for (size_t row = 0; row < size; row += width) {
        const size_t count = std::min(width, size - row);
        char offset[16];
        std::snprintf(offset, sizeof offset, "%04zX: ", firstOffset + row);
        std::string line = offset + ToHex(data + row, count, " ");
        line.append(3 * (width - count), ' ');
        line += "  |";
        for (size_t i = 0; i < count; ++i) {
            const uint8_t c = data[row + i];
            line += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        rows.push_back(line + "|");
    }
    return rows;
}

uint32_t ParseNumber(const std::string& text, uint32_t max, const std::string& what) {
    size_t start = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        start = 2;
        base = 16;
    }
    uint64_t value = 0;
    if (start == text.size()) throw UsageError(what + ": '" + text + "' is not a number");
    for (size_t i = start; i < text.size(); ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0 || digit >= base) {
            throw UsageError(what + ": '" + text + "' is not a number");
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > max) break;
    }
    if (value > max) {
        throw UsageError(what + ": " + text + " is out of range (at most " + std::to_string(max) +
                         ")");
    }
    return static_cast<uint32_t>(value);
}

void WriteRawToStdout(const Bytes& data) {
    std::cout.flush();
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::fwrite(data.data(), 1, data.size(), stdout);
    std::fflush(stdout);
}

}  // namespace kestrel::tool
