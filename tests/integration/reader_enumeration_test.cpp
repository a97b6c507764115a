// Listing interfaces and readers: serial lines in a device folder of the test's own (links to
// pseudo-terminals served by virtual readers; the machine's real ports are never probed) and
// USB readers on the fake HID bus, connected back by the names reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KestrelAPI.h"
#include "api/session.h"
#include "comm/reader_enumeration.h"
#include "comm/rs232_interface.h"
#include "comm/usb_hid_interface.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/pty_server.h"
#include "platform/serial_lines.h"
#include "platform/serial_port.h"
#include "support/fake_hid_bus.h"
#include "support/fake_hid_reader.h"
#include "support/frames.h"
#include "support/without_sys_admin.h"

namespace kestrel::test {
namespace {

using testsupport::FakeHidBus;

constexpr uint16_t kProduct = 0x0C01;
const uint16_t kVendor = comm::UsbHidInterface::kReaderVendorId;

// What a callback saw, and when it says stop.
struct Seen {
    std::vector<std::string> names;
    std::vector<int32_t> types;
    uintptr_t context = 0;
    size_t stopAfter = SIZE_MAX;  // answer 0 once this many items were seen
    uint8_t goOn = 1;             // the non-zero answer
};

uint8_t KESTREL_CALL OnInterface(uintptr_t context, const char* description, int32_t type) {
    auto* seen = reinterpret_cast<Seen*>(context);
    seen->context = context;
    seen->names.emplace_back(description);
    seen->types.push_back(type);
    return seen->names.size() >= seen->stopAfter ? 0 : seen->goOn;
}

uint8_t KESTREL_CALL OnReader(uintptr_t context, const char* name) {
    auto* seen = reinterpret_cast<Seen*>(context);
    seen->context = context;
    seen->names.emplace_back(name);
    return seen->names.size() >= seen->stopAfter ? 0 : seen->goOn;
}

uintptr_t ContextOf(Seen& seen) {
    return reinterpret_cast<uintptr_t>(&seen);
}

TEST(SupportedInterfacesTest, ReportsTheThreeInterfacesUntilTheCallbackStops) {
    const std::vector<std::string> all = {"RS232 interface", "USB interface", "TCP interface"};
    const std::vector<int32_t> types = {INTERFACE_RS232, INTERFACE_USB, INTERFACE_TCP};
    const struct {
        size_t stopAfter;
        uint8_t goOn;
        size_t seen;
    } cases[] = {{1, 1, 1}, {2, 1, 2}, {SIZE_MAX, 1, 3}, {SIZE_MAX, 0x80, 3}, {SIZE_MAX, 0xFF, 3}};
    for (const auto& c : cases) {
        Seen seen;
        seen.stopAfter = c.stopAfter;
        seen.goOn = c.goOn;
        EXPECT_EQ(GetSupportedCommInterfaces(OnInterface, ContextOf(seen)), KESTREL_OK);
        EXPECT_EQ(seen.names, std::vector<std::string>(all.begin(), all.begin() + c.seen));
        EXPECT_EQ(seen.types, std::vector<int32_t>(types.begin(), types.begin() + c.seen));
        EXPECT_EQ(seen.context, ContextOf(seen));
    }
    EXPECT_EQ(GetSupportedCommInterfaces(nullptr, 0), KESTREL_ERR_WRONG_PARAMETER);
}

TEST(EnumReadersTest, OnlySerialAndUsbAreListed) {
    for (int32_t type : {0, 2, 3, 5, 7, INTERFACE_TCP, 9, -1}) {
        Seen seen;
        EXPECT_EQ(EnumReaders(kProduct, type, OnReader, ContextOf(seen)),
                  KESTREL_ERR_INTERFACE_NOT_SUPPORTED)
            << type;
        EXPECT_TRUE(seen.names.empty());
    }
    EXPECT_EQ(EnumReaders(kProduct, INTERFACE_USB, nullptr, 0), KESTREL_ERR_WRONG_PARAMETER);
}

// ---- USB readers on the fake bus --------------------------------------------------------

class UsbEnumerationTest : public ::testing::Test {
  protected:
    // A virtual reader with one card whose UID tells the readers apart.
    std::string PlugReader(sim::VirtualReader& reader, uint16_t product, uint8_t mark) {
        std::string error;
        EXPECT_TRUE(reader.AddCard(
            sim::MakeCard(*sim::FindCardProfile("classic1k"), {mark, 0x22, 0x33, 0x44}), &error))
            << error;
        return bus->Plug(kVendor, product, testsupport::ServeVirtualReader(reader));
    }
    // The first UID byte of the card of the connected reader; 0 when none is found.
    uint8_t MarkOfConnectedReader(KestrelSession* session) {
        uint8_t uid[10] = {};
        uint8_t length = sizeof uid;
        if (RfReset(session, 5) != KESTREL_OK) return 0;
        if (SelectIdleCard(session, uid, &length, nullptr, nullptr) != KESTREL_OK) return 0;
        return uid[0];
    }

    std::shared_ptr<FakeHidBus> bus = std::make_shared<FakeHidBus>();
    testsupport::ScopedHidBackend useBus{bus};
    sim::VirtualReader first, other, second;
};

TEST_F(UsbEnumerationTest, TwoMatchingReadersAreUsb0AndUsb1) {
    PlugReader(first, kProduct, 0x01);
    PlugReader(other, kProduct + 1, 0x0F);
    PlugReader(second, kProduct, 0x02);

    Seen seen;
    ASSERT_EQ(EnumReaders(kProduct, INTERFACE_USB, OnReader, ContextOf(seen)), KESTREL_OK);
    EXPECT_EQ(seen.names, (std::vector<std::string>{"USB_0", "USB_1"}));
    EXPECT_EQ(seen.context, ContextOf(seen));

    Seen highBit;  // any non-zero byte means go on
    highBit.goOn = 0x80;
    ASSERT_EQ(EnumReaders(kProduct, INTERFACE_USB, OnReader, ContextOf(highBit)), KESTREL_OK);
    EXPECT_EQ(highBit.names, seen.names);

    Seen stopped;
    stopped.stopAfter = 1;
    EXPECT_EQ(EnumReaders(kProduct, INTERFACE_USB, OnReader, ContextOf(stopped)), KESTREL_OK);
    EXPECT_EQ(stopped.names, std::vector<std::string>{"USB_0"});

    Seen otherProduct;
    EXPECT_EQ(EnumReaders(kProduct + 1, INTERFACE_USB, OnReader, ContextOf(otherProduct)),
              KESTREL_OK);
    EXPECT_EQ(otherProduct.names, std::vector<std::string>{"USB_0"});

    // Each name connects the reader it stands for.
    KestrelSession* session = CreateSession(0);
    const struct {
        const char* name;
        int32_t result;
        uint8_t mark;
    } cases[] = {{"USB_0", KESTREL_OK, 0x01},
                 {"USB_1", KESTREL_OK, 0x02},
                 {"USB_2", KESTREL_ERR_USB_DEVICE_NOT_FOUND, 0},
                 {"USB_257", KESTREL_OK, 0x02},  // the index is cut to 8 bits
                 {"ABCD1", KESTREL_OK, 0x02},    // the prefix is skipped, not checked
                 {"USB_", KESTREL_OK, 0x01},     // no index text: the first reader
                 {"USB", KESTREL_OK, 0x01},
                 {"USB_x", KESTREL_OK, 0x01}};
    for (const auto& c : cases) {
        EXPECT_EQ(ConnectReaderEx(session, INTERFACE_USB, c.name, kProduct, 0), c.result) << c.name;
        EXPECT_EQ(MarkOfConnectedReader(session), c.mark) << c.name;
    }
    EXPECT_EQ(ConnectReaderEx(session, INTERFACE_USB, "USB_0", kProduct + 1, 0), KESTREL_OK);
    EXPECT_EQ(MarkOfConnectedReader(session), 0x0F);
    ReleaseSession(session, 0);
}

TEST_F(UsbEnumerationTest, NoReaderIsNoCallbackAndNoDeviceListIs3001) {
    Seen seen;
    EXPECT_EQ(EnumReaders(kProduct, INTERFACE_USB, OnReader, ContextOf(seen)), KESTREL_OK);
    EXPECT_TRUE(seen.names.empty());
    bus->SetListAvailable(false);
    EXPECT_EQ(EnumReaders(kProduct, INTERFACE_USB, OnReader, ContextOf(seen)),
              KESTREL_ERR_USB_NO_HID_NODE);
    EXPECT_TRUE(seen.names.empty());
}

TEST_F(UsbEnumerationTest, UnpluggedReaderIsFoundAgainByReopen) {
    PlugReader(first, kProduct, 0x01);
    const std::string path = PlugReader(second, kProduct, 0x02);
    KestrelSession* session = CreateSession(0);
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_USB, "USB_1", kProduct, 0), KESTREL_OK);
    EXPECT_EQ(MarkOfConnectedReader(session), 0x02);

    bus->Unplug(path);
    uint16_t atqa = 0;
    EXPECT_EQ(REQUEST_ALL_CMD(session, &atqa), KESTREL_ERR_RS232_WRITE);
    Seen seen;
    EXPECT_EQ(EnumReaders(kProduct, INTERFACE_USB, OnReader, ContextOf(seen)), KESTREL_OK);
    EXPECT_EQ(seen.names, std::vector<std::string>{"USB_0"});

    bus->Replug(path);
    EXPECT_EQ(session->commInterface->Reopen(), KESTREL_OK);
    EXPECT_EQ(MarkOfConnectedReader(session), 0x02);
    ReleaseSession(session, 0);
}

// ---- serial lines in a device folder of the test's own ----------------------------------

class SerialEnumerationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-devXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override {
        for (auto& server : servers) server->Stop();
        for (const std::string& name : made) unlink((folder + "/" + name).c_str());
        rmdir(folder.c_str());
    }

    // A virtual reader behind a pseudo-terminal, linked into the folder as `name`.
    void AddReader(const std::string& name) {
        readers.push_back(std::make_unique<sim::VirtualReader>());
        servers.push_back(std::make_unique<sim::PtyServer>(*readers.back()));
        std::string error;
        ASSERT_TRUE(servers.back()->Start(&error)) << error;
        Link(servers.back()->SlavePath(), name);
    }
    void Link(const std::string& target, const std::string& name) {
        ASSERT_EQ(symlink(target.c_str(), (folder + "/" + name).c_str()), 0) << name;
        made.push_back(name);
    }
    void AddFile(const std::string& name) {
        const int fd = open((folder + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
        made.push_back(name);
    }
    std::vector<std::string> Enumerate(size_t stopAfter = SIZE_MAX) {
        std::vector<std::string> names;
        comm::EnumerateSerialReaders(platform::ListSerialLines(folder), [&](const char* name) {
            names.emplace_back(name);
            return names.size() < stopAfter;
        });
        return names;
    }

    std::string folder;
    std::vector<std::string> made;
    std::vector<std::unique_ptr<sim::VirtualReader>> readers;
    std::vector<std::unique_ptr<sim::PtyServer>> servers;
};

TEST_F(SerialEnumerationTest, LinesThatOpenAreReportedInComOrder) {
    AddReader("ttyACM1");                // COM66
    AddReader("ttyS0");                  // COM1
    AddReader("ttyUSB2");                // COM35
    AddReader("ttyS31");                 // COM32
    AddFile("ttyS3");                    // not a serial line
    Link(folder + "/nowhere", "ttyS4");  // a link to nothing
    AddReader("ttyS40");                 // beyond the COM table
    AddReader("ttyXR0");                 // not a family of the table
    EXPECT_EQ(Enumerate(), (std::vector<std::string>{"COM1", "COM32", "COM35", "COM66"}));
    EXPECT_EQ(Enumerate(1), std::vector<std::string>{"COM1"});
    EXPECT_EQ(Enumerate(2), (std::vector<std::string>{"COM1", "COM32"}));
}

TEST_F(SerialEnumerationTest, EachNameLeadsBackToItsLine) {
    AddReader("ttyUSB2");
    // Probing leaves the line's settings as it found them.
    const int line = open((folder + "/ttyUSB2").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(line, &before), 0);
    const std::vector<std::string> names = Enumerate();
    termios after{};
    ASSERT_EQ(tcgetattr(line, &after), 0);
    close(line);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    ASSERT_EQ(names, std::vector<std::string>{"COM35"});
    // The name's port is the table entry of the same device file.
    const std::string tablePath = platform::SerialDevicePath(comm::PortNumberFromName("COM35"));
    EXPECT_EQ(tablePath.substr(tablePath.rfind('/') + 1), "ttyUSB2");

    // The line probed is a working reader: connected by its path it answers.
    KestrelSession* session = CreateSession(0);
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_RS232, (folder + "/ttyUSB2").c_str(), 0, 0),
              KESTREL_OK);
    uint16_t atqa = 0;
    EXPECT_EQ(REQUEST_ALL_CMD(session, &atqa), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(readers[0]->RequestsServed(), 1u) << "probing sent nothing to the reader";
    ReleaseSession(session, 0);
}

TEST_F(SerialEnumerationTest, LineHeldOpenElsewhereIsSkipped) {
    AddReader("ttyS0");
    AddReader("ttyS1");
    AddReader("ttyS2");
    KestrelSession* session = CreateSession(0);
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_RS232, (folder + "/ttyS1").c_str(), 0, 0),
              KESTREL_OK);
    {
        testsupport::WithoutSysAdmin asOtherPrograms;
        const int probe = open((folder + "/ttyS1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (probe >= 0) {
            close(probe);
            ReleaseSession(session, 0);
            GTEST_SKIP() << "this system lets a held tty be opened again";
        }
        EXPECT_EQ(Enumerate(), (std::vector<std::string>{"COM1", "COM3"}));
    }
    ASSERT_EQ(DisconnectReader(session), KESTREL_OK);
    {
        testsupport::WithoutSysAdmin asOtherPrograms;
        EXPECT_EQ(Enumerate(), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    }
    ReleaseSession(session, 0);
}

TEST_F(SerialEnumerationTest, MissingOrEmptyFolderReportsNothing) {
    EXPECT_TRUE(Enumerate().empty());
    EXPECT_TRUE(platform::ListSerialLines(folder + "/missing").empty());
}

}  // namespace
}  // namespace kestrel::test
