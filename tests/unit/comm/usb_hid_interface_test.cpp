#include "comm/usb_hid_interface.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid_device.h"
#include "support/fake_hid_bus.h"
#include "support/frames.h"

namespace kestrel::comm {
namespace {

using test::Bytes;
using testsupport::FakeHidBus;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kProduct = 0x0C01;
const uint16_t kVendor = UsbHidInterface::kReaderVendorId;

long ElapsedMs(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A frame with `dataLength` data bytes 0, 1, 2, ... (its CRC does not matter here).
Bytes FrameWithData(size_t dataLength) {
    Bytes data(dataLength);
    for (size_t i = 0; i < dataLength; ++i) data[i] = static_cast<uint8_t>(i);
    return test::Frame(0x00, 0x00, data);
}

class UsbHidInterfaceTest : public ::testing::Test {
  protected:
    UsbHidInterfaceTest() : bus(std::make_shared<FakeHidBus>()), usb(bus) {
        usb.SetProductId(kProduct);
    }

    // A device on the bus whose answers the test queues.
    std::string PlugScripted(uint16_t vendor = kVendor, uint16_t product = kProduct) {
        return bus->Plug(vendor, product, nullptr);
    }

    std::shared_ptr<FakeHidBus> bus;
    UsbHidInterface usb;
};

TEST_F(UsbHidInterfaceTest, NewInterfaceLooksForTheBuildsVendorId) {
    EXPECT_EQ(usb.GetVendorId(), kVendor);
    EXPECT_EQ(usb.DeviceIndex(), 0);
    EXPECT_FALSE(usb.IsOpen());
}

TEST_F(UsbHidInterfaceTest, OnlyDevicesWithBothIdsCountAndOpenInEnumerationOrder) {
    const std::string otherProduct = PlugScripted(kVendor, kProduct + 1);
    const std::string first = PlugScripted();
    const std::string otherVendor = PlugScripted(kVendor ^ 0x5555, kProduct);
    const std::string second = PlugScripted();

    uint32_t count = 99;
    ASSERT_EQ(usb.CountDevices(&count), KESTREL_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_FALSE(usb.IsOpen()) << "counting opens nothing";

    const struct {
        uint8_t index;
        Result result;
        const std::string* device;
    } cases[] = {{0, KESTREL_OK, &first},
                 {1, KESTREL_OK, &second},
                 {2, KESTREL_ERR_USB_DEVICE_NOT_FOUND, nullptr}};
    const uint8_t byte = 0x42;
    for (const auto& c : cases) {
        usb.SetDeviceIndex(c.index);
        EXPECT_EQ(usb.Open(), c.result) << c.index;
        if (c.device == nullptr) {
            EXPECT_FALSE(usb.IsOpen());
            continue;
        }
        const size_t before = bus->ReportsWritten(*c.device).size();
        uint32_t written = 0;
        ASSERT_EQ(usb.Write(&byte, 1, &written, 100), KESTREL_OK);
        EXPECT_EQ(bus->ReportsWritten(*c.device).size(), before + 1) << c.index;
    }
    for (const std::string* skipped : {&otherProduct, &otherVendor}) {
        EXPECT_TRUE(bus->ReportsWritten(*skipped).empty());
    }

    // Another vendor id makes the other device the only match.
    usb.SetVendorId(kVendor ^ 0x5555);
    EXPECT_EQ(usb.CountDevices(&count), KESTREL_OK);
    EXPECT_EQ(count, 1u);
}

TEST_F(UsbHidInterfaceTest, NoDeviceIsACountOfZeroAndNoListIs3001) {
    uint32_t count = 99;
    EXPECT_EQ(usb.CountDevices(&count), KESTREL_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(usb.Open(), KESTREL_ERR_USB_DEVICE_NOT_FOUND);

    bus->SetListAvailable(false);
    count = 99;
    EXPECT_EQ(usb.CountDevices(&count), KESTREL_ERR_USB_NO_HID_NODE);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(usb.Open(), KESTREL_ERR_USB_NO_HID_NODE);
}

TEST_F(UsbHidInterfaceTest, DeviceThatCannotBeOpenedGivesTheOsError) {
    const std::string device = PlugScripted();
    bus->SetOpenError(device, EACCES);
    EXPECT_EQ(usb.Open(), EACCES);
    EXPECT_FALSE(usb.IsOpen());
    bus->SetOpenError(device, 0);
    EXPECT_EQ(usb.Open(), KESTREL_OK);
}

TEST_F(UsbHidInterfaceTest, WriteCutsTheBytesInto32ByteReportsKeepingTheTail) {
    const std::string device = PlugScripted();
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    Bytes data(70);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x80 + i);
    uint32_t written = 0;
    ASSERT_EQ(usb.Write(data.data(), 70, &written, 100), KESTREL_OK);
    EXPECT_EQ(written, 70u);

    const std::vector<Bytes> reports = bus->ReportsWritten(device);
    ASSERT_EQ(reports.size(), 3u);
    for (const Bytes& report : reports) {
        ASSERT_EQ(report.size(), 33u);
        EXPECT_EQ(report[0], 0x00) << "report id";
    }
    EXPECT_EQ(Bytes(reports[0].begin() + 1, reports[0].end()),
              Bytes(data.begin(), data.begin() + 32));
    EXPECT_EQ(Bytes(reports[1].begin() + 1, reports[1].end()),
              Bytes(data.begin() + 32, data.begin() + 64));
    // Six new bytes, then what the second report left in place.
    Bytes third(data.begin() + 64, data.end());
    third.insert(third.end(), data.begin() + 32 + 6, data.begin() + 64);
    EXPECT_EQ(Bytes(reports[2].begin() + 1, reports[2].end()), third);
}

TEST_F(UsbHidInterfaceTest, ShortFirstReportIsPaddedWithZeros) {
    const std::string device = PlugScripted();
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    const Bytes data = {1, 2, 3};
    uint32_t written = 0;
    ASSERT_EQ(usb.Write(data.data(), 3, &written, 100), KESTREL_OK);
    Bytes expected(33, 0);
    expected[1] = 1;
    expected[2] = 2;
    expected[3] = 3;
    ASSERT_EQ(bus->ReportsWritten(device).size(), 1u);
    EXPECT_EQ(bus->ReportsWritten(device)[0], expected);

    written = 7;
    EXPECT_EQ(usb.Write(data.data(), 0, &written, 100), KESTREL_OK);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(bus->ReportsWritten(device).size(), 1u) << "nothing to send, no report";
}

// Reads into a buffer with guard bytes on both sides.
struct Guarded {
    static constexpr size_t kGuard = 8;
    static constexpr uint8_t kFill = 0xEE;
    explicit Guarded(size_t capacity) : bytes(capacity + 2 * kGuard, kFill), capacity(capacity) {}
    uint8_t* data() { return bytes.data() + kGuard; }
    Bytes Got(size_t count) const {
        return Bytes(bytes.begin() + kGuard, bytes.begin() + kGuard + count);
    }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (bytes[i] != kFill || bytes[bytes.size() - 1 - i] != kFill) return false;
        }
        return true;
    }
    Bytes bytes;
    size_t capacity;
};

TEST_F(UsbHidInterfaceTest, ReadTakesAsManyReportsAsTheFrameNeeds) {
    const std::string device = PlugScripted();
    bus->SetPadding(device, 0x5A);
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    const struct {
        size_t dataLength;
        size_t reports;
    } cases[] = {{0, 1}, {25, 1}, {26, 2}, {57, 2}, {58, 3}, {300, 10}};
    for (const auto& c : cases) {
        const Bytes frame = FrameWithData(c.dataLength);
        const size_t before = bus->ReportsRead(device);
        bus->QueueAnswer(device, frame);
        Guarded buffer(1024);
        uint32_t read = 0;
        ASSERT_EQ(usb.Read(buffer.data(), 1024, &read, 200), KESTREL_OK) << c.dataLength;
        EXPECT_EQ(bus->ReportsRead(device) - before, c.reports) << c.dataLength;
        // Every payload byte is delivered, the padding of the last report included.
        EXPECT_EQ(read, 32 * c.reports) << c.dataLength;
        EXPECT_EQ(buffer.Got(frame.size()), frame) << c.dataLength;
        for (size_t i = frame.size(); i < read; ++i) ASSERT_EQ(buffer.data()[i], 0x5A);
        EXPECT_TRUE(buffer.GuardsIntact());
    }
}

TEST_F(UsbHidInterfaceTest, FrameLargerThanTheCapacityIs7006) {
    const std::string device = PlugScripted();
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    // 60 frame bytes come in two reports; the second needs 32 + 33 bytes of room.
    const struct {
        uint32_t capacity;
        Result result;
    } cases[] = {{64, KESTREL_ERR_FRAME_RESPONSE_TOO_LONG}, {65, KESTREL_OK}};
    for (const auto& c : cases) {
        bus->QueueAnswer(device, FrameWithData(53));
        Guarded buffer(c.capacity);
        uint32_t read = 0;
        EXPECT_EQ(usb.Read(buffer.data(), c.capacity, &read, 200), c.result) << c.capacity;
        EXPECT_TRUE(buffer.GuardsIntact()) << c.capacity;
        usb.Purge();
    }
}

TEST_F(UsbHidInterfaceTest, NoReportWithinTheTimeOutIs1005AfterARealWait) {
    PlugScripted();
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    Guarded buffer(64);
    uint32_t read = 7;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(usb.Read(buffer.data(), 64, &read, 80), KESTREL_ERR_RS232_READ);
    EXPECT_GE(ElapsedMs(start), 80);
    EXPECT_EQ(read, 0u);
}

TEST_F(UsbHidInterfaceTest, MissingSecondReportIs1005) {
    const std::string device = PlugScripted();
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    // Only the first report of a 40-byte frame arrives.
    Bytes frame = FrameWithData(33);
    frame.resize(32);
    bus->QueueAnswer(device, frame);
    Guarded buffer(128);
    uint32_t read = 0;
    EXPECT_EQ(usb.Read(buffer.data(), 128, &read, 50), KESTREL_ERR_RS232_READ);
}

TEST_F(UsbHidInterfaceTest, ReportThatArrivesLaterWithinTheTimeOutIsTaken) {
    const std::string device = PlugScripted();
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    bus->QueueAnswer(device, FrameWithData(2), 40);
    Guarded buffer(64);
    uint32_t read = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(usb.Read(buffer.data(), 64, &read, 1000), KESTREL_OK);
    EXPECT_GE(ElapsedMs(start), 40);
    EXPECT_LT(ElapsedMs(start), 900);
}

TEST_F(UsbHidInterfaceTest, PurgeDropsReportsThatHaveArrived) {
    const std::string device = PlugScripted();
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    bus->QueueAnswer(device, FrameWithData(40));
    EXPECT_EQ(usb.Purge(), KESTREL_OK);
    Guarded buffer(64);
    uint32_t read = 0;
    EXPECT_EQ(usb.Read(buffer.data(), 64, &read, 20), KESTREL_ERR_RS232_READ);
}

TEST_F(UsbHidInterfaceTest, ClosedInterfaceRefusesIo) {
    PlugScripted();
    const uint8_t byte = 1;
    uint32_t count = 9;
    EXPECT_EQ(usb.Write(&byte, 1, &count, 10), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(count, 0u);
    Guarded buffer(64);
    EXPECT_EQ(usb.Read(buffer.data(), 64, &count, 10), KESTREL_ERR_RS232_READ);
    ASSERT_EQ(usb.Open(), KESTREL_OK);
    EXPECT_EQ(usb.Close(), KESTREL_OK);
    EXPECT_FALSE(usb.IsOpen());
    EXPECT_EQ(usb.Write(&byte, 1, &count, 10), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(usb.Close(), KESTREL_OK) << "closing twice is harmless";
}

TEST_F(UsbHidInterfaceTest, UnpluggedReaderFailsAndIsFoundAgainByReopen) {
    PlugScripted(kVendor, kProduct + 1);
    const std::string first = PlugScripted();
    const std::string second = PlugScripted();
    usb.SetDeviceIndex(1);
    ASSERT_EQ(usb.Open(), KESTREL_OK);

    bus->Unplug(second);
    const uint8_t byte = 1;
    uint32_t count = 0;
    EXPECT_EQ(usb.Write(&byte, 1, &count, 10), KESTREL_ERR_RS232_WRITE);
    Guarded buffer(64);
    EXPECT_EQ(usb.Read(buffer.data(), 64, &count, 10), KESTREL_ERR_RS232_READ);
    EXPECT_EQ(usb.Reopen(), KESTREL_ERR_USB_DEVICE_NOT_FOUND) << "only one reader left";

    bus->Replug(second);
    ASSERT_EQ(usb.Reopen(), KESTREL_OK);
    ASSERT_EQ(usb.Write(&byte, 1, &count, 10), KESTREL_OK);
    EXPECT_EQ(bus->ReportsWritten(second).size(), 1u) << "the same reader under index 1";
    EXPECT_TRUE(bus->ReportsWritten(first).empty());
}

// The system's HID list is read without opening anything: a machine without HID devices has
// an empty list, not a failure (which would make EnumReaders return 3001).
TEST(SystemHidBackendTest, DeviceListIsAvailable) {
    std::vector<platform::HidDeviceInfo> devices;
    EXPECT_TRUE(platform::DefaultHidBackend()->Enumerate(&devices));
    for (const platform::HidDeviceInfo& device : devices) EXPECT_FALSE(device.path.empty());
    int error = 0;
    EXPECT_EQ(platform::DefaultHidBackend()->Open("/nonexistent/hidraw", &error), nullptr);
    EXPECT_NE(error, 0);
}

}  // namespace
}  // namespace kestrel::comm
