// The library's Type A functions end to end against the virtual reader, over each transport:
// the in-process link, TCP, a pseudo-terminal opened as a serial reader and a USB HID reader
// on the fake HID bus.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "KestrelAPI.h"
#include "api/session.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/in_process_link.h"
#include "kestrel_sim/transports/pty_server.h"
#include "kestrel_sim/transports/tcp_server.h"
#include "support/fake_hid_bus.h"
#include "support/fake_hid_reader.h"
#include "support/frames.h"
#include "support/sim_comm_interface.h"

namespace kestrel::test {
namespace {

enum class Transport { kInProcess, kTcp, kPty, kUsb };

std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
    switch (info.param) {
        case Transport::kInProcess:
            return "InProcess";
        case Transport::kTcp:
            return "Tcp";
        case Transport::kPty:
            return "Pty";
        case Transport::kUsb:
            return "Usb";
    }
    return "Unknown";
}

const Bytes kUid4 = {0xA1, 0xB2, 0xC3, 0xD4};
const Bytes kUid7 = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
// Exchange time-out of these tests: short, so that the faults that make the library wait
// stay quick, and long enough for a loaded machine running sanitizers.
constexpr int32_t kTimeOutMs = 400;
// Product id of the reader on the fake HID bus; also the reader type of the connection.
constexpr uint16_t kUsbProduct = 0x0C01;

class VirtualReaderTest : public ::testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        session = CreateSession(0);
        ASSERT_NE(session, nullptr);
        ASSERT_EQ(Connect(), KESTREL_OK);
    }
    void TearDown() override {
        EXPECT_EQ(ReleaseSession(session, 0), KESTREL_OK);
        if (tcp) tcp->Stop();
        if (pty) pty->Stop();
        hidBackend.reset();
    }

    int32_t Connect() {
        int32_t r = KESTREL_OK;
        std::string error;
        switch (GetParam()) {
            case Transport::kInProcess:
                if (!link) link = std::make_unique<sim::InProcessLink>(reader);
                r = api::ConnectWith(*session,
                                     std::make_unique<testsupport::SimCommInterface>(*link), 0);
                break;
            case Transport::kTcp:
                if (!tcp) {
                    tcp = std::make_unique<sim::TcpServer>(reader);
                    EXPECT_TRUE(tcp->Start("127.0.0.1", 0, &error)) << error;
                }
                r = ConnectReaderEx(session, INTERFACE_TCP,
                                    ("127.0.0.1:" + std::to_string(tcp->Port())).c_str(), 0, 0);
                break;
            case Transport::kPty:
                if (!pty) {
                    pty = std::make_unique<sim::PtyServer>(reader);
                    EXPECT_TRUE(pty->Start(&error)) << error;
                }
                r = ConnectReaderEx(session, INTERFACE_RS232, pty->SlavePath().c_str(), 0, 0);
                break;
            case Transport::kUsb:
                if (!hidBus) {
                    hidBus = std::make_shared<testsupport::FakeHidBus>();
                    hidBus->Plug(comm::UsbHidInterface::kReaderVendorId, kUsbProduct,
                                 testsupport::ServeVirtualReader(reader));
                    hidBackend = std::make_unique<testsupport::ScopedHidBackend>(hidBus);
                }
                r = ConnectReaderEx(session, INTERFACE_USB, "USB_0", kUsbProduct, 0);
                break;
        }
        if (r == KESTREL_OK) session->reader->SetTimeOut(kTimeOutMs, nullptr);
        return r;
    }

    // Wakes and selects the card kUid4; works whatever state the card was left in.
    int32_t WakeUid4(uint8_t* sak) {
        const uint8_t length = 4;
        return SelectWakeUpCard(session, kUid4.data(), &length, nullptr, sak);
    }

    void AddCard(const char* type, const Bytes& uid) {
        std::string error;
        ASSERT_TRUE(reader.AddCard(sim::MakeCard(*sim::FindCardProfile(type), uid), &error))
            << error;
    }

    // SelectIdleCard into a 10-byte buffer; the UID found.
    Bytes SelectIdle(int32_t* result, uint16_t* atqa = nullptr, uint8_t* sak = nullptr) {
        uint8_t uid[10];
        uint8_t length = sizeof uid;
        *result = SelectIdleCard(session, uid, &length, atqa, sak);
        return *result == KESTREL_OK ? Bytes(uid, uid + length) : Bytes{};
    }

    sim::VirtualReader reader;
    std::unique_ptr<sim::InProcessLink> link;
    std::unique_ptr<sim::TcpServer> tcp;
    std::unique_ptr<sim::PtyServer> pty;
    std::shared_ptr<testsupport::FakeHidBus> hidBus;
    std::unique_ptr<testsupport::ScopedHidBackend> hidBackend;
    KestrelSession* session = nullptr;
};

TEST_P(VirtualReaderTest, FindHaltAndWakeACard) {
    AddCard("classic1k", kUid4);
    int32_t r;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    EXPECT_EQ(SelectIdle(&r, &atqa, &sak), kUid4);
    ASSERT_EQ(r, KESTREL_OK);
    EXPECT_EQ(atqa, 0x0004);
    EXPECT_EQ(sak, 0x08);

    EXPECT_EQ(HaltCard(session), KESTREL_OK);
    EXPECT_EQ(REQUEST_IDLE_CMD(session, &atqa), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(SelectIdle(&r), Bytes{});
    EXPECT_EQ(r, KESTREL_ERR_NO_CARD);
    EXPECT_EQ(REQUEST_ALL_CMD(session, &atqa), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0004);

    // The step-by-step path: anticollision and select of the woken card.
    uint8_t serial[4] = {};
    EXPECT_EQ(ExecAnticol(session, 0, serial), KESTREL_OK);
    EXPECT_EQ(Bytes(serial, serial + 4), kUid4);
    EXPECT_EQ(SELECT_CMD(session, &sak, serial), KESTREL_OK);
    EXPECT_EQ(sak, 0x08);
}

TEST_P(VirtualReaderTest, WakeUpByUid) {
    AddCard("desfire", kUid7);
    AddCard("classic1k", kUid4);
    const uint8_t length = 7;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    EXPECT_EQ(SelectWakeUpCard(session, kUid7.data(), &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0344);
    EXPECT_EQ(sak, 0x20);
    EXPECT_EQ(HaltCard(session), KESTREL_OK);
    // A halted card is woken by its UID too; an absent UID is no card.
    EXPECT_EQ(SelectWakeUpCard(session, kUid7.data(), &length, &atqa, &sak), KESTREL_OK);
    const Bytes absent = {0x04, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
    EXPECT_EQ(SelectWakeUpCard(session, absent.data(), &length, &atqa, &sak), KESTREL_ERR_NO_CARD);
}

TEST_P(VirtualReaderTest, TwoCardsAreFoundOneAfterTheOther) {
    AddCard("classic1k", kUid4);
    AddCard("ultralight", kUid7);
    int32_t r;
    const Bytes first = SelectIdle(&r);
    ASSERT_EQ(r, KESTREL_OK);
    EXPECT_EQ(HaltCard(session), KESTREL_OK);
    const Bytes second = SelectIdle(&r);
    ASSERT_EQ(r, KESTREL_OK);
    EXPECT_NE(first, second);
    EXPECT_TRUE((first == kUid4 && second == kUid7) || (first == kUid7 && second == kUid4));
    EXPECT_EQ(HaltCard(session), KESTREL_OK);
    SelectIdle(&r);
    EXPECT_EQ(r, KESTREL_ERR_NO_CARD);

    // Both answer a wake-up; their first cascade levels differ, so anticollision collides.
    uint16_t atqa = 0;
    EXPECT_EQ(REQUEST_ALL_CMD(session, &atqa), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0044 | 0x0004);
    uint8_t serial[4] = {};
    EXPECT_EQ(ExecAnticol(session, 0, serial), KESTREL_ERR_FRAME_COLLISION);

    // An RF reset brings every card back to idle.
    EXPECT_EQ(RfReset(session, 25), KESTREL_OK);
    EXPECT_EQ(SelectIdle(&r), first);
}

TEST_P(VirtualReaderTest, SevenByteUidDoesNotFitFourBytes) {
    AddCard("ultralight", kUid7);
    uint8_t uid[6] = {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
    uint8_t length = 4;
    uint16_t atqa = 0xBEEF;
    EXPECT_EQ(SelectIdleCard(session, uid + 1, &length, &atqa, nullptr),
              KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(atqa, 0xBEEF);
    for (uint8_t b : uid) EXPECT_EQ(b, 0xCC);
    // Room for 7: the whole UID.
    int32_t r;
    EXPECT_EQ(SelectIdle(&r), kUid7);
}

TEST_P(VirtualReaderTest, EmptyFieldAndCardTimeOut) {
    int32_t r;
    SelectIdle(&r);
    EXPECT_EQ(r, KESTREL_ERR_NO_CARD);
    EXPECT_EQ(HaltCard(session), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(session->reader->SetCardTimeOut(1234), KESTREL_OK);
    EXPECT_EQ(reader.CardTimeOut(), 1234u);
}

// Each fault gives the result the library promises, and the next command works again.
TEST_P(VirtualReaderTest, FaultsGiveTheirResultAndTheNextCommandWorks) {
    AddCard("classic1k", kUid4);
    uint8_t sak = 0;
    const struct {
        const char* name;
        void (*inject)(sim::VirtualReader&);
        int32_t expected;
    } cases[] = {
        {"corrupt CRC", [](sim::VirtualReader& r) { r.CorruptNextAnswerCrc(); },
         KESTREL_ERR_FRAME_CRC},
        {"wrong sequence", [](sim::VirtualReader& r) { r.WrongSequenceInNextAnswer(); },
         KESTREL_ERR_FRAME_CRC},
        {"dropped answer", [](sim::VirtualReader& r) { r.DropNextAnswer(); },
         KESTREL_ERR_RS232_READ},
        {"late answer", [](sim::VirtualReader& r) { r.DelayNextAnswer(kTimeOutMs + 300); },
         KESTREL_ERR_RS232_READ},
        {"answer in pieces", [](sim::VirtualReader& r) { r.SplitNextAnswer(4, 20); }, KESTREL_OK},
        {"answer a little late", [](sim::VirtualReader& r) { r.DelayNextAnswer(kTimeOutMs / 4); },
         KESTREL_OK},
    };
    for (const auto& c : cases) {
        c.inject(reader);
        EXPECT_EQ(WakeUid4(&sak), c.expected) << c.name;
        if (c.expected == KESTREL_ERR_RS232_READ) {
            // Let a late answer arrive before the next command, as it would on a real line.
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        sak = 0;
        EXPECT_EQ(WakeUid4(&sak), KESTREL_OK) << c.name;
        EXPECT_EQ(sak, 0x08) << c.name;
    }
}

// The reader's line breaks in the middle of an answer: the command fails; after connecting
// again commands work.
TEST_P(VirtualReaderTest, LinkBreakingMidFrame) {
    AddCard("classic1k", kUid4);
    reader.BreakLinkInNextAnswer(3);
    uint8_t sak = 0;
    EXPECT_EQ(WakeUid4(&sak), KESTREL_ERR_RS232_READ);
    ASSERT_EQ(Connect(), KESTREL_OK);
    EXPECT_EQ(WakeUid4(&sak), KESTREL_OK);
    EXPECT_EQ(sak, 0x08);
}

INSTANTIATE_TEST_SUITE_P(Transports, VirtualReaderTest,
                         ::testing::Values(Transport::kInProcess, Transport::kTcp, Transport::kPty,
                                           Transport::kUsb),
                         TransportName);

}  // namespace
}  // namespace kestrel::test
