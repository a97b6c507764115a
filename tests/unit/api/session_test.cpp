#include "api/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KestrelAPI.h"
#include "reader/standard_reader.h"
#include "support/scripted_comm.h"

namespace kestrel::api {
namespace {

using test::Frame;
using test::ScriptedComm;

// Connects `session` to a scripted reader and returns the script (owned by the session).
ScriptedComm* ConnectScripted(KestrelSession* session, int32_t readerType = 0,
                              Result openResult = KESTREL_OK) {
    auto comm = std::make_unique<ScriptedComm>();
    comm->openResult = openResult;
    ScriptedComm* script = comm.get();
    EXPECT_EQ(ConnectWith(*session, std::move(comm), readerType), openResult);
    return script;
}

struct Export {
    const char* name;
    bool needsReader;
    std::function<int32_t(KestrelSession*)> call;
};

std::vector<Export> AllSessionExports() {
    static uint32_t flags;
    static uintptr_t data;
    static uint16_t atqa;
    static uint8_t sak, length = 10;
    static uint8_t uid[10], serial[4];
    return {
        {"ReleaseSession", false, [](KestrelSession* s) { return ReleaseSession(s, 0); }},
        {"ConnectReader", false, [](KestrelSession* s) { return ConnectReader(s, 99, "COM1", 0); }},
        {"ConnectReaderEx", false,
         [](KestrelSession* s) { return ConnectReaderEx(s, 99, "COM1", 0, 0); }},
        {"SetSessionFlags", false, [](KestrelSession* s) { return SetSessionFlags(s, 1); }},
        {"GetSessionFlags", false, [](KestrelSession* s) { return GetSessionFlags(s, &flags); }},
        {"DisconnectReader", true, [](KestrelSession* s) { return DisconnectReader(s); }},
        {"SetSessionUserData", true, [](KestrelSession* s) { return SetSessionUserData(s, 1); }},
        {"GetSessionUserData", true,
         [](KestrelSession* s) { return GetSessionUserData(s, &data); }},
        {"RegisterLogMethods", true,
         [](KestrelSession* s) { return RegisterLogMethods(s, 0, nullptr, nullptr); }},
        {"REQUEST_ALL_CMD", true, [](KestrelSession* s) { return REQUEST_ALL_CMD(s, &atqa); }},
        {"REQUEST_IDLE_CMD", true, [](KestrelSession* s) { return REQUEST_IDLE_CMD(s, &atqa); }},
        {"ExecAnticol", true, [](KestrelSession* s) { return ExecAnticol(s, 0, serial); }},
        {"ANTICOLLISION_CMD", true,
         [](KestrelSession* s) { return ANTICOLLISION_CMD(s, 0, serial); }},
        {"SELECT_CMD", true, [](KestrelSession* s) { return SELECT_CMD(s, &sak, serial); }},
        {"SelectIdleCard", true,
         [](KestrelSession* s) { return SelectIdleCard(s, uid, &length, &atqa, &sak); }},
        {"SelectWakeUpCard", true,
         [](KestrelSession* s) { return SelectWakeUpCard(s, uid, &length, &atqa, &sak); }},
        {"HaltCard", true, [](KestrelSession* s) { return HaltCard(s); }},
        {"RfReset", true, [](KestrelSession* s) { return RfReset(s, 25); }},
    };
}

TEST(SessionPrologue, EveryExportChecksTheSessionFirst) {
    // A block whose first word is not the session mark.
    alignas(KestrelSession) unsigned char notASession[sizeof(KestrelSession)] = {0x12, 0x34};
    auto* fake = reinterpret_cast<KestrelSession*>(notASession);
    KestrelSession* disconnected = CreateSession(0);
    for (const Export& e : AllSessionExports()) {
        EXPECT_EQ(e.call(nullptr), KESTREL_ERR_NO_SESSION) << e.name;
        EXPECT_EQ(e.call(fake), KESTREL_ERR_INVALID_SESSION) << e.name;
        if (e.needsReader) {
            EXPECT_EQ(e.call(disconnected), KESTREL_ERR_NO_READER) << e.name;
        }
    }
    EXPECT_EQ(ReleaseSession(disconnected, 0), KESTREL_OK);
}

TEST(Session, CreatedDisconnectedWithZeroWords) {
    KestrelSession* s = CreateSession(0xFFFFFFFF);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->magic, 0x00723778u);
    uint32_t flags = 1;
    EXPECT_EQ(GetSessionFlags(s, &flags), KESTREL_OK);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(s->reader, nullptr);
    EXPECT_EQ(ReleaseSession(s, 0), KESTREL_OK);
}

TEST(Session, UnsupportedInterfaceTypesLeaveTheSessionDisconnected) {
    KestrelSession* s = CreateSession(0);
    for (int32_t type : {0, 2, 3, 5, 6, 7, 9, 16, -1, 0x7FFFFFFF}) {
        ConnectScripted(s);
        EXPECT_EQ(ConnectReaderEx(s, type, "COM1", 0, 0), KESTREL_ERR_INTERFACE_NOT_SUPPORTED)
            << type;
        EXPECT_EQ(DisconnectReader(s), KESTREL_ERR_NO_READER) << type;
    }
    ReleaseSession(s, 0);
}

TEST(Session, FlagsNeedNoReaderUserDataDoes) {
    KestrelSession* s = CreateSession(0);
    EXPECT_EQ(SetSessionFlags(s, 0xA5A5A5A5), KESTREL_OK);
    uintptr_t data = 7;
    EXPECT_EQ(SetSessionUserData(s, 1), KESTREL_ERR_NO_READER);
    EXPECT_EQ(GetSessionUserData(s, &data), KESTREL_ERR_NO_READER);
    EXPECT_EQ(data, 7u);

    ConnectScripted(s);
    // A whole pointer fits in the user data word.
    const uintptr_t pointer = reinterpret_cast<uintptr_t>(&data);
    EXPECT_EQ(SetSessionUserData(s, pointer), KESTREL_OK);
    // Neither word is reset by a reconnect.
    ConnectScripted(s);
    EXPECT_EQ(GetSessionUserData(s, &data), KESTREL_OK);
    EXPECT_EQ(data, pointer);
    uint32_t flags = 0;
    EXPECT_EQ(GetSessionFlags(s, &flags), KESTREL_OK);
    EXPECT_EQ(flags, 0xA5A5A5A5u);

    EXPECT_EQ(GetSessionFlags(s, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(GetSessionUserData(s, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    ReleaseSession(s, 0);
}

TEST(Session, FailedOpenKeepsTheConnectionObjects) {
    KestrelSession* s = CreateSession(0);
    ScriptedComm* script = ConnectScripted(s, 0, KESTREL_ERR_RS232_OPEN);
    EXPECT_EQ(script->opens, 1);
    EXPECT_NE(s->reader, nullptr);
    EXPECT_NE(s->linkProtocol, nullptr);
    EXPECT_NE(s->commInterface, nullptr);
    EXPECT_EQ(DisconnectReader(s), KESTREL_OK);
    EXPECT_EQ(s->reader, nullptr);
    EXPECT_EQ(s->linkProtocol, nullptr);
    EXPECT_EQ(s->commInterface, nullptr);
    ReleaseSession(s, 0);
}

TEST(Session, ReaderTypeChoosesTheReaderClass) {
    KestrelSession* s = CreateSession(0);
    ConnectScripted(s, READER_TYPE_RFSCAN);
    EXPECT_NE(dynamic_cast<reader::RfScanReader*>(s->reader.get()), nullptr);
    ConnectScripted(s, 0x1001);
    EXPECT_EQ(dynamic_cast<reader::RfScanReader*>(s->reader.get()), nullptr);
    EXPECT_NE(dynamic_cast<reader::StandardReader*>(s->reader.get()), nullptr);
    EXPECT_EQ(s->reader->ExchangeTimeOut(), 2000);
    ReleaseSession(s, 0);
}

struct Calls {
    std::vector<std::string> order;
};

void KESTREL_CALL LogSend(uintptr_t context, const uint8_t*, int32_t) {
    reinterpret_cast<Calls*>(context)->order.push_back("send");
}
void KESTREL_CALL LogReceive(uintptr_t context, const uint8_t*, int32_t) {
    reinterpret_cast<Calls*>(context)->order.push_back("receive");
}

TEST(Session, LogMethodsSeeOneCommandAndAreDroppedByAReconnect) {
    KestrelSession* s = CreateSession(0);
    ScriptedComm* script = ConnectScripted(s);
    Calls calls;
    EXPECT_EQ(RegisterLogMethods(s, reinterpret_cast<uintptr_t>(&calls), LogSend, LogReceive),
              KESTREL_OK);
    script->Answer(Frame(0, 0x00));
    EXPECT_EQ(HaltCard(s), KESTREL_OK);
    EXPECT_EQ(calls.order, (std::vector<std::string>{"send", "receive"}));

    script = ConnectScripted(s);
    script->Answer(Frame(0, 0x00));
    EXPECT_EQ(HaltCard(s), KESTREL_OK);
    EXPECT_EQ(calls.order.size(), 2u);
    ReleaseSession(s, 0);
}

TEST(Session, ConnectDoesNotTalkToTheReader) {
    KestrelSession* s = CreateSession(0);
    ScriptedComm* script = ConnectScripted(s);
    EXPECT_TRUE(script->requests.empty());
    ReleaseSession(s, 0);
}

TEST(Session, ExportsPassTheReaderResultThrough) {
    KestrelSession* s = CreateSession(0);
    ScriptedComm* script = ConnectScripted(s);
    const uint8_t serial[4] = {1, 2, 3, 4};
    uint8_t sak = 0;
    script->Expect(Frame(0, 0x13, {1, 2, 3, 4}), Frame(0, 0xF8, {0x88}));
    EXPECT_EQ(SELECT_CMD(s, &sak, serial), KESTREL_ERR_WRONG_CARD);
    EXPECT_EQ(sak, 0x88);
    // RfReset passes the low 16 bits of its duration.
    script->Expect(Frame(1, 0x20, {0x02, 0x01}), Frame(1, 0x00));
    EXPECT_EQ(RfReset(s, 0x00070102), KESTREL_OK);
    uint8_t known[4] = {0xAA, 0, 0, 0};
    script->Expect(Frame(2, 0x12, {0x08, 0xAA, 0, 0, 0}), Frame(2, 0x00, {0xAA, 1, 2, 3}));
    EXPECT_EQ(ANTICOLLISION_CMD(s, 8, known), KESTREL_OK);
    EXPECT_EQ(test::Bytes(known, known + 4), (test::Bytes{0xAA, 1, 2, 3}));
    EXPECT_TRUE(script->Done());
    ReleaseSession(s, 0);
}

// Every export that fills caller memory writes its outputs and not one byte beside them.
TEST(Session, ExportsWriteOnlyTheirOutputs) {
    constexpr uint8_t kGuard = 0xCC;
    // One output area with guard bytes on both sides.
    struct Guarded {
        uint8_t before[8];
        uint8_t area[16];
        uint8_t after[8];
    };
    const struct {
        const char* name;
        test::Bytes answer;
        size_t outputSize;  // bytes of `area` the export may write
        std::function<int32_t(KestrelSession*, uint8_t*)> call;
    } cases[] = {
        {"REQUEST_ALL_CMD",
         {0x44, 0x03},
         2,
         [](KestrelSession* s, uint8_t* out) {
             return REQUEST_ALL_CMD(s, reinterpret_cast<uint16_t*>(out));
         }},
        {"REQUEST_IDLE_CMD",
         {0x44, 0x03},
         2,
         [](KestrelSession* s, uint8_t* out) {
             return REQUEST_IDLE_CMD(s, reinterpret_cast<uint16_t*>(out));
         }},
        {"ExecAnticol",
         {1, 2, 3, 4, 5, 6},
         4,
         [](KestrelSession* s, uint8_t* out) { return ExecAnticol(s, 0, out); }},
        {"SELECT_CMD",
         {0x08, 0x09},
         1,
         [](KestrelSession* s, uint8_t* out) {
             static const uint8_t serial[4] = {1, 2, 3, 4};
             return SELECT_CMD(s, out, serial);
         }},
        {"SelectIdleCard uid",
         {0x44, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7},
         7,
         [](KestrelSession* s, uint8_t* out) {
             uint8_t length = 7;
             return SelectIdleCard(s, out, &length, nullptr, nullptr);
         }},
        {"SelectIdleCard length",
         {0x44, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7},
         1,
         [](KestrelSession* s, uint8_t* out) {
             uint8_t uid[10];
             *out = 10;
             return SelectIdleCard(s, uid, out, nullptr, nullptr);
         }},
        {"SelectWakeUpCard",
         {0x44, 0, 0x20, 7, 1, 2, 3, 4, 5, 6, 7},
         3,
         [](KestrelSession* s, uint8_t* out) {
             static const uint8_t uid[7] = {1, 2, 3, 4, 5, 6, 7};
             static const uint8_t length = 7;
             return SelectWakeUpCard(s, uid, &length, reinterpret_cast<uint16_t*>(out), out + 2);
         }},
        {"GetSessionFlags",
         {},
         4,
         [](KestrelSession* s, uint8_t* out) {
             return GetSessionFlags(s, reinterpret_cast<uint32_t*>(out));
         }},
        {"GetSessionUserData",
         {},
         sizeof(uintptr_t),
         [](KestrelSession* s, uint8_t* out) {
             return GetSessionUserData(s, reinterpret_cast<uintptr_t*>(out));
         }},
    };
    for (const auto& c : cases) {
        KestrelSession* s = CreateSession(0);
        ScriptedComm* script = ConnectScripted(s);
        script->Answer(Frame(0, 0x00, c.answer));
        alignas(8) Guarded g;
        std::memset(&g, kGuard, sizeof g);
        EXPECT_EQ(c.call(s, g.area), KESTREL_OK) << c.name;
        for (uint8_t b : g.before) EXPECT_EQ(b, kGuard) << c.name;
        for (uint8_t b : g.after) EXPECT_EQ(b, kGuard) << c.name;
        for (size_t i = c.outputSize; i < sizeof g.area; ++i)
            EXPECT_EQ(g.area[i], kGuard) << c.name;
        ReleaseSession(s, 0);
    }
}

}  // namespace
}  // namespace kestrel::api
