// The DESFire exports: session and context checks, the context's life, and each export
// reaching its layer function with its arguments in the right places.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KestrelAPI.h"
#include "api/session.h"
#include "unit/desfire/file_card.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

using DesfireExportTest = NativeSessionTest;

const uint8_t kKey[16] = {};
uint8_t gBuffer[32];
uint16_t gLength16 = 8;
uint32_t gFormat;
uint8_t gByte;

// Every export that needs the DESFire context.
std::vector<SessionCall> ContextExports() {
    return {
        DF_CALL(DF_SetCmdFormat(s, 1)),
        DF_CALL(DF_GetCmdFormat(s, &gFormat)),
        DF_CALL(DF_SetFrameSize(s, 64)),
        DF_CALL(DF_GetFrameSize(s, &gLength16)),
        DF_CALL(DF_SendNativeCMD(s, gBuffer, 1, gBuffer, &(gLength16 = 8), 1000)),
        DF_CALL(DF_SendNativeCMDEx(s, gBuffer, 1, gBuffer, &(gLength16 = 8))),
        DF_CALL(DF_Ping(s)),
        DF_CALL(DF_AuthKey(s, 0, kKey, gBuffer)),
        DF_CALL(DF_ChangeCurKey(s, 0, kKey, kKey)),
        DF_CALL(DF_ChangeKey(s, 1, kKey, kKey, kKey)),
        DF_CALL(DF_GetKeySettings(s, &gByte, &gByte)),
        DF_CALL(DF_ChangeKeySettings(s, 0x0F, kKey)),
        DF_CALL(DF_GetKeyVersion(s, 0, &gByte)),
    };
}

TEST_F(DesfireExportTest, NoContextBeforeInitData) {
    ExpectContextChecks(ContextExports());
    ExpectSessionChecks({DF_CALL(DF_InitData(s)), DF_CALL(DF_FreeData(s)),
                         DF_CALL(DF_Disconnect(s)), DF_CALL(DF_Connect(s))});
    // Freeing nothing is fine.
    EXPECT_EQ(DF_FreeData(session), KESTREL_OK);
    EXPECT_EQ(DF_Disconnect(session), KESTREL_OK);
}

TEST_F(DesfireExportTest, ContextLife) {
    ASSERT_EQ(SetSessionUserData(session, 0x5A5A), KESTREL_OK);
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    uint32_t format = 99;
    uint16_t frameSize = 99;
    const auto read = [&] {
        EXPECT_EQ(DF_GetCmdFormat(session, &format), KESTREL_OK);
        EXPECT_EQ(DF_GetFrameSize(session, &frameSize), KESTREL_OK);
    };
    read();
    EXPECT_EQ(std::make_pair(format, frameSize), std::make_pair(0u, uint16_t{0}));
    EXPECT_EQ(DF_SetCmdFormat(session, 0xDEADBEEF), KESTREL_OK);
    EXPECT_EQ(DF_SetFrameSize(session, 0xFFFF), KESTREL_OK);  // stored as it comes
    read();
    EXPECT_EQ(std::make_pair(format, frameSize), std::make_pair(0xDEADBEEFu, uint16_t{0xFFFF}));
    EXPECT_EQ(DF_GetCmdFormat(session, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_GetFrameSize(session, nullptr), KESTREL_ERR_WRONG_PARAMETER);

    // A second DF_InitData starts afresh: frame size 0, block number 0.
    channel->Answer({0x00});
    channel->Answer({0x00});
    uint16_t length = 0;
    EXPECT_EQ(DF_SendNativeCMDEx(session, gBuffer, 1, nullptr, &length), KESTREL_OK);
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    read();
    EXPECT_EQ(frameSize, 0);
    EXPECT_EQ(DF_SendNativeCMDEx(session, gBuffer, 1, nullptr, &length), KESTREL_OK);
    ASSERT_EQ(channel->exchanges.size(), 2u);
    EXPECT_EQ(channel->exchanges[1].blockNumber, 0);
    EXPECT_EQ(channel->exchanges[1].timeOut, 1000u);

    for (auto release : {DF_FreeData, DF_Disconnect}) {
        ASSERT_EQ(DF_InitData(session), KESTREL_OK);
        EXPECT_EQ(release(session), KESTREL_OK);
        EXPECT_EQ(DF_GetFrameSize(session, &frameSize), KESTREL_ERR_DF_NO_DESFIRE_SESSION);
    }
    // The application's word is not the context.
    uintptr_t data = 0;
    EXPECT_EQ(GetSessionUserData(session, &data), KESTREL_OK);
    EXPECT_EQ(data, 0x5A5Au);
}

TEST_F(DesfireExportTest, ReleaseSessionFreesAForgottenContext) {
    // Leak detection of the sanitizer build would report the context if it stayed behind.
    KestrelSession* other = CreateSession(0);
    other->linkProtocol = std::make_unique<UnusedLink>();
    other->reader = std::make_unique<reader::StandardReader>(*other->linkProtocol);
    other->cardChannel = std::make_unique<NativeCard>();
    ASSERT_EQ(DF_InitData(other), KESTREL_OK);
    EXPECT_EQ(ReleaseSession(other, 0), KESTREL_OK);
}

TEST_F(DesfireExportTest, ConnectReplacesTheContext) {
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    ASSERT_EQ(DF_SetFrameSize(session, 128), KESTREL_OK);
    channel->Answer({0x00});
    uint16_t length = 0;
    ASSERT_EQ(DF_SendNativeCMDEx(session, gBuffer, 1, nullptr, &length), KESTREL_OK);

    EXPECT_EQ(DF_Connect(session), KESTREL_OK);
    EXPECT_EQ(channel->calls, std::vector<std::string>{"Activate 0 0 100"});
    channel->Answer({0x00});
    ASSERT_EQ(DF_SendNativeCMDEx(session, gBuffer, 1, nullptr, &length), KESTREL_OK);
    const auto& e = channel->exchanges.back();
    EXPECT_EQ(e.frameSize, 16);
    EXPECT_EQ(e.blockNumber, 0);
    EXPECT_EQ(e.timeOut, 1000u);

    // A failed activation still leaves a fresh context (frame size 0).
    channel->activateResult = KESTREL_ERR_NO_CARD;
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
    EXPECT_TRUE(channel->exchanges.empty());

    channel->Expect({0x6F, 0x01, 0x02}, {0x00, 0x11, 0x22});
    EXPECT_EQ(DF_SendNativeCMD(session, command, 3, response + 1, &length, 4321), KESTREL_OK);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(Bytes(response, response + 6), (Bytes{kGuard, 0x00, 0x11, 0x22, kGuard, kGuard}));
    EXPECT_EQ(channel->exchanges.back().timeOut, 4321u);
    EXPECT_EQ(channel->exchanges.back().frameSize, 32);
    EXPECT_TRUE(channel->Done());
}

// The authentication through the exports runs over the block protocol in
// block_protocol_test.cpp; here the other key exports reach the card with their arguments.
TEST_F(DesfireExportTest, KeyExportsReachTheCard) {
    ASSERT_EQ(DF_InitData(session), KESTREL_OK);
    const Bytes key = Ramp(0x30, 16);

    // DF_ChangeKey takes the old key before the new one: the CRC of the new key tells them
    // apart.
    const Bytes oldKey = Ramp(0x00, 16), newKey = Ramp(0x80, 16);
    channel->Answer({0x00});
    EXPECT_EQ(DF_ChangeKey(session, 2, oldKey.data(), newKey.data(), key.data()), KESTREL_OK);
    const Bytes& change = channel->exchanges.back().command;
    ASSERT_EQ(change.size(), 26u);
    EXPECT_EQ(Bytes(change.begin(), change.begin() + 2), (Bytes{0xC4, 0x02}));
    const Bytes x = Xor(oldKey, newKey);
    EXPECT_EQ(CardRecover(key, Bytes(change.begin() + 2, change.end())),
              Concat({x, CardCrcA(x), CardCrcA(newKey), Bytes(4, 0)}));

    // DF_ChangeCurKey: the new key under the session key.
    channel->Answer({0x00});
    EXPECT_EQ(DF_ChangeCurKey(session, 0, newKey.data(), key.data()), KESTREL_OK);
    const Bytes& current = channel->exchanges.back().command;
    ASSERT_EQ(current.size(), 26u);
    EXPECT_EQ(CardRecover(key, Bytes(current.begin() + 2, current.begin() + 18)), newKey);

    channel->Expect({0x45}, {0x00, 0x0B, 0x0E});
    uint8_t settings = 0, maxKeys = 0;
    EXPECT_EQ(DF_GetKeySettings(session, &settings, &maxKeys), KESTREL_OK);
    EXPECT_EQ(settings, 0x0B);
    EXPECT_EQ(maxKeys, 0x0E);

    channel->Answer({0x00});
    EXPECT_EQ(DF_ChangeKeySettings(session, 0x09, key.data()), KESTREL_OK);
    const Bytes& change2 = channel->exchanges.back().command;
    ASSERT_EQ(change2.size(), 9u);
    EXPECT_EQ(CardRecover(key, Bytes(change2.begin() + 1, change2.end())),
              Concat({{0x09}, CardCrcA({0x09}), Bytes(5, 0)}));
    EXPECT_TRUE(channel->Done());
    EXPECT_EQ(DF_Ping(session), KESTREL_OK);
    EXPECT_EQ(channel->calls.back(), "Ping 0 1000");
}

}  // namespace
}  // namespace kestrel::test
