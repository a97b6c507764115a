// The fixture the card scenarios share: the virtual reader, reached by a session either through
// the in-process link or as a USB HID reader on the fake HID bus, so the same scenario runs
// over both.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KestrelAPI.h"
#include "api/session.h"
#include "comm/usb_hid_interface.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/in_process_link.h"
#include "support/fake_hid_bus.h"
#include "support/fake_hid_reader.h"
#include "support/frames.h"
#include "support/sim_comm_interface.h"

namespace kestrel::test {

enum class Transport { kInProcess, kUsb };

inline std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::kUsb ? "Usb" : "InProcess";
}

class CardScenarioTest : public ::testing::TestWithParam<Transport> {
  protected:
    // Product id of the reader on the fake HID bus; also the reader type of the connection.
    static constexpr uint16_t kUsbProduct = 0x0C01;

    void SetUp() override {
        session = CreateSession(0);
        ASSERT_NE(session, nullptr);
        if (GetParam() == Transport::kUsb) {
            hidBus->Plug(comm::UsbHidInterface::kReaderVendorId, kUsbProduct,
                         testsupport::ServeVirtualReader(reader));
            ASSERT_EQ(ConnectReaderEx(session, INTERFACE_USB, "USB_0", kUsbProduct, 0), KESTREL_OK);
            return;
        }
        ASSERT_EQ(
            api::ConnectWith(*session, std::make_unique<testsupport::SimCommInterface>(link), 0),
            KESTREL_OK);
    }
    void TearDown() override { ReleaseSession(session, 0); }

    // Puts a card of `type` with `uid` in the field; the card model, or null.
    template <typename CardType>
    CardType* Add(const char* type, const Bytes& uid) {
        std::unique_ptr<sim::Card> card = sim::MakeCard(*sim::FindCardProfile(type), uid);
        auto* typed = dynamic_cast<CardType*>(card.get());
        std::string error;
        EXPECT_TRUE(reader.AddCard(std::move(card), &error)) << error;
        return typed;
    }

    sim::VirtualReader reader;
    sim::InProcessLink link{reader};
    std::shared_ptr<testsupport::FakeHidBus> hidBus = std::make_shared<testsupport::FakeHidBus>();
    testsupport::ScopedHidBackend useHidBus{hidBus};
    KestrelSession* session = nullptr;
};

}  // namespace kestrel::test
