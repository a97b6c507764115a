#include "kestrel_sim/helpers/hex.h"
#include "kestrel_sim/reader/virtual_reader.h"

namespace kestrel::sim {

std::string FormatLogEntry(const FrameLogEntry& entry) {
    std::string line = entry.direction == LogDirection::kToReader ? "-> " : "<- ";
    if (!entry.bytes.empty()) line += ToHex(entry.bytes, true) + "  ";
    line += entry.command;
    if (entry.status) line += std::string(": ") + StatusName(*entry.status);
    if (!entry.note.empty()) {
        if (!entry.command.empty()) line += " ";
        line += "(" + entry.note + ")";
    }
    return line;
}

}  // namespace kestrel::sim
