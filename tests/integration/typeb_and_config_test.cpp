// Type B cards and the reader's configuration commands end to end against the virtual reader.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "KestrelAPI.h"
#include "api/session.h"
#include "kestrel_sim/cards/typeb/typeb_card.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/in_process_link.h"
#include "kestrel_sim/transports/tcp_server.h"
#include "support/frames.h"
#include "support/sim_comm_interface.h"

namespace kestrel::test {
namespace {

const Bytes kPupi1 = {0x11, 0x12, 0x13, 0x14};
const Bytes kPupi2 = {0x21, 0x22, 0x23, 0x24};

class ReaderFeaturesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session = CreateSession(0);
        ASSERT_EQ(
            api::ConnectWith(*session, std::make_unique<testsupport::SimCommInterface>(link), 0),
            KESTREL_OK);
    }
    void TearDown() override { ReleaseSession(session, 0); }

    // A Type B card that always answers in time slot `slot`.
    void AddTypeB(const Bytes& pupi, uint8_t slot) {
        std::unique_ptr<sim::Card> card = sim::MakeCard(*sim::FindCardProfile("typeb"), pupi);
        auto* typeB = dynamic_cast<sim::TypeBCard*>(card.get());
        ASSERT_NE(typeB, nullptr);
        typeB->FixSlot(slot);
        ASSERT_TRUE(reader.AddCard(std::move(card)));
    }

    sim::VirtualReader reader;
    sim::InProcessLink link{reader};
    KestrelSession* session = nullptr;
};

// ATQB: 0x50, the PUPI, application data, protocol info.
Bytes PupiOf(const uint8_t* atqb) {
    return Bytes(atqb + 1, atqb + 5);
}

TEST_F(ReaderFeaturesTest, TwoTypeBCardsInTwoSlots) {
    AddTypeB(kPupi1, 1);
    AddTypeB(kPupi2, 2);
    uint8_t atqb[16];
    uint16_t length = sizeof atqb;
    // AFI 0 (every application), two time slots: the card in slot 1 answers the request...
    ASSERT_EQ(TypeB_RequestIdle(session, 0x00, 0x01, atqb, &length), KESTREL_OK);
    ASSERT_GE(length, 5);
    EXPECT_EQ(atqb[0], 0x50);
    EXPECT_EQ(PupiOf(atqb), kPupi1);
    // ...the other one the marker of slot 2.
    length = sizeof atqb;
    ASSERT_EQ(TypeB_SlotMarker(session, 2, atqb, &length), KESTREL_OK);
    EXPECT_EQ(PupiOf(atqb), kPupi2);

    // ATTRIB selects the second card; without higher-layer data the answer is 3 bytes.
    uint8_t param4 = 0x00;
    uint8_t second = 0xCC;
    uint8_t higherLength = 0;
    ASSERT_EQ(TypeB_Attrib(session, kPupi2.data(), 0x00, 0x08, 0x01, &param4, &second,
                           &higherLength, nullptr),
              KESTREL_OK);
    EXPECT_EQ(higherLength, 0);

    // Halted, it no longer answers a request; a wake-up reaches it again.
    ASSERT_EQ(TypeB_Halt(session, kPupi2.data()), KESTREL_OK);
    ASSERT_EQ(TypeB_Halt(session, kPupi1.data()), KESTREL_OK);
    length = sizeof atqb;
    EXPECT_EQ(TypeB_RequestIdle(session, 0x00, 0x00, atqb, &length), KESTREL_ERR_NO_CARD);
    length = sizeof atqb;
    EXPECT_NE(TypeB_RequestWakeUp(session, 0x00, 0x00, atqb, &length), KESTREL_ERR_NO_CARD);

    // An answer buffer one byte too small: the length is reported, nothing copied.
    uint8_t small[5] = {0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
    length = 4;
    RfReset(session, 25);
    EXPECT_EQ(TypeB_RequestIdle(session, 0x00, 0x01, small, &length), KESTREL_ERR_READING_TOO_MUCH);
    EXPECT_GT(length, 4);
    for (uint8_t b : small) EXPECT_EQ(b, 0xCC);
}

TEST_F(ReaderFeaturesTest, RegistersAttributesAndFirmware) {
    uint8_t value = 0;
    ASSERT_EQ(PcdWriteReg(session, 0x05, 0x5A), KESTREL_OK);
    ASSERT_EQ(PcdReadReg(session, 0x05, &value), KESTREL_OK);
    EXPECT_EQ(value, 0x5A);

    char text[64];
    uint8_t length = sizeof text;
    ASSERT_EQ(GetFWVersion(session, text, &length), KESTREL_OK);
    ASSERT_GT(length, 0);
    // Room for one byte less than the text: refused, the length left alone.
    uint8_t tooSmall = static_cast<uint8_t>(length - 1);
    EXPECT_EQ(GetFWVersion(session, text, &tooSmall), KESTREL_ERR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(tooSmall, length - 1);

    uint8_t echo[6] = {1, 2, 3, 4, 5, 6};
    uint16_t echoLength = sizeof echo;
    ASSERT_EQ(session->reader->EchoTest(echo, &echoLength), KESTREL_OK);
    EXPECT_EQ(Bytes(echo, echo + 6), (Bytes{1, 2, 3, 4, 5, 6}));
}

// A reader that stays silent is given up on after the exchange time-out set by the
// application. Over TCP, so that the wait is a real one.
TEST_F(ReaderFeaturesTest, ExchangeTimeOutSetByTheApplication) {
    sim::TcpServer server(reader);
    std::string error;
    ASSERT_TRUE(server.Start("127.0.0.1", 0, &error)) << error;
    const std::string name = "127.0.0.1:" + std::to_string(server.Port());
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_TCP, name.c_str(), 0, 0), KESTREL_OK);

    uint32_t previous = 0;
    ASSERT_EQ(Interface_SetTimeOuts(session, 500, &previous), KESTREL_OK);
    EXPECT_EQ(previous, 2000u);
    reader.DropNextAnswer();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PcdWriteReg(session, 0x05, 0x01), KESTREL_ERR_RS232_READ);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(450));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1900));
    EXPECT_EQ(PcdWriteReg(session, 0x05, 0x01), KESTREL_OK);
    DisconnectReader(session);
    server.Stop();
}

}  // namespace
}  // namespace kestrel::test
