// The DESFire exports: session and context checks, the context's life, and each export
// reaching its layer function with its arguments in the right places.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KestrelAPI.h"
#include "api/session.h"
#include "unit/desfire/card_cipher.h"
#include "unit/desfire/fixed_random.h"
#include "unit/desfire/native_card.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

// A session whose reader is the played card of native_card.h.
class DesfireExportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session = CreateSession(0);
        session->linkProtocol = std::make_unique<UnusedLink>();
        auto fake = std::make_unique<NativeCardReader>(*session->linkProtocol);
        reader = fake.get();
        session->reader = std::move(fake);
    }
    void TearDown() override { ReleaseSession(session, 0); }

    KestrelSession* session = nullptr;
    NativeCardReader* reader = nullptr;
};

const uint8_t kKey[16] = {};
uint8_t gBuffer[32];
uint16_t gLength16 = 8;
uint32_t gFormat;
uint8_t gByte;

// Every export that needs the DESFire context.
std::vector<SessionCall> ContextExports() {
    return {
        {"DF_SetCmdFormat", [](KestrelSession* s) { return DF_SetCmdFormat(s, 1); }},
        {"DF_GetCmdFormat", [](KestrelSession* s) { return DF_GetCmdFormat(s, &gFormat); }},
        {"DF_SetFrameSize", [](KestrelSession* s) { return DF_SetFrameSize(s, 64); }},
        {"DF_GetFrameSize", [](KestrelSession* s) { return DF_GetFrameSize(s, &gLength16); }},
        {"DF_SendNativeCMD",
         [](KestrelSession* s) {
             gLength16 = 8;
             return DF_SendNativeCMD(s, gBuffer, 1, gBuffer, &gLength16, 1000);
         }},
        {"DF_SendNativeCMDEx",
         [](KestrelSession* s) {
             gLength16 = 8;
             return DF_SendNativeCMDEx(s, gBuffer, 1, gBuffer, &gLength16);
         }},
        {"DF_Ping", [](KestrelSession* s) { return DF_Ping(s); }},
        {"DF_AuthKey", [](KestrelSession* s) { return DF_AuthKey(s, 0, kKey, gBuffer); }},
        {"DF_ChangeCurKey", [](KestrelSession* s) { return DF_ChangeCurKey(s, 0, kKey, kKey); }},
        {"DF_ChangeKey", [](KestrelSession* s) { return DF_ChangeKey(s, 1, kKey, kKey, kKey); }},
        {"DF_GetKeySettings",
         [](KestrelSession* s) { return DF_GetKeySettings(s, &gByte, &gByte); }},
        {"DF_ChangeKeySettings",
         [](KestrelSession* s) { return DF_ChangeKeySettings(s, 0x0F, kKey); }},
        {"DF_GetKeyVersion", [](KestrelSession* s) { return DF_GetKeyVersion(s, 0, &gByte); }},
    };
}

TEST(DesfireExports, SessionChecks) {
    std::vector<SessionCall> calls = ContextExports();
    calls.push_back({"DF_InitData", [](KestrelSession* s) { return DF_InitData(s); }});
    calls.push_back({"DF_FreeData", [](KestrelSession* s) { return DF_FreeData(s); }});
    calls.push_back({"DF_Disconnect", [](KestrelSession* s) { return DF_Disconnect(s); }});
    calls.push_back({"DF_Connect", [](KestrelSession* s) { return DF_Connect(s); }});
    ExpectSessionChecks(calls);
}

TEST_F(DesfireExportTest, NoContextBeforeInitData) {
    for (const SessionCall& c : ContextExports()) {
        EXPECT_EQ(c.call(session), KESTREL_ERR_DF_NO_DESFIRE_SESSION) << c.name;
        EXPECT_EQ(c.call(session), 41473) << c.name;
    }
    EXPECT_TRUE(reader->exchanges.empty());
    EXPECT_TRUE(reader->calls.empty());
    // Freeing nothing is fine.
    EXPECT_EQ(DF_FreeData(session), KESTREL_OK);
    EXPECT_EQ(DF_Disconnect(session), KESTREL_OK);
}

TEST_F(DesfireExportTest, ContextLife) {
    ASSERT_EQ(SetSessionUserData(session, 0x5A5A), KESTREL_OK);
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    uint32_t format = 99;
    uint16_t frameSize = 99;
    EXPECT_EQ(DF_GetCmdFormat(session, &format), KESTREL_OK);
    EXPECT_EQ(DF_GetFrameSize(session, &frameSize), KESTREL_OK);
    EXPECT_EQ(format, 0u);
    EXPECT_EQ(frameSize, 0);
    EXPECT_EQ(DF_SetCmdFormat(session, 0xDEADBEEF), KESTREL_OK);
    EXPECT_EQ(DF_SetFrameSize(session, 0xFFFF), KESTREL_OK);  // stored as it comes
    EXPECT_EQ(DF_GetCmdFormat(session, &format), KESTREL_OK);
    EXPECT_EQ(DF_GetFrameSize(session, &frameSize), KESTREL_OK);
    EXPECT_EQ(format, 0xDEADBEEFu);
    EXPECT_EQ(frameSize, 0xFFFF);
    EXPECT_EQ(DF_GetCmdFormat(session, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_GetFrameSize(session, nullptr), KESTREL_ERR_WRONG_PARAMETER);

    // The application's word is not the context.
    uintptr_t data = 0;
    EXPECT_EQ(GetSessionUserData(session, &data), KESTREL_OK);
    EXPECT_EQ(data, 0x5A5Au);

    // A second DF_InitData starts afresh.
    reader->Answer({0x00});
    uint16_t length = 0;
    EXPECT_EQ(DF_SendNativeCMDEx(session, gBuffer, 1, nullptr, &length), KESTREL_OK);
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    EXPECT_EQ(DF_GetFrameSize(session, &frameSize), KESTREL_OK);
    EXPECT_EQ(frameSize, 0);
    reader->Answer({0x00});
    EXPECT_EQ(DF_SendNativeCMDEx(session, gBuffer, 1, nullptr, &length), KESTREL_OK);
    ASSERT_EQ(reader->exchanges.size(), 2u);
    EXPECT_EQ(reader->exchanges[1].blockNumber, 0);
    EXPECT_EQ(reader->exchanges[1].timeOut, 1000u);

    for (auto release : {DF_FreeData, DF_Disconnect}) {
        ASSERT_EQ(DF_InitData(session), KESTREL_OK);
        EXPECT_EQ(release(session), KESTREL_OK);
        EXPECT_EQ(DF_GetFrameSize(session, &frameSize), KESTREL_ERR_DF_NO_DESFIRE_SESSION);
    }
    EXPECT_EQ(GetSessionUserData(session, &data), KESTREL_OK);
    EXPECT_EQ(data, 0x5A5Au);
}

TEST_F(DesfireExportTest, ReleaseSessionFreesAForgottenContext) {
    // Leak detection of the sanitizer build would report the context if it stayed behind.
    KestrelSession* other = CreateSession(0);
    other->linkProtocol = std::make_unique<UnusedLink>();
    other->reader = std::make_unique<NativeCardReader>(*other->linkProtocol);
    ASSERT_EQ(DF_InitData(other), KESTREL_OK);
    EXPECT_EQ(ReleaseSession(other, 0), KESTREL_OK);
}

TEST_F(DesfireExportTest, ConnectReplacesTheContext) {
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    ASSERT_EQ(DF_SetFrameSize(session, 128), KESTREL_OK);
    reader->Answer({0x00});
    uint16_t length = 0;
    ASSERT_EQ(DF_SendNativeCMDEx(session, gBuffer, 1, nullptr, &length), KESTREL_OK);

    EXPECT_EQ(DF_Connect(session), KESTREL_OK);
    EXPECT_EQ(reader->calls, (std::vector<std::string>{"ActivateIdle 0 10", "RequestATS 0 100"}));
    reader->Answer({0x00});
    ASSERT_EQ(DF_SendNativeCMDEx(session, gBuffer, 1, nullptr, &length), KESTREL_OK);
    const auto& e = reader->exchanges.back();
    EXPECT_EQ(e.frameSize, 16);
    EXPECT_EQ(e.blockNumber, 0);
    EXPECT_EQ(e.timeOut, 1000u);

    // A failed activation still leaves a fresh context (frame size 0).
    reader->activateResult = KESTREL_ERR_NO_CARD;
    EXPECT_EQ(DF_Connect(session), KESTREL_ERR_NO_CARD);
    uint16_t frameSize = 99;
    EXPECT_EQ(DF_GetFrameSize(session, &frameSize), KESTREL_OK);
    EXPECT_EQ(frameSize, 0);
}

TEST_F(DesfireExportTest, SendNativeCmdArguments) {
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    ASSERT_EQ(DF_SetFrameSize(session, 32), KESTREL_OK);
    uint8_t response[6] = {kGuard, kGuard, kGuard, kGuard, kGuard, kGuard};
    uint16_t length = 4;
    const uint8_t command[3] = {0x6F, 0x01, 0x02};
    EXPECT_EQ(DF_SendNativeCMD(session, command, 0x10000, response, &length, 1000),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_SendNativeCMD(session, nullptr, 1, response, &length, 1000),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_SendNativeCMD(session, command, 3, response, nullptr, 1000),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_SendNativeCMD(session, command, 3, nullptr, &length, 1000),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_SendNativeCMDEx(session, command, 0x10000, nullptr, &length),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_SendNativeCMDEx(session, nullptr, 1, nullptr, &length),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(reader->exchanges.empty());

    reader->Expect({0x6F, 0x01, 0x02}, {0x00, 0x11, 0x22});
    EXPECT_EQ(DF_SendNativeCMD(session, command, 3, response + 1, &length, 4321), KESTREL_OK);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(Bytes(response, response + 6), (Bytes{kGuard, 0x00, 0x11, 0x22, kGuard, kGuard}));
    EXPECT_EQ(reader->exchanges.back().timeOut, 4321u);
    EXPECT_EQ(reader->exchanges.back().frameSize, 32);
    EXPECT_TRUE(reader->Done());
}

TEST_F(DesfireExportTest, GetVersionOverThreeFrames) {
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    const Bytes hardware = {0x04, 0x01, 0x01, 0x01, 0x00, 0x18, 0x05};
    const Bytes software = {0x04, 0x01, 0x01, 0x01, 0x04, 0x18, 0x05};
    const Bytes production = Ramp(0x40, 14);
    const auto script = [&] {
        reader->Expect({0x60}, Concat({{0xAF}, hardware}));
        reader->Expect({0xAF}, Concat({{0xAF}, software}));
        reader->Expect({0xAF}, Concat({{0x00}, production}));
    };
    script();
    uint16_t length = 0;
    const uint8_t getVersion = 0x60;
    EXPECT_EQ(DF_SendNativeCMDEx(session, &getVersion, 1, nullptr, &length), KESTREL_OK);
    EXPECT_EQ(length, 28);
    script();
    Bytes buffer(30, kGuard);
    length = 28;
    EXPECT_EQ(DF_SendNativeCMDEx(session, &getVersion, 1, &buffer[1], &length), KESTREL_OK);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(buffer, Concat({{kGuard}, hardware, software, production, {kGuard}}));
    EXPECT_TRUE(reader->Done());
    // Card errors come back as positive codes.
    reader->Answer({0xCA});
    EXPECT_EQ(DF_SendNativeCMDEx(session, &getVersion, 1, nullptr, &length), 41418);
}

TEST_F(DesfireExportTest, AuthenticationAndKeysReachTheCard) {
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    ScopedRandomSource traceRandom(TraceRandom);
    // The genuine-card trace through the export.
    reader->Expect({0x0A, 0x00}, {0xAF, 0xDF, 0x6A, 0xB2, 0x9A, 0xAE, 0x46, 0xBA, 0x27});
    reader->Expect({0xAF, 0x05, 0xEE, 0xC3, 0x1F, 0x1E, 0x6A, 0x0C, 0xC3, 0x1F, 0xEF, 0x83, 0x98,
                    0xA6, 0x62, 0x13, 0x70},
                   {0x00, 0x26, 0xAC, 0xED, 0x3C, 0x77, 0x1E, 0xF9, 0xA0});
    Bytes sessionKey(18, kGuard);
    const Bytes zero(16, 0x00);
    ASSERT_EQ(DF_AuthKey(session, 0, zero.data(), &sessionKey[1]), KESTREL_OK);
    EXPECT_EQ(sessionKey, Concat({{kGuard},
                                  {0xA0, 0xA1, 0xA2, 0xA3, 0xCC, 0xF5, 0x32, 0x70, 0xA0, 0xA1, 0xA2,
                                   0xA3, 0xCC, 0xF5, 0x32, 0x70},
                                  {kGuard}}));
    const Bytes key(sessionKey.begin() + 1, sessionKey.end() - 1);

    // DF_ChangeKey takes the old key before the new one: the CRC of the new key tells them
    // apart.
    const Bytes oldKey = Ramp(0x00, 16), newKey = Ramp(0x80, 16);
    reader->Answer({0x00});
    EXPECT_EQ(DF_ChangeKey(session, 2, oldKey.data(), newKey.data(), key.data()), KESTREL_OK);
    const Bytes& change = reader->exchanges.back().command;
    ASSERT_EQ(change.size(), 26u);
    EXPECT_EQ(Bytes(change.begin(), change.begin() + 2), (Bytes{0xC4, 0x02}));
    const Bytes x = Xor(oldKey, newKey);
    EXPECT_EQ(CardRecover(key, Bytes(change.begin() + 2, change.end())),
              Concat({x, CardCrcA(x), CardCrcA(newKey), Bytes(4, 0)}));

    reader->Answer({0x00});
    EXPECT_EQ(DF_ChangeCurKey(session, 0, newKey.data(), key.data()), KESTREL_OK);
    const Bytes& current = reader->exchanges.back().command;
    ASSERT_EQ(current.size(), 26u);
    EXPECT_EQ(CardRecover(key, Bytes(current.begin() + 2, current.end())),
              Concat({newKey, CardCrcA(newKey), Bytes(6, 0)}));

    reader->Expect({0x45}, {0x00, 0x0B, 0x0E});
    uint8_t settings = 0, maxKeys = 0;
    EXPECT_EQ(DF_GetKeySettings(session, &settings, &maxKeys), KESTREL_OK);
    EXPECT_EQ(settings, 0x0B);
    EXPECT_EQ(maxKeys, 0x0E);

    reader->Answer({0x00});
    EXPECT_EQ(DF_ChangeKeySettings(session, 0x09, key.data()), KESTREL_OK);
    const Bytes& change2 = reader->exchanges.back().command;
    ASSERT_EQ(change2.size(), 9u);
    EXPECT_EQ(CardRecover(key, Bytes(change2.begin() + 1, change2.end())),
              Concat({{0x09}, CardCrcA({0x09}), Bytes(5, 0)}));

    reader->Expect({0x64, 0x05}, {0x00, 0x11});
    uint8_t version[3] = {kGuard, kGuard, kGuard};
    EXPECT_EQ(DF_GetKeyVersion(session, 5, &version[1]), KESTREL_OK);
    EXPECT_EQ(Bytes(version, version + 3), (Bytes{kGuard, 0x11, kGuard}));
    EXPECT_TRUE(reader->Done());

    EXPECT_EQ(DF_Ping(session), KESTREL_OK);
    EXPECT_EQ(reader->calls.back(), "TclPing 0 0 1 1000");
}

}  // namespace
}  // namespace kestrel::test
