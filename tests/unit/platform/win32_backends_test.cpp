// The Win32 backends on a system without serial ports or HID readers of the project's kind:
// device paths, failures to open, system texts, Winsock connections on the loopback
// interface, the serial line listing and the HID device list.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "KestrelAPI.h"
#include "comm/rs232_interface.h"
#include "comm/usb_hid_interface.h"
#include "platform/hid_device.h"
#include "platform/serial_lines.h"
#include "platform/serial_port.h"
#include "platform/system_message.h"
#include "platform/tcp_socket.h"
// Lean Windows headers: the full set defines SetPort (the printer API) as a macro.
#include "platform/win32/win32.h"

namespace kestrel::platform {
namespace {

// ---- serial lines -------------------------------------------------------------------------

TEST(Win32SerialTest, DevicePathUsesTheDeviceNamespaceForEveryPort) {
    const struct {
        int port;
        const char* path;
    } cases[] = {
        {1, "\\\\.\\COM1"},
        {4, "\\\\.\\COM4"},
        {10, "\\\\.\\COM10"},
        {127, "\\\\.\\COM127"},
        {0, ""},
        {-56, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(SerialDevicePath(c.port), c.path) << c.port;
}

TEST(Win32SerialTest, MissingPortCannotBeOpenedAndStaysClosed) {
    SystemSerialPort line;
    EXPECT_EQ(line.Open("\\\\.\\COM99", 57600), SerialPort::OpenStatus::kCannotOpen);
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(line.Purge());
    uint8_t byte = 0x5A;
    uint32_t count = 77;
    EXPECT_FALSE(line.Write(&byte, 1, &count, 10));
    EXPECT_EQ(count, 0u);
    count = 77;
    EXPECT_FALSE(line.Read(&byte, 1, &count, 10));
    EXPECT_EQ(count, 0u);
    line.Close();  // closing a closed line does nothing
    EXPECT_FALSE(line.IsOpen());
}

TEST(Win32SerialTest, InterfaceOnAMissingPortGives1008) {
    comm::Rs232Interface line;
    ASSERT_EQ(line.SetPort(comm::PortNumberFromName("COM99")), KESTREL_OK);
    EXPECT_EQ(line.Open(), KESTREL_ERR_RS232_OPEN);
    EXPECT_EQ(line.Purge(), KESTREL_ERR_RS232_FLUSH);  // still closed
}

// The list is only read here: probing its lines would open the machine's ports.
TEST(Win32SerialTest, ListedLinesOpenByTheirPortNumber) {
    for (const SerialLine& line : ListSerialLines()) {
        EXPECT_FALSE(line.name.empty());
        const int port = comm::PortNumberFromName(line.name.c_str());
        EXPECT_EQ(line.path, SerialDevicePath(port)) << line.name;
    }
}

// ---- system texts -------------------------------------------------------------------------

constexpr int kConnectionRefused = 10061;  // WSAECONNREFUSED
constexpr char kGuard = '\x7E';

TEST(Win32SystemMessageTest, KnownCodeGivesTheSystemTextWithItsLineBreak) {
    char text[1024];
    ASSERT_TRUE(SystemMessage(kConnectionRefused, text, sizeof text));
    const size_t length = std::strlen(text);
    ASSERT_GT(length, 2u);
    // One NUL, at the end: the line break the system ends its texts with comes before it.
    EXPECT_EQ(text[length - 1], '\n');
    EXPECT_EQ(std::string(GetErrorText(kConnectionRefused)), text);
}

TEST(Win32SystemMessageTest, UnknownCodeGivesFalseAndAnEmptyText) {
    for (int code : {0x7FFFFFF0, -5}) {
        char text[16];
        std::memset(text, kGuard, sizeof text);
        EXPECT_FALSE(SystemMessage(code, text, sizeof text)) << code;
        EXPECT_EQ(text[0], '\0') << code;
        EXPECT_EQ(text[1], kGuard) << code;
    }
    EXPECT_STREQ(GetErrorText(0x7FFFFFF0), "unknown error");
}

TEST(Win32SystemMessageTest, TextIsCutToTheCapacityAndWritesNothingBeyond) {
    char full[1024];
    ASSERT_TRUE(SystemMessage(kConnectionRefused, full, sizeof full));
    const std::string whole = full;
    for (size_t capacity : {size_t{0}, size_t{1}, size_t{2}, size_t{9}, whole.size(),
                            whole.size() + 1, whole.size() + 5}) {
        std::vector<char> buffer(capacity + 8, kGuard);
        char* out = buffer.data() + 4;
        const bool found = SystemMessage(kConnectionRefused, out, capacity);
        EXPECT_TRUE(found) << capacity;
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(buffer[i], kGuard) << capacity;
        for (size_t i = capacity + 4; i < buffer.size(); ++i) {
            EXPECT_EQ(buffer[i], kGuard) << capacity << " at " << i;
        }
        if (capacity == 0) continue;
        const size_t kept = std::min(whole.size(), capacity - 1);
        EXPECT_EQ(std::string(out), whole.substr(0, kept)) << capacity;
    }
}

// ---- TCP ----------------------------------------------------------------------------------

constexpr uint32_t kLoopback = 0x7F000001;

// A listening Winsock socket on 127.0.0.1 and an ephemeral port, with a Winsock start of
// its own (which also shows that the sockets under test release only their own).
class Win32TcpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        started_ = true;
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(listener_, INVALID_SOCKET);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener_, 1), 0);
        int size = sizeof address;
        ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size), 0);
        port_ = ntohs(address.sin_port);
    }
    void TearDown() override {
        if (peer_ != INVALID_SOCKET) closesocket(peer_);
        StopListening();
        if (started_) WSACleanup();
    }
    void StopListening() {
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
    // Connects `client` to the listener and accepts the connection as peer_.
    void Connect(TcpSocket* client) {
        ASSERT_EQ(client->Create(), 0);
        bool inProgress = false;
        ASSERT_EQ(client->StartConnect(kLoopback, port_, &inProgress), 0);
        if (inProgress) {
            ASSERT_EQ(client->FinishConnect(5000), 0);
        }
        peer_ = accept(listener_, nullptr, nullptr);
        ASSERT_NE(peer_, INVALID_SOCKET);
    }

    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    uint16_t port_ = 0;
};

TEST(Win32TcpAddressTest, OnlyFourDecimalOctetsAreAnAddress) {
    const struct {
        const char* text;
        bool valid;
        uint32_t address;
    } cases[] = {
        {"127.0.0.1", true, 0x7F000001},
        {"192.168.1.20", true, 0xC0A80114},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFF},
        {"1", false, 0},
        {"1.2.3", false, 0},
        {"1.2.3.4.5", false, 0},
        {"256.1.1.1", false, 0},
        {"host.example", false, 0},
        {"", false, 0},
        {"0x7f.0.0.1", false, 0},
        {"1.2.3.-4", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t address = 0xA5A5A5A5;
        EXPECT_EQ(ParseIPv4(c.text, &address), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(address, c.address) << c.text;
        }
    }
    uint32_t address = 0;
    EXPECT_FALSE(ParseIPv4(nullptr, &address));
    EXPECT_EQ(InvalidAddressError(), 10022);  // WSAEINVAL
    EXPECT_EQ(TcpSocket::WouldBlockError(), 10035);
}

TEST_F(Win32TcpTest, ClosedPortRefusesTheConnection) {
    StopListening();
    SystemTcpSocket client;
    ASSERT_EQ(client.Create(), 0);
    EXPECT_TRUE(client.IsOpen());
    bool inProgress = false;
    int error = client.StartConnect(kLoopback, port_, &inProgress);
    // Windows retries a refused connection for a while before it gives up; the wait must
    // end with the refusal, not run out.
    if (error == 0 && inProgress) error = client.FinishConnect(10000);
    EXPECT_EQ(error, kConnectionRefused);
    client.Close();
    EXPECT_FALSE(client.IsOpen());
}

TEST_F(Win32TcpTest, BytesTravelBothWaysAndAClosedPeerEndsReceiving) {
    SystemTcpSocket client;
    ASSERT_NO_FATAL_FAILURE(Connect(&client));

    const uint8_t request[] = {0x02, 0x10, 0x00, 0xFF};
    const SocketIo sent = client.Send(request, sizeof request);
    ASSERT_EQ(sent.count, static_cast<long>(sizeof request));
    uint8_t got[8] = {};
    ASSERT_EQ(recv(peer_, reinterpret_cast<char*>(got), sizeof got, 0),
              static_cast<int>(sizeof request));
    EXPECT_EQ(std::memcmp(got, request, sizeof request), 0);

    // Nothing waiting: the receive would block, and a short wait runs out.
    SocketIo io = client.Receive(got, sizeof got);
    EXPECT_EQ(io.count, -1);
    EXPECT_TRUE(io.wouldBlock);
    EXPECT_EQ(io.error, TcpSocket::WouldBlockError());
    EXPECT_FALSE(client.WaitReadable(50));

    const char answer[] = "xyz";
    ASSERT_EQ(send(peer_, answer, 3, 0), 3);
    ASSERT_TRUE(client.WaitReadable(5000));
    io = client.Receive(got, sizeof got);
    ASSERT_EQ(io.count, 3);
    EXPECT_EQ(std::memcmp(got, answer, 3), 0);
    EXPECT_TRUE(client.WaitWritable(1000));

    closesocket(peer_);
    peer_ = INVALID_SOCKET;
    ASSERT_TRUE(client.WaitReadable(5000));
    io = client.Receive(got, sizeof got);
    EXPECT_EQ(io.count, 0);  // the peer closed the connection
}

// Every socket holds one Winsock start and gives it back once: creating again, closing twice
// and destroying leave the test's own start in place.
TEST_F(Win32TcpTest, SocketsReleaseOnlyTheirOwnWinsockStart) {
    {
        SystemTcpSocket a;
        ASSERT_EQ(a.Create(), 0);
        ASSERT_EQ(a.Create(), 0);  // closes the first socket
        a.Close();
        a.Close();
        SystemTcpSocket b;
        ASSERT_EQ(b.Create(), 0);
    }
    const SOCKET still = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(still, INVALID_SOCKET) << WSAGetLastError();
    if (still != INVALID_SOCKET) closesocket(still);
}

// ---- USB HID ------------------------------------------------------------------------------

TEST(Win32HidTest, DeviceListIsAvailableAndNamesEachPathOnce) {
    const std::shared_ptr<HidBackend> backend = DefaultHidBackend();
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(DefaultHidBackend(), backend);  // one backend for the whole process
    std::vector<HidDeviceInfo> devices(1);    // an entry the listing must drop
    ASSERT_TRUE(backend->Enumerate(&devices));
    std::set<std::string> paths;
    for (const HidDeviceInfo& device : devices) {
        EXPECT_FALSE(device.path.empty());
        EXPECT_TRUE(paths.insert(device.path).second) << device.path;
    }
}

TEST(Win32HidTest, MissingDeviceCannotBeOpened) {
    int error = 0;
    EXPECT_EQ(DefaultHidBackend()->Open("\\\\?\\nonexistent", &error), nullptr);
    EXPECT_NE(error, 0);
}

// A reader-list callback (a plain function: lambdas do not convert to __stdcall pointers).
uint8_t KESTREL_CALL CountReader(uintptr_t context, const char*) {
    ++*reinterpret_cast<int*>(context);
    return 1;
}

// The readers' device search over the system's HID list, on a system without such readers:
// nothing counted, opening gives "device was not found", reader enumeration lists nothing.
TEST(Win32HidTest, SearchWithoutMatchingDevicesFindsNone) {
    comm::UsbHidInterface usb(DefaultHidBackend());
    usb.SetProductId(0xFFFF);
    uint32_t count = 99;
    ASSERT_EQ(usb.CountDevices(&count), KESTREL_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(usb.Open(), KESTREL_ERR_USB_DEVICE_NOT_FOUND);

    int calls = 0;
    EXPECT_EQ(EnumReaders(0xFFFF, INTERFACE_USB, CountReader, reinterpret_cast<uintptr_t>(&calls)),
              KESTREL_OK);
    EXPECT_EQ(calls, 0);

    KestrelSession* session = CreateSession(0);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(ConnectReaderEx(session, INTERFACE_USB, "USB_0", 0xFFFF, 0),
              KESTREL_ERR_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(ReleaseSession(session, 0), KESTREL_OK);
}

}  // namespace
}  // namespace kestrel::platform

#endif  // _WIN32
