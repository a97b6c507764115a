// GetErrorText and the operating-system text lookup behind it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "KestrelAPI.h"
#include "api/result_codes.h"
#include "platform/system_message.h"

#ifdef _WIN32
#include "platform/win32/win32.h"
#endif

namespace {

// Error numbers of the platform's own kind (Windows Sockets and Win32 numbers on Windows,
// errno values elsewhere) that every system has a text for.
#ifdef _WIN32
constexpr int kRefused = WSAECONNREFUSED;
constexpr int kNotFound = ERROR_FILE_NOT_FOUND;
constexpr int kDenied = ERROR_ACCESS_DENIED;
#else
constexpr int kRefused = ECONNREFUSED;
constexpr int kNotFound = ENOENT;
constexpr int kDenied = EACCES;
#endif

// The operating system's own text for `code`, asked for here directly, or "" when it has
// none.
std::string OsText(int32_t code) {
#ifdef _WIN32
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return std::string();
    std::string result(text, length);
    LocalFree(text);
    return result;
#else
    // The tests run one at a time, so strerror's shared buffer is safe here.
    const std::string text = std::strerror(code);
    return text.rfind("Unknown error", 0) == 0 ? std::string() : text;
#endif
}

struct TextCase {
    int32_t code;
    const char* expected;
};

// Every text the library owns, written out here on its own rather than taken from the
// library's tables, so that a slip in either one shows up as a mismatch.
const TextCase kTableRows[] = {
    // Serial line.
    {1002, "RS232 ERROR: invalid port number is set"},
    {1003, "RS232 ERROR: invlaid baud rate is set"},
    {1004, "RS232 ERROR: write failuture"},
    {1005, "RS232 ERROR: read failuture"},
    {1006, "RS232 ERROR: parity error"},
    {1007, "RS232 ERROR: can not flush COM buffers"},
    {1008, "RS232 ERROR: can not open the port"},
    {1009, "RS232 ERROR: port is already in use"},
    {1010, "RS232 ERROR: can not configure the port"},
    // USB.
    {3001, "USB ERROR: PnP node for HID devices was not found"},
    {3002, "USB ERROR: device was not found"},
    {3003, "USB ERROR: device was not found"},
    {3004, "USB ERROR: device prased data was corrupted"},
    {3005, "USB ERROR: no device info was found"},
    // DLE/STX link.
    {5001, "wrong crc algorithem"},
    {5002, "wrong NR size"},
    {5003, "bad rx time"},
    {5004, "bad tx time"},
    {5020, "no DLE"},
    {5021, "no STX"},
    {5022, "too long data received"},
    {5023, "unexpected data received"},
    {5024, "protocol overflow"},
    {5025, "CRC error"},
    // TLP224 link.
    {6001, "TLP224 ERROR: unknown command send"},
    {6002, "TLP224 ERROR: driver limit error"},
    {6003, "TLP224 ERROR: argument is incorrect"},
    {6004, "TLP224 ERROR: general protocol error"},
    {6005, "TLP224 ERROR: attribute is wrong"},
    {6006, "TLP224 ERROR: unknown instruction"},
    {6007, "TLP224 ERROR: message is too long"},
    {6008, "TLP224 ERROR: can not read the card"},
    {6009, "TLP224 ERROR: card is off"},
    {6010, "TLP224 ERROR: card wrong voltage"},
    {6011, "TLP224 ERROR: protocol is not applicable"},
    {6012, "TLP224 ERROR: wrong length used"},
    {6013, "TLP224 ERROR: wrong number of parameters"},
    {6014, "TLP224 ERROR: unknown card"},
    {6015, "TLP224 ERROR: card is mute"},
    {6016, "TLP224 ERROR: card parity error"},
    {6017, "TLP224 ERROR: card procedure wrong byte"},
    {6018, "TLP224 ERROR: transfer to card interrupted"},
    {6019, "TLP224 ERROR: card has been removed"},
    {6020, "TLP224 ERROR: electrical interfrence"},
    {6021, "TLP224 ERROR: no card"},
    {6022, "TLP224 ERROR: can not read the card"},
    {6023, "TLP224 ERROR: tranfer failed"},
    {6024, "TLP224 ERROR: write failed"},
    {6025, "TLP224 ERROR: reader response is too long"},
    {6026, "TLP224 ERROR: reader is mute"},
    {6027, "TLP224 ERROR: incorrect reader status"},
    {6028, "TLP224 ERROR: nonfatal error"},
    {6029, "TLP224 ERROR: chainig error"},
    {6030, "TLP224 ERROR: "},
    {6032, "TLP224 ERROR: wrong number"},
    {6033, "TLP224 ERROR: CRC is wrong"},
    // Block framing.
    {7001, "BlockFramingProtocol: wrong CRC"},
    {7002, "BlockFramingProtocol: bad frame"},
    {7003, "BlockFramingProtocol: card access time-out"},
    {7004, "BlockFramingProtocol: collision occured"},
    {7005, "BlockFramingProtocol: response is too short"},
    {7006, "BlockFramingProtocol: response is too long"},
    // API.
    {8001, "ERROR: no card in range"},
    {8002, "ERROR: authorization is not allowed"},
    {8003, "ERROR: wrong card or card replaced"},
    {8004, "ERROR: previous authorization expected"},
    {8005, "ERROR: card bit"},
    {8006, "ERROR: card byte"},
    {8007, "ERROR: idle state card"},
    {8008, "ERROR: write failed"},
    {8009, "ERROR: after pooling action"},
    {8010, "ERROR: no session"},
    {8011, "ERROR: invalid session used"},
    {8012, "ERROR: no directory keys set for the session"},
    {8013, "ERROR: not enough memory"},
    {8014, "ERROR: directory plugin is not valid"},
    {8015, "ERROR: no mad found on the card"},
    {8016, "ERROR: mad is mono application"},
    {8017, "ERROR: application already exists"},
    {8018, "ERROR: application with no sectors is used"},
    {8019, "ERROR: no unused sectors keys set for the session"},
    {8020, "ERROR: no keys provided for the application"},
    {8021, "ERROR: no applications on the card"},
    {8022, "ERROR: this reader is not supported"},
    {8023, "ERROR: this command is not supported"},
    {8024, "ERROR: no reader name is provided"},
    {8025, "ERROR: no reader type is provided"},
    {8026, "ERROR: currently no reader is connected"},
    {8027, "ERROR: this interface is not supported"},
    {8028, "ERROR: keys are invalid"},
    {8029, "ERROR: no reader"},
    {8030, "ERROR: value block has corrupted value bytes"},
    {8031, "ERROR: wrong prameter is used"},
    {8032, "ERROR: no buffer"},
    {8033, "ERROR: value block has corrupted address bytes"},
    {8034, "ERROR: reading too much data"},
    {8035, "ERROR: value block has corrupted address bytes"},
    {8036, "ERROR: unknown command"},
    {8037, "ERROR: unknown card in range"},
    {8038, "ERROR: reponse time out for reader"},
    {8039, "ERROR: invalid ACL for data blocks"},
    {8040, "ERROR: invalid ACL for trailer"},
    {8041, "ERROR: socket error"},
    {8043, "ERROR: invalid sector offset given"},
    {8044, "ERROR: operation aborted"},
    {8045, "ERROR: ISO 14443 part 4 is not supported"},
    {8046, "ERROR: ISO 14443 part 4 frame is too small"},
    // DESFire: card status bytes.
    {0xA10C, "DESFire error: no changes"},
    {0xA10E, "DESFire error: out of EEPROM"},
    {0xA11C, "DESFire error: illegal command code"},
    {0xA11E, "DESFire error: integrity error"},
    {0xA140, "DESFire error: no such key"},
    {0xA17E, "DESFire error: length error"},
    {0xA19D, "DESFire error: permission denied"},
    {0xA19E, "DESFire error: parameter error"},
    {0xA1A0, "DESFire error: application not found"},
    {0xA1A1, "DESFire error: application integrity error"},
    {0xA1AE, "DESFire error: authentication error"},
    {0xA1AF, "DESFire error: additional frame follows"},
    {0xA1BE, "DESFire error: boundary error"},
    {0xA1C1, "DESFire error: PICC integrity error"},
    {0xA1CA, "DESFire error: command aborted"},
    {0xA1CD, "DESFire error: PICC disabled"},
    {0xA1CE, "DESFire error: count error"},
    {0xA1DE, "DESFire error: duplicate error"},
    {0xA1EE, "DESFire error: EEPROM error"},
    {0xA1F0, "DESFire error: file not found"},
    {0xA1F1, "DESFire error: file integrity error"},
    // DESFire: the library's own.
    {0xA201, "DESFire error: no DESFire session"},
    {0xA202, "DESFire error: no session key"},
    {0xA203, "DESFire error: bad MAC"},
    {0xA204, "DESFire error: bad communication settings"},
    {0xA205, "DESFire error: bad CRC"},
    {0xA206, "DESFire error: bad operation ID"},
    {0xA2FF, "DESFire error: unknown error"},
};

// Codes of a library range without a row of their own: each range's catch-all text, and
// the first and last code of each range.
const TextCase kRangeDefaults[] = {
    {1001, "RS232 ERROR: unknown error"},
    {1011, "RS232 ERROR: unknown error"},
    {1998, "RS232 ERROR: unknown error"},
    {3006, "ERROR: unknown error"},
    {3998, "ERROR: unknown error"},
    {5005, "unknown error"},
    {5010, "unknown error"},
    {5019, "unknown error"},
    {5998, "unknown error"},
    {6031, "TLP224 ERROR: unknown error"},
    {6034, "TLP224 ERROR: unknown error"},
    {6998, "TLP224 ERROR: unknown error"},
    {7007, "BlockFramingProtocol: unknown error"},
    {7998, "BlockFramingProtocol: unknown error"},
    {8042, "ERROR: unknown error"},
    {8047, "ERROR: unknown error"},
    {8998, "ERROR: unknown error"},
    {0xA001, "DESFire error: unknown error"},
    {0xA100, "DESFire error: unknown error"},
    {0xA150, "DESFire error: unknown error"},
    {0xA207, "DESFire error: unknown error"},
    {0xAFFE, "DESFire error: unknown error"},
};

class TableTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TableTextTest, GetErrorTextGivesTheTextWordForWord) {
    const TextCase& c = GetParam();
    const char* text = GetErrorText(c.code);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.expected) << "code " << c.code;
}

TEST_P(TableTextTest, SameCodeGivesTheSameConstantPointer) {
    const TextCase& c = GetParam();
    const char* first = GetErrorText(c.code);
    GetErrorText(kRefused);  // a system text in between must not disturb table texts
    EXPECT_EQ(GetErrorText(c.code), first);
    EXPECT_STREQ(first, c.expected);
}

std::string CaseName(const ::testing::TestParamInfo<TextCase>& info) {
    return "Code" + std::to_string(info.param.code);
}

INSTANTIATE_TEST_SUITE_P(Rows, TableTextTest, ::testing::ValuesIn(kTableRows), CaseName);
INSTANTIATE_TEST_SUITE_P(RangeDefaults, TableTextTest, ::testing::ValuesIn(kRangeDefaults),
                         CaseName);

TEST(TableText, ListsEveryRowWrittenOutAboveAndNoOther) {
    // Every code in and around the library's ranges that is not listed above must take
    // its range's catch-all text; this catches a row in the library that should not exist.
    struct RangeInfo {
        int32_t first;
        int32_t last;
        const char* fallback;
    };
    const RangeInfo ranges[] = {
        {1001, 1998, "RS232 ERROR: unknown error"},
        {3001, 3998, "ERROR: unknown error"},
        {5001, 5998, "unknown error"},
        {6001, 6998, "TLP224 ERROR: unknown error"},
        {7001, 7998, "BlockFramingProtocol: unknown error"},
        {8001, 8998, "ERROR: unknown error"},
        {0xA001, 0xAFFE, "DESFire error: unknown error"},
    };
    for (const RangeInfo& range : ranges) {
        for (int32_t code = range.first; code <= range.last; ++code) {
            const bool listed = std::any_of(std::begin(kTableRows), std::end(kTableRows),
                                            [code](const TextCase& c) { return c.code == code; });
            if (listed) continue;
            const char* text = kestrel::api::TableText(code);
            ASSERT_NE(text, nullptr) << "code " << code;
            EXPECT_STREQ(text, range.fallback) << "code " << code;
        }
    }
}

// Codes just outside the library's ranges, zero and negatives belong to the system.
const int32_t kSystemCodes[] = {0,    -1,     -5001,  1,     1000,      1999,     3000, 3999,
                                5000, 5999,   6000,   6999,  7000,      7999,     8000, 8999,
                                9000, 0xA000, 0xAFFF, 99999, INT32_MIN, INT32_MAX};

TEST(TableText, CodesOutsideTheLibraryRangesHaveNoTableText) {
    for (int32_t code : kSystemCodes) {
        EXPECT_EQ(kestrel::api::TableText(code), nullptr) << "code " << code;
    }
}

// What GetErrorText gives for a code outside the library's ranges.
std::string ExpectedSystemText(int32_t code) {
    const std::string text = OsText(code);
    return text.empty() ? "unknown error" : text;
}

TEST(GetErrorText, CodesOutsideTheLibraryRangesGiveTheSystemText) {
    for (int32_t code : kSystemCodes) {
        const char* text = GetErrorText(code);
        ASSERT_NE(text, nullptr) << "code " << code;
        EXPECT_EQ(text, ExpectedSystemText(code)) << "code " << code;
    }
}

TEST(GetErrorText, ZeroGivesTheSystemTextForSuccess) {
    const std::string expected = OsText(0);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(GetErrorText(0), expected);
}

TEST(GetErrorText, NumbersTheSystemDoesNotKnowGiveUnknownError) {
    for (int32_t code : {99999, -1, -5001, INT32_MIN, INT32_MAX}) {
        EXPECT_STREQ(GetErrorText(code), "unknown error") << "code " << code;
    }
}

TEST(GetErrorText, ConnectionRefusedGivesTheSystemText) {
    const std::string expected = OsText(kRefused);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(GetErrorText(kRefused), expected);
}

TEST(GetErrorText, SystemTextsLiveInOneBufferPerThread) {
    const char* first = GetErrorText(kRefused);
    const std::string expected = OsText(kNotFound);
    const char* second = GetErrorText(kNotFound);
    EXPECT_EQ(first, second) << "system texts are expected in the thread's one buffer";
    EXPECT_EQ(second, expected);
}

TEST(GetErrorText, ThreadsAskingAtTheSameTimeEachKeepTheirOwnText) {
    // Each thread fetches its text, waits until the other has fetched its own, and only
    // then reads the text it got: with a shared buffer one of them would see the other's.
    struct Worker {
        int32_t code;
        std::string expected;
        std::string seen;
        const char* pointer = nullptr;
    };
    Worker workers[] = {{kRefused, OsText(kRefused), {}}, {kDenied, OsText(kDenied), {}}};
    ASSERT_NE(workers[0].expected, workers[1].expected);

    std::atomic<int> fetched{0};
    auto run = [&fetched](Worker& w) {
        w.pointer = GetErrorText(w.code);
        fetched.fetch_add(1);
        while (fetched.load() < 2) std::this_thread::yield();
        w.seen = w.pointer;
    };
    std::thread a(run, std::ref(workers[0]));
    std::thread b(run, std::ref(workers[1]));
    a.join();
    b.join();

    EXPECT_EQ(workers[0].seen, workers[0].expected);
    EXPECT_EQ(workers[1].seen, workers[1].expected);
    EXPECT_NE(workers[0].pointer, workers[1].pointer);
}

// --- SystemMessage -----------------------------------------------------------------------

constexpr char kGuard = '\x5A';
constexpr size_t kGuardBytes = 16;

// A caller buffer of `capacity` bytes with guard bytes on both sides.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t capacity)
        : capacity_(capacity), bytes_(capacity + 2 * kGuardBytes, kGuard) {}
    char* data() { return bytes_.data() + kGuardBytes; }
    size_t capacity() const { return capacity_; }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuardBytes; ++i) {
            if (bytes_[i] != kGuard || bytes_[kGuardBytes + capacity_ + i] != kGuard) {
                return false;
            }
        }
        return true;
    }
    // True when the buffer itself was not written at all.
    bool Untouched() const {
        return std::all_of(bytes_.begin(), bytes_.end(), [](char c) { return c == kGuard; });
    }

  private:
    size_t capacity_;
    std::vector<char> bytes_;
};

TEST(SystemMessage, KnownNumberGivesTheFullText) {
    const std::string expected = OsText(kRefused);
    GuardedBuffer buffer(256);
    EXPECT_TRUE(kestrel::platform::SystemMessage(kRefused, buffer.data(), buffer.capacity()));
    EXPECT_EQ(std::string(buffer.data()), expected);
    EXPECT_TRUE(buffer.GuardsIntact());
}

TEST(SystemMessage, UnknownNumberGivesFalseAndAnEmptyText) {
    for (int code : {99999, -1}) {
        GuardedBuffer buffer(64);
        EXPECT_FALSE(kestrel::platform::SystemMessage(code, buffer.data(), buffer.capacity()))
            << "code " << code;
        EXPECT_STREQ(buffer.data(), "");
        EXPECT_TRUE(buffer.GuardsIntact());
    }
}

TEST(SystemMessage, SmallCapacityCutsTheTextAndKeepsWithinTheBuffer) {
    const std::string full = OsText(kRefused);
    ASSERT_GT(full.size(), 8u);
    for (size_t capacity : {size_t{2}, size_t{5}, size_t{8}, full.size(), full.size() + 1}) {
        GuardedBuffer buffer(capacity);
        EXPECT_TRUE(kestrel::platform::SystemMessage(kRefused, buffer.data(), buffer.capacity()))
            << "capacity " << capacity;
        const size_t kept = std::min(full.size(), capacity - 1);
        EXPECT_EQ(std::string(buffer.data()), full.substr(0, kept)) << "capacity " << capacity;
        EXPECT_TRUE(buffer.GuardsIntact()) << "capacity " << capacity;
    }
}

TEST(SystemMessage, CapacityOneGivesAnEmptyText) {
    GuardedBuffer buffer(1);
    EXPECT_TRUE(kestrel::platform::SystemMessage(kRefused, buffer.data(), buffer.capacity()));
    EXPECT_EQ(buffer.data()[0], '\0');
    EXPECT_TRUE(buffer.GuardsIntact());
}

TEST(SystemMessage, CapacityZeroWritesNothing) {
    GuardedBuffer buffer(0);
    EXPECT_TRUE(kestrel::platform::SystemMessage(kRefused, buffer.data(), 0));
    EXPECT_TRUE(buffer.Untouched());

    GuardedBuffer unknown(0);
    EXPECT_FALSE(kestrel::platform::SystemMessage(99999, unknown.data(), 0));
    EXPECT_TRUE(unknown.Untouched());
}

}  // namespace
