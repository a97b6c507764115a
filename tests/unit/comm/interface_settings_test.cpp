// The serial and TCP interfaces' reader-name parsing and settings, which need no line or
// socket: these run on every platform (the serial tests over a pseudo-terminal only on POSIX).
#include <gtest/gtest.h>

#include <cstdint>

#include "comm/rs232_interface.h"
#include "comm/tcp_interface.h"

namespace kestrel::comm {
namespace {

TEST(PortNumberFromNameTest, ReadsTheNumberAfterTheFirstUpperCaseM) {
    struct Case {
        const char* name;
        int8_t port;
    };
    const Case cases[] = {
        {"COM3", 3},
        {"COM12", 12},
        {"com3", 0},
        {"3", 0},
        {"COMM5", 0},
        {"COM 7", 7},
        {"COM\t 9x", 9},
        {"COM+6", 6},
        {"COM-4", -4},
        {"COM--4", 0},
        {"COM127", 127},
        {"COM128", -128},
        {"COM255", -1},
        {"COM256", 0},
        {"COM300", 44},
        {"", 0},
        {"XM12", 12},
        {"COM", 0},
        {"COM4:", 4},
        {"COM99999999999999999999", -1},
        {"COM-99999999999999999999", 0},
        {"COM2147483647", -1},
        {"COM2147483648", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortNumberFromName(c.name), c.port) << '"' << c.name << '"';
    }
    EXPECT_EQ(PortNumberFromName(nullptr), 0);
}

TEST(Rs232InterfaceTest, SetPortStoresTheLowByteAndRefusesPortsBelowOne) {
    struct Case {
        int16_t value;
        Result result;
        int16_t stored;  // GetPort afterwards, starting from port 5
    };
    const Case cases[] = {
        {1, 0, 1},
        {127, 0, 127},
        {128, 0, -128},
        {255, 0, -1},
        {256, 0, 0},
        {300, 0, 44},
        {32767, 0, -1},
        {0, KESTREL_ERR_RS232_INVALID_PORT, 5},
        {-1, KESTREL_ERR_RS232_INVALID_PORT, 5},
        {INT16_MIN, KESTREL_ERR_RS232_INVALID_PORT, 5},
    };
    for (const Case& c : cases) {
        Rs232Interface line;
        ASSERT_EQ(line.SetPort(5), 0);
        EXPECT_EQ(line.SetPort(c.value), c.result) << c.value;
        EXPECT_EQ(line.GetPort(), c.stored) << c.value;
    }
}

TEST(Rs232InterfaceTest, ClosedInterfaceRefusesIo) {
    Rs232Interface line;
    EXPECT_EQ(line.GetPort(), 1);
    EXPECT_EQ(line.BaudRate(), 0u);
    uint8_t byte = 0;
    uint32_t count = 77;
    EXPECT_EQ(line.Write(&byte, 1, &count, 100), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(count, 0u);
    count = 77;
    EXPECT_EQ(line.Read(&byte, 1, &count, 10), KESTREL_ERR_RS232_READ);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(line.Purge(), KESTREL_ERR_RS232_FLUSH);
    EXPECT_EQ(line.Close(), 0);
    EXPECT_EQ(line.Close(), 0);
}

TEST(TcpInterfaceTest, SetAddressSplitsTheNameAtTheFirstColon) {
    struct Case {
        const char* name;
        Result result;
        const char* address;  // after the call, starting from "10.0.0.1:1"
        uint16_t port;
    };
    const Case cases[] = {
        {"192.168.1.20:4000", 0, "192.168.1.20", 4000},
        {"127.0.0.1: 7", 0, "127.0.0.1", 7},
        {"127.0.0.1:65536", 0, "127.0.0.1", 0},
        {"127.0.0.1:-1", 0, "127.0.0.1", 65535},
        {"127.0.0.1:", 0, "127.0.0.1", 0},
        {"127.0.0.1:80:90", 0, "127.0.0.1", 80},
        {":4000", 0, "", 4000},
        {"192.168.1.20", -1, "10.0.0.1", 1},
        {"", -1, "10.0.0.1", 1},
        {nullptr, -1, "10.0.0.1", 1},
    };
    for (const Case& c : cases) {
        const char* shown = c.name != nullptr ? c.name : "(null)";
        TcpInterface tcp;
        ASSERT_EQ(tcp.SetAddress("10.0.0.1:1"), 0);
        EXPECT_EQ(tcp.SetAddress(c.name), c.result) << shown;
        EXPECT_EQ(tcp.Address(), c.address) << shown;
        EXPECT_EQ(tcp.Port(), c.port) << shown;
    }
}

TEST(TcpInterfaceTest, OpenWithoutAnAddressNeedsAReaderName) {
    TcpInterface tcp;
    EXPECT_EQ(tcp.Open(), KESTREL_ERR_NO_READER_NAME);
}

}  // namespace
}  // namespace kestrel::comm
