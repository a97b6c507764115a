// The serial lines the system knows of, as candidates for serial readers. Every platform
// implements this header in its own folder; nothing here depends on an OS header.
#pragma once

#include <string>
#include <vector>

namespace kestrel::platform {

struct SerialLine {
    std::string name;  // the line's port name, "COM" and its number, e.g. "COM3"
    std::string path;  // what SerialPort::Open takes for it
};

// The system's serial lines. Whether a line can be opened is not checked here.
std::vector<SerialLine> ListSerialLines();

#ifndef _WIN32
// The lines of the COM table (COM1-COM96, see SerialDevicePath) whose device file exists in
// `folder` under its table name, in ascending COM order, with the paths inside `folder`.
// A missing folder gives an empty list. ListSerialLines() is this for "/dev".
std::vector<SerialLine> ListSerialLines(const std::string& folder);
#endif

}  // namespace kestrel::platform
