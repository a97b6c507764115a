// One session's traffic over a USB HID reader is the traffic over TCP: the same request frames
// byte for byte, carried in 33-byte reports, and the same answers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "KestrelAPI.h"
#include "comm/usb_hid_interface.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/tcp_server.h"
#include "support/fake_hid_bus.h"
#include "support/fake_hid_reader.h"
#include "support/frames.h"

namespace kestrel::test {
namespace {

constexpr uint16_t kProduct = 0x0C01;
const MifareKey kTransportA = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};

struct Traffic {
    std::vector<Bytes> sent;
    std::vector<Bytes> received;
    std::vector<int32_t> results;
};

void KESTREL_CALL LogSend(uintptr_t context, const uint8_t* frame, int32_t length) {
    reinterpret_cast<Traffic*>(context)->sent.emplace_back(frame, frame + length);
}

void KESTREL_CALL LogReceive(uintptr_t context, const uint8_t* frame, int32_t length) {
    reinterpret_cast<Traffic*>(context)->received.emplace_back(frame, frame + length);
}

void AddCard(sim::VirtualReader& reader, const char* type, const Bytes& uid) {
    std::string error;
    ASSERT_TRUE(reader.AddCard(sim::MakeCard(*sim::FindCardProfile(type), uid), &error)) << error;
}

const Bytes kClassicUid = {0xA1, 0xB2, 0xC3, 0xD4};
const Bytes kDesfireUid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

// Commands with requests and answers of many sizes: empty, short, and longer than a report.
void RunScenario(KestrelSession* session, sim::VirtualReader& reader, Traffic* traffic) {
    ASSERT_EQ(
        RegisterLogMethods(session, reinterpret_cast<uintptr_t>(traffic), LogSend, LogReceive),
        KESTREL_OK);
    AddCard(reader, "classic1k", kClassicUid);
    uint8_t uid[10];
    uint8_t length = sizeof uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    EXPECT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(HaltCard(session), KESTREL_OK);
    EXPECT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(RfReset(session, 5), KESTREL_OK);
    Bytes data(48);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x30 + i);
    EXPECT_EQ(MifC_WriteSectorDataSingle(session, &kTransportA, data.data(), 48, 2), KESTREL_OK);
    Bytes back(48);
    EXPECT_EQ(MifC_ReadSectorDataSingle(session, &kTransportA, back.data(), 48, 2), KESTREL_OK);
    EXPECT_EQ(back, data);
    reader.RemoveCard(kClassicUid);

    // A long message to an ISO/IEC 14443-4 card in 64-byte blocks; whatever the card makes of
    // it, both transports must carry the same.
    AddCard(reader, "desfire", kDesfireUid);
    uint8_t ats[32];
    uint16_t atsLength = sizeof ats;
    EXPECT_EQ(Request_ATS(session, 0x80, &atsLength, ats), KESTREL_OK);
    Bytes apdu(90);
    for (size_t i = 0; i < apdu.size(); ++i) apdu[i] = static_cast<uint8_t>(i);
    apdu[0] = 0x90;
    apdu[1] = 0x60;
    uint8_t blockNumber = 0;
    uint8_t answer[256];
    uint16_t answerLength = sizeof answer;
    traffic->results.push_back(Send_Raw_APDU(session, &blockNumber, 64, apdu.data(),
                                             static_cast<uint16_t>(apdu.size()), answer,
                                             &answerLength, 100));
}

TEST(UsbFramesTest, RequestFramesAndAnswersAreThoseOverTcp) {
    Traffic overTcp;
    {
        sim::VirtualReader reader;
        sim::TcpServer server(reader);
        std::string error;
        ASSERT_TRUE(server.Start("127.0.0.1", 0, &error)) << error;
        KestrelSession* session = CreateSession(0);
        ASSERT_EQ(ConnectReaderEx(session, INTERFACE_TCP,
                                  ("127.0.0.1:" + std::to_string(server.Port())).c_str(), 0, 0),
                  KESTREL_OK);
        RunScenario(session, reader, &overTcp);
        ReleaseSession(session, 0);
        server.Stop();
    }

    Traffic overUsb;
    sim::VirtualReader reader;
    auto bus = std::make_shared<testsupport::FakeHidBus>();
    testsupport::ScopedHidBackend useBus(bus);
    const std::string device = bus->Plug(comm::UsbHidInterface::kReaderVendorId, kProduct,
                                         testsupport::ServeVirtualReader(reader));
    bus->SetPadding(device, 0xA5);  // padding that looks like the start of a frame
    KestrelSession* session = CreateSession(0);
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_USB, "USB_0", kProduct, 0), KESTREL_OK);
    RunScenario(session, reader, &overUsb);
    ReleaseSession(session, 0);

    ASSERT_FALSE(overTcp.sent.empty());
    EXPECT_EQ(overUsb.sent, overTcp.sent);
    EXPECT_EQ(overUsb.received, overTcp.received);
    EXPECT_EQ(overUsb.results, overTcp.results);
    // What reached the device is what the library logged, one report run per frame.
    EXPECT_EQ(bus->RequestFrames(device), overUsb.sent);
    size_t reports = 0;
    bool longFrame = false;
    for (const Bytes& frame : overUsb.sent) {
        reports += (frame.size() + 31) / 32;
        longFrame = longFrame || frame.size() > 32;
    }
    EXPECT_TRUE(longFrame) << "the scenario must cross a report boundary";
    EXPECT_EQ(bus->ReportsWritten(device).size(), reports);
}

}  // namespace
}  // namespace kestrel::test
