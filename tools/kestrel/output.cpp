#include "output.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "KestrelAPI.h"

namespace kestrel::tool {

std::string DescribeCode(int32_t code) {
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, " (code %ld, 0x%lX)", static_cast<long>(code),
                  static_cast<unsigned long>(static_cast<uint32_t>(code)));
    return GetErrorText(code) + std::string(numbers);
}

Failure::Failure(const std::string& operation, int32_t code)
    : std::runtime_error(operation + ": " + DescribeCode(code)), code_(code) {}

void Output::Result(const Json& document, const std::function<void()>& text) const {
    if (json) {
        std::cout << document.dump(2) << '\n';
    } else {
        text();
    }
    std::cout.flush();
}

void Output::Done(const Json& document, const std::string& line) const {
    if (json) {
        std::cout << document.dump(2) << '\n';
    } else if (!quiet) {
        std::cout << line << '\n';
    }
    std::cout.flush();
}

void Output::StreamLine(const Json& document, const std::string& line) const {
    std::cout << (json ? document.dump() : line) << '\n';
    std::cout.flush();
}

void Output::Note(const std::string& line) const {
    if (!quiet) std::cerr << line << '\n';
}

namespace {

struct Now {
    std::tm tm{};
    int milliseconds = 0;
};

Now TimeNow(bool utc) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    Now result;
    result.milliseconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
#ifdef _WIN32
    if (utc) {
        gmtime_s(&result.tm, &seconds);
    } else {
        localtime_s(&result.tm, &seconds);
    }
#else
    if (utc) {
        gmtime_r(&seconds, &result.tm);
    } else {
        localtime_r(&seconds, &result.tm);
    }
#endif
    return result;
}

}  // namespace

std::string ClockTime() {
    const Now now = TimeNow(false);
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", now.tm.tm_hour, now.tm.tm_min,
                  now.tm.tm_sec, now.milliseconds);
    return text;
}

std::string IsoTime() {
    const Now now = TimeNow(true);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", now.tm.tm_year + 1900,
                  now.tm.tm_mon + 1, now.tm.tm_mday, now.tm.tm_hour, now.tm.tm_min, now.tm.tm_sec,
                  now.milliseconds);
    return text;
}

}  // namespace kestrel::tool
