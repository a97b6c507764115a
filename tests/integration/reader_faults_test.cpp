// The reader stalls or vanishes in the middle of a DESFire read of many frames and of a MIFARE
// dump, over TCP and over a pseudo-terminal: the call that meets the fault returns its result
// within its time-out (plus a margin), the next call on the broken session fails cleanly, and
// after connecting again the first call works and the whole transfer succeeds.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "KestrelAPI.h"
#include "desfire/exchange.h"
#include "iso14443_4/tcl_protocol.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/pty_server.h"
#include "kestrel_sim/transports/tcp_server.h"
#include "support/frames.h"

namespace kestrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class Transport { kTcp, kPty };
// Stall: the reader sends part of an answer, then nothing for a while, then the rest and the
// answers to what came meanwhile. Vanish: it sends part of an answer and is gone (its TCP
// connection or its terminal closes); it comes back as a new reader.
enum class Fault { kStall, kVanish };
enum class Transfer { kDesfireRead, kMifareDump };

struct FaultCase {
    Transport transport;
    Fault fault;
    Transfer transfer;
    size_t answer;  // the answer of the transfer that the fault cuts
};

// Exchange time-out of the session; DESFire commands wait for the card time-out instead.
constexpr int32_t kTimeOutMs = 300;
constexpr auto kMargin = milliseconds(700);
const Bytes kDesfireUid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const sim::desfire::Aid kAid = {0x01, 0x00, 0x00};
constexpr size_t kFileSize = 1000;
constexpr MifareKey kKey = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
constexpr uint8_t kSectors = 16;

Bytes FileData() {
    Bytes data(kFileSize);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(7 * i + 1);
    return data;
}

// How long the call that meets the fault may take: a DESFire command waits for the card time-out
// and retries a failed block once, after a pause.
milliseconds Bound(Transfer transfer) {
    if (transfer == Transfer::kMifareDump) return milliseconds(kTimeOutMs) + kMargin;
    return milliseconds(2 * desfire::kCardTimeOutMs + iso14443_4::kRetryPauseMs) + kMargin;
}

class ReaderFaultTest : public ::testing::TestWithParam<FaultCase> {
  protected:
    void SetUp() override {
        std::string error;
        std::unique_ptr<sim::Card> card;
        if (GetParam().transfer == Transfer::kDesfireRead) {
            card = sim::MakeCard(*sim::FindCardProfile("desfire"), kDesfireUid);
            auto* desfire = dynamic_cast<sim::DesfireCard*>(card.get());
            ASSERT_TRUE(desfire->AddApplication(kAid, 0x0F, 1, &error)) << error;
            sim::desfire::File file;
            file.data = FileData();
            desfire->FindApplication(kAid)->files[1] = file;
        } else {
            card = sim::MakeCard(*sim::FindCardProfile("classic1k"), {0x0A, 0x0B, 0x0C, 0x0D});
        }
        ASSERT_TRUE(reader.AddCard(std::move(card), &error)) << error;
        session = CreateSession(0);
        ASSERT_NE(session, nullptr);
        ASSERT_EQ(StartReader(), KESTREL_OK);
    }
    void TearDown() override {
        ReleaseSession(session, 0);
        StopReader();
    }

    // Starts a reader on the case's transport and connects the session to it.
    int32_t StartReader() {
        std::string error;
        std::string name;
        if (GetParam().transport == Transport::kTcp) {
            tcp = std::make_unique<sim::TcpServer>(reader);
            EXPECT_TRUE(tcp->Start("127.0.0.1", 0, &error)) << error;
            name = "127.0.0.1:" + std::to_string(tcp->Port());
        } else {
            pty = std::make_unique<sim::PtyServer>(reader);
            EXPECT_TRUE(pty->Start(&error)) << error;
            name = pty->SlavePath();
        }
        return Connect(name);
    }
    int32_t Connect(const std::string& name) {
        const int32_t interface =
            GetParam().transport == Transport::kTcp ? INTERFACE_TCP : INTERFACE_RS232;
        const int32_t r = ConnectReaderEx(session, interface, name.c_str(), 0, 0);
        if (r == KESTREL_OK) Interface_SetTimeOuts(session, kTimeOutMs, nullptr);
        readerName = name;
        return r;
    }
    void StopReader() {
        if (tcp) tcp->Stop();
        if (pty) pty->Stop();
    }

    // Everything before the transfer proper: the card activated and the application selected.
    void Prepare() {
        ASSERT_EQ(RfReset(session, 10), KESTREL_OK);
        if (GetParam().transfer == Transfer::kDesfireRead) {
            ASSERT_EQ(DF_Connect(session), KESTREL_OK);
            ASSERT_EQ(DF_SelectApp(session, 1), KESTREL_OK);
        }
    }

    // The transfer; the result of the call that failed (or 0) and how long that call took.
    std::pair<int32_t, Clock::duration> RunTransfer() {
        const auto timed = [](auto call) {
            const Clock::time_point start = Clock::now();
            const int32_t r = call();
            return std::make_pair(r, Clock::now() - start);
        };
        if (GetParam().transfer == Transfer::kDesfireRead) {
            return timed([this] {
                Bytes data(kFileSize);
                uint32_t length = kFileSize;
                const int32_t r =
                    DF_ReadData(session, 1, DF_COMM_PLAIN, 0, &length, data.data(), nullptr);
                EXPECT_TRUE(r != KESTREL_OK || data == FileData());
                return r;
            });
        }
        std::pair<int32_t, Clock::duration> last;
        for (uint8_t sector = 0; sector < kSectors; ++sector) {
            AppDataStruct dump{0, nullptr};
            last = timed([&] { return ReadSectorBytes(session, &kKey, sector, &dump); });
            if (last.first != KESTREL_OK) break;
            EXPECT_EQ(dump.length, 64u);
            FreeAppDataStruct(&dump);
        }
        return last;
    }

    sim::VirtualReader reader;
    std::unique_ptr<sim::TcpServer> tcp;
    std::unique_ptr<sim::PtyServer> pty;
    KestrelSession* session = nullptr;
    std::string readerName;
};

TEST_P(ReaderFaultTest, CallFailsInTimeNextFailsCleanlyReconnectWorks) {
    const FaultCase& c = GetParam();
    Prepare();
    // The cut answer sends its first half, then stalls: for the stall, long enough for the
    // failing call and the next one; a vanishing reader goes while it stalls.
    const milliseconds stall = c.fault == Fault::kStall
                                   ? Bound(c.transfer) + milliseconds(kTimeOutMs) + kMargin
                                   : milliseconds(60000);
    reader.SplitNextAnswer(2, static_cast<uint32_t>(stall.count()));
    reader.DeferFaults(c.answer);
    const uint64_t before = reader.RequestsServed();

    auto transfer = std::async(std::launch::async, [this] { return RunTransfer(); });
    // The moment the reader starts the cut answer (to within a millisecond).
    while (reader.RequestsServed() <= before + c.answer &&
           transfer.wait_for(milliseconds(1)) != std::future_status::ready) {
    }
    const Clock::time_point cut = Clock::now();
    if (c.fault == Fault::kVanish) {
        std::this_thread::sleep_for(milliseconds(50));
        StopReader();
    }
    const auto [result, took] = transfer.get();
    EXPECT_EQ(result, KESTREL_ERR_RS232_READ);
    EXPECT_LE(took, Bound(c.transfer));

    // The broken session: the next command fails, within the exchange time-out. (A terminal
    // whose reader is gone refuses the request; a TCP connection takes it, then ends.)
    const bool gone = c.fault == Fault::kVanish && c.transport == Transport::kPty;
    const Clock::time_point next = Clock::now();
    EXPECT_EQ(RfReset(session, 10), gone ? KESTREL_ERR_RS232_WRITE : KESTREL_ERR_RS232_READ);
    EXPECT_LE(Clock::now() - next, milliseconds(kTimeOutMs) + kMargin);

    if (c.fault == Fault::kStall) {
        // Connecting again as the reader comes back: its late answers arrive meanwhile.
        std::this_thread::sleep_until(cut + stall);
        ASSERT_EQ(Connect(readerName), KESTREL_OK);
    } else {
        ASSERT_EQ(StartReader(), KESTREL_OK);
    }
    EXPECT_EQ(RfReset(session, 10), KESTREL_OK);
    Prepare();
    EXPECT_EQ(RunTransfer().first, KESTREL_OK);
}

std::string CaseName(const ::testing::TestParamInfo<FaultCase>& info) {
    const FaultCase& c = info.param;
    return std::string(c.transport == Transport::kTcp ? "Tcp" : "Pty") +
           (c.fault == Fault::kStall ? "Stall" : "Vanish") +
           (c.transfer == Transfer::kDesfireRead ? "DesfireRead" : "MifareDump") + "At" +
           std::to_string(c.answer);
}

std::vector<FaultCase> Cases() {
    std::vector<FaultCase> cases;
    for (Transport transport : {Transport::kTcp, Transport::kPty}) {
        for (Fault fault : {Fault::kStall, Fault::kVanish}) {
            // DESFire: the first block of the answer, and one in its middle (the read is about
            // 90 exchanges); MIFARE: the first sector, and one in the middle of the dump.
            cases.push_back({transport, fault, Transfer::kDesfireRead, 0});
            cases.push_back({transport, fault, Transfer::kDesfireRead, 40});
            cases.push_back({transport, fault, Transfer::kMifareDump, 2});
            cases.push_back({transport, fault, Transfer::kMifareDump, 70});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, ReaderFaultTest, ::testing::ValuesIn(Cases()), CaseName);

}  // namespace
}  // namespace kestrel::test
