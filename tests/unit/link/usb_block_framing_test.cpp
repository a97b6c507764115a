#include "link/usb_block_framing_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "comm/usb_hid_interface.h"
#include "support/fake_hid_bus.h"
#include "support/frames.h"
#include "support/scripted_comm.h"

namespace kestrel::link {
namespace {

using test::Bytes;
using test::Frame;

constexpr uint16_t kProduct = 0x0C01;

struct LogRecord {
    std::vector<Bytes> sent;
    std::vector<Bytes> received;
};

void KESTREL_CALL LogSend(uintptr_t context, const uint8_t* frame, int32_t length) {
    reinterpret_cast<LogRecord*>(context)->sent.emplace_back(frame, frame + length);
}

void KESTREL_CALL LogReceive(uintptr_t context, const uint8_t* frame, int32_t length) {
    reinterpret_cast<LogRecord*>(context)->received.emplace_back(frame, frame + length);
}

Bytes Pattern(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(3 * i + 1);
    return bytes;
}

// The USB link protocol on the USB interface, with a device on the fake bus whose answers
// the test queues.
class UsbBlockFramingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device = bus->Plug(comm::UsbHidInterface::kReaderVendorId, kProduct, nullptr);
        usb.SetProductId(kProduct);
        ASSERT_EQ(usb.Open(), KESTREL_OK);
    }

    static Result Run(LinkProtocol& protocol, ReaderCommand& command, uint8_t code,
                      const Bytes& params, uint32_t timeOut = 200) {
        command.Clear();
        command.SetCode(code);
        command.PutBytes(params.data(), static_cast<uint32_t>(params.size()));
        return protocol.Exchange(command, timeOut);
    }
    Result Run(uint8_t code, const Bytes& params = {}, uint32_t timeOut = 200) {
        return Run(link, command, code, params, timeOut);
    }
    Bytes Response() const {
        return Bytes(command.ResponseData(), command.ResponseData() + command.ResponseSize());
    }

    std::shared_ptr<testsupport::FakeHidBus> bus = std::make_shared<testsupport::FakeHidBus>();
    std::string device;
    comm::UsbHidInterface usb{bus};
    UsbBlockFramingProtocol link{usb};
    ReaderCommand command;
};

TEST_F(UsbBlockFramingTest, RequestFramesAreThoseOfTheBlockFraming) {
    test::ScriptedComm serial;
    BlockFramingProtocol plain{serial};
    ReaderCommand plainCommand;
    const struct {
        uint8_t code;
        size_t paramLength;
    } cases[] = {{0x1D, 0}, {0x11, 1}, {0x03, 25}, {0x03, 26}, {0x03, 70}, {0x07, 300}};
    uint8_t sequence = 0;
    for (const auto& c : cases) {
        const Bytes params = Pattern(c.paramLength);
        serial.Answer(Frame(sequence, 0x00));
        bus->QueueAnswer(device, Frame(sequence, 0x00));
        ++sequence;
        ASSERT_EQ(Run(plain, plainCommand, c.code, params), KESTREL_OK);
        ASSERT_EQ(Run(link, command, c.code, params), KESTREL_OK) << c.paramLength;
    }
    EXPECT_EQ(bus->RequestFrames(device), serial.requests);

    // Each frame starts a report of its own and fills as many as it needs.
    size_t expectedReports = 0;
    for (const Bytes& frame : serial.requests) expectedReports += (frame.size() + 31) / 32;
    EXPECT_EQ(bus->ReportsWritten(device).size(), expectedReports);
}

TEST_F(UsbBlockFramingTest, AnswerIsLoggedOnceWithItsOwnLengthWithoutThePadding) {
    bus->SetPadding(device, 0x5A);
    LogRecord log;
    link.SetLogMethods(reinterpret_cast<uintptr_t>(&log), LogSend, LogReceive);
    const struct { size_t dataLength; } cases[] = {{0}, {3}, {25}, {26}, {100}, {1000}};
    uint8_t sequence = 0;
    for (const auto& c : cases) {
        const Bytes data = Pattern(c.dataLength);
        const Bytes answer = Frame(sequence++, 0x00, data);
        bus->QueueAnswer(device, answer);
        ASSERT_EQ(Run(0x20, {0x01}), KESTREL_OK) << c.dataLength;
        EXPECT_EQ(Response(), data);
        EXPECT_EQ(command.StatusByte(), 0x00);
        ASSERT_FALSE(log.received.empty());
        EXPECT_EQ(log.received.back(), answer) << c.dataLength;
    }
    EXPECT_EQ(log.received.size(), std::size(cases));
    EXPECT_EQ(log.sent.size(), std::size(cases));
}

TEST_F(UsbBlockFramingTest, ReaderStatusReachesTheCommandAsOverTheBlockFraming) {
    const uint8_t statuses[] = {0xEA, 0xFF, 0xE8};
    uint8_t sequence = 0;
    for (uint8_t status : statuses) {
        bus->QueueAnswer(device, Frame(sequence++, status));
        EXPECT_EQ(Run(0x11, {0x26}), KESTREL_OK);
        EXPECT_EQ(command.StatusByte(), status) << int{status};
    }
}

TEST_F(UsbBlockFramingTest, BadCrcAndWrongSequenceAre7001) {
    Bytes bad = Frame(0, 0x00, {0x01});
    bad[5] ^= 0xFF;
    bus->QueueAnswer(device, bad);
    EXPECT_EQ(Run(0x1D), KESTREL_ERR_FRAME_CRC);
    // After a refused answer the next exchange first drops the reports that have arrived:
    // these answers come a little after their request, as a reader's would.
    bus->QueueAnswer(device, Frame(7, 0x00), 20);
    EXPECT_EQ(Run(0x1D), KESTREL_ERR_FRAME_CRC);
    bus->QueueAnswer(device, Frame(2, 0x00, {0x09}), 20);
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    EXPECT_EQ(Response(), Bytes{0x09});
}

TEST_F(UsbBlockFramingTest, NoAnswerIs1005AndLeavesTheCommandAlone) {
    EXPECT_EQ(Run(0x11, {0x26}, 50), KESTREL_ERR_RS232_READ);
    EXPECT_EQ(command.RequestSize(), 1u);
    EXPECT_EQ(link.NextSequence(), 1);
}

// A USB interface whose Read reports what the test says.
class CannedRead : public test::ScriptedComm {
  public:
    Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t) override {
        capacities.push_back(length);
        std::memcpy(buffer, bytes.data(), std::min<size_t>(bytes.size(), length));
        *read = count;
        return result;
    }
    Bytes bytes;
    uint32_t count = 0;
    Result result = KESTREL_OK;
    std::vector<uint32_t> capacities;
};

TEST(UsbBlockFramingReadTest, ReadFailuresAndShortFramesAre1005) {
    const Bytes answer = Frame(0, 0x00, Pattern(40));
    const struct {
        const char* name;
        uint32_t count;
        Result readResult;
        Result expected;
    } cases[] = {
        {"whole frame", 47, KESTREL_OK, KESTREL_OK},
        {"frame and padding", 64, KESTREL_OK, KESTREL_OK},
        {"one byte short", 46, KESTREL_OK, KESTREL_ERR_RS232_READ},
        {"not even a header", 4, KESTREL_OK, KESTREL_ERR_RS232_READ},
        {"too long for the buffer", 0, KESTREL_ERR_FRAME_RESPONSE_TOO_LONG, KESTREL_ERR_RS232_READ},
        {"report failed", 0, KESTREL_ERR_RS232_READ, KESTREL_ERR_RS232_READ},
    };
    for (const auto& c : cases) {
        CannedRead comm;
        UsbBlockFramingProtocol link{comm};
        comm.Answer({});
        comm.bytes = answer;
        comm.count = c.count;
        comm.result = c.readResult;
        ReaderCommand command;
        command.SetCode(0x1D);
        EXPECT_EQ(link.Exchange(command, 100), c.expected) << c.name;
        ASSERT_EQ(comm.capacities.size(), 1u) << "one Read per answer";
        EXPECT_EQ(comm.capacities[0], UsbBlockFramingProtocol::kResponseCapacity);
        if (c.expected == KESTREL_OK) {
            EXPECT_EQ(Bytes(command.ResponseData(), command.ResponseData() + 40), Pattern(40));
        }
    }
}

}  // namespace
}  // namespace kestrel::link
