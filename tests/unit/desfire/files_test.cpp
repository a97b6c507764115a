// DESFire applications and files through the exports, against a played card: the commands
// byte for byte, card errors, the list and settings answers of every length (guard bytes
// around every output), and the plain and enciphered forms of a settings change.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "unit/desfire/file_card.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

const uint8_t kRights1234[4] = {1, 2, 3, 4};
const uint8_t kRightsFree[4] = {0x0E, 0x0E, 0x0E, 0x0E};
const Bytes kSessionKey = Ramp(0x10, 16);

uint8_t gBytes[32];
uint16_t gCount16;
uint32_t gAids[28];

uint8_t KESTREL_CALL IgnoreAid(uintptr_t, uint32_t) {
    return 1;
}

// Every application and file export, with arguments that need no particular answer.
std::vector<SessionCall> FileExports() {
    return {
        DF_CALL(DF_GetVersion(s, gBytes, &gCount16)),
        DF_CALL(DF_GetVersionI(s, gBytes)),
        DF_CALL(DF_CreateApp(s, 1, 0x0F, 2)),
        DF_CALL(DF_ListApps(s, gAids, &gCount16)),
        DF_CALL(DF_EnumApps(s, 0, IgnoreAid)),
        DF_CALL(DF_DeleteApp(s, 1)),
        DF_CALL(DF_SelectApp(s, 1)),
        DF_CALL(DF_FormatCard(s)),
        DF_CALL(DF_CreateStdFile(s, 1, 0, kRights1234, 32)),
        DF_CALL(DF_CreateBackupFile(s, 1, 0, kRights1234, 32)),
        DF_CALL(DF_CreateValueFile(s, 1, 0, kRights1234, 0, 100, 0, 0)),
        DF_CALL(DF_CreateRecordFile(s, 1, 0, kRights1234, 8, 4, 0)),
        DF_CALL(DF_DeleteFile(s, 1)),
        DF_CALL(DF_GetFileIDs(s, gBytes, gBytes + 1)),
        DF_CALL(DF_GetFileSettings(s, 1, gBytes, gBytes + 1, gBytes + 2, gBytes + 6, gBytes + 7)),
        DF_CALL(DF_ChangeFileSettings(s, 1, 0, kRights1234, kSessionKey.data())),
    };
}

using DesfireFileExports = NativeSessionTest;

TEST_F(DesfireFileExports, SessionAndContextChecks) {
    ExpectContextChecks(FileExports());
}

class DesfireFileTest : public DesfireSessionTest {};

TEST_F(DesfireFileTest, CommandsByteForByteAndCardErrors) {
    const uint8_t rightsHigh[4] = {0x0F, 0x0E, 0x00, 0x0D};
    // clang-format off
    const std::vector<std::pair<SessionCall, Bytes>> cases = {
        {DF_CALL(DF_CreateApp(s, 0x123456, 0x0B, 3)), {0xCA, 0x56, 0x34, 0x12, 0x0B, 0x03}},
        // The AID's fourth byte is dropped.
        {DF_CALL(DF_CreateApp(s, 0xFFABCDEF, 0x0F, 14)), {0xCA, 0xEF, 0xCD, 0xAB, 0x0F, 0x0E}},
        {DF_CALL(DF_DeleteApp(s, 0xF01234)), {0xDA, 0x34, 0x12, 0xF0}},
        {DF_CALL(DF_SelectApp(s, 0x010203)), {0x5A, 0x03, 0x02, 0x01}},
        {DF_CALL(DF_FormatCard(s)), {0xFC}},
        {DF_CALL(DF_CreateStdFile(s, 5, 0x03, kRights1234, 0x000120)),
         {0xCD, 0x05, 0x03, 0x34, 0x12, 0x20, 0x01, 0x00}},
        // The size goes on 3 bytes.
        {DF_CALL(DF_CreateStdFile(s, 0, 0x00, kRightsFree, 0x7A123456)),
         {0xCD, 0x00, 0x00, 0xEE, 0xEE, 0x56, 0x34, 0x12}},
        {DF_CALL(DF_CreateBackupFile(s, 15, 0x01, rightsHigh, 1000)),
         {0xCB, 0x0F, 0x01, 0x0D, 0xFE, 0xE8, 0x03, 0x00}},
        {DF_CALL(DF_CreateValueFile(s, 2, 0x00, kRights1234, 0xFFFFFF9C, 0x000186A0, 0x0A, 0x80)),
         {0xCC, 0x02, 0x00, 0x34, 0x12, 0x9C, 0xFF, 0xFF, 0xFF, 0xA0, 0x86, 0x01, 0x00, 0x0A, 0x00,
          0x00, 0x00, 0x01}},
        {DF_CALL(DF_CreateValueFile(s, 2, 0x03, kRights1234, 0, 1, 2, 0)),
         {0xCC, 0x02, 0x03, 0x34, 0x12, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x00}},
        // Any non-zero cyclic flag sends 0xC1, zero 0xC0.
        {DF_CALL(DF_CreateRecordFile(s, 3, 0x00, kRights1234, 8, 2, 0x80)),
         {0xC1, 0x03, 0x00, 0x34, 0x12, 0x08, 0x00, 0x00, 0x02, 0x00, 0x00}},
        {DF_CALL(DF_CreateRecordFile(s, 4, 0x03, kRights1234, 0x123456, 0xAB000010, 0)),
         {0xC0, 0x04, 0x03, 0x34, 0x12, 0x56, 0x34, 0x12, 0x10, 0x00, 0x00}},
        {DF_CALL(DF_DeleteFile(s, 7)), {0xDF, 0x07}},
    };
    // clang-format on
    for (const auto& [c, command] : cases) {
        channel->Expect(command, {0x00});
        EXPECT_EQ(c.call(session), KESTREL_OK) << c.name;
        // The card's refusal comes back as 0xA100 + status.
        channel->Expect(command, {0xDE});
        EXPECT_EQ(c.call(session), KESTREL_ERR_DF_DUPLICATE) << c.name;
        EXPECT_TRUE(channel->Done()) << c.name;
    }
    // The access rights are needed.
    EXPECT_EQ(DF_CreateStdFile(session, 1, 0, nullptr, 32), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_CreateBackupFile(session, 1, 0, nullptr, 32), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_CreateValueFile(session, 1, 0, nullptr, 0, 1, 0, 0), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_CreateRecordFile(session, 1, 0, nullptr, 8, 1, 0), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_ChangeFileSettings(session, 1, 0, nullptr, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(channel->exchanges.size() == cases.size() * 2);
}

TEST_F(DesfireFileTest, GetVersionCollectsEveryFrame) {
    const Bytes version = Ramp(0x01, 28);
    // DF_GetVersionI has room for exactly 28 bytes: a last frame beyond it is not copied.
    channel->Expect({0x60}, Concat({{0xAF}, Bytes(version.begin(), version.begin() + 7)}));
    channel->Expect({0xAF}, Concat({{0x00}, Bytes(version.begin() + 7, version.end())}));
    Guarded full(28);
    ASSERT_EQ(DF_GetVersionI(session, full.data()), KESTREL_OK);
    EXPECT_EQ(full.Inner(28), version);
    EXPECT_TRUE(full.GuardsIntact());
    channel->Expect({0x60}, Concat({{0xAF}, Bytes(version.begin(), version.begin() + 7)}));
    channel->Expect({0xAF}, Concat({{0x00}, Ramp(0x40, 22)}));
    Guarded small(28);
    ASSERT_EQ(DF_GetVersionI(session, small.data()), KESTREL_OK);
    EXPECT_EQ(small.Inner(7), Bytes(version.begin(), version.begin() + 7));
    EXPECT_EQ(small.bytes.back(), kDfGuard);
    EXPECT_EQ(small.bytes[8], kDfGuard);

    channel->Answer(Concat({{0x00}, version}));
    Guarded exact(28);
    uint16_t length = 28;
    ASSERT_EQ(DF_GetVersion(session, exact.data(), &length), KESTREL_OK);
    EXPECT_EQ(length, 28);
    EXPECT_EQ(exact.Inner(28), version);
    EXPECT_TRUE(exact.GuardsIntact());
    EXPECT_TRUE(channel->Done());
}

struct ListCase {
    const char* name;
    size_t appCount;  // the card's applications, AIDs 0x0A0B00 + i, 19 per frame
    uint16_t countIn;
    uint16_t countOut;
    bool copied;
    size_t extraBytes = 0;  // stray bytes after the last whole identifier
};

TEST_F(DesfireFileTest, ListAppsReportsOnlyIdentifiersReceived) {
    const std::vector<ListCase> cases = {
        {"three into two", 3, 2, 3, false},
        {"three into three", 3, 3, 3, true},
        {"three into 28", 3, 28, 3, true},
        {"none", 0, 5, 0, false},
        {"28 over two frames", 28, 28, 28, true},
        {"30 received, 28 reported", 30, 30, 28, true},
        {"30 received, room for 29", 30, 29, 28, true},
        {"a stray byte pair", 2, 4, 2, true, 2},
    };
    for (const ListCase& c : cases) {
        Bytes data;
        for (size_t i = 0; i < c.appCount; ++i) {
            data.insert(data.end(), {static_cast<uint8_t>(i), 0x0B, 0x0A});
        }
        data.insert(data.end(), c.extraBytes, 0x77);
        FramedAnswerCard card(data);
        channel->card = std::ref(card);
        std::vector<uint32_t> aids(c.countIn + 2, 0xCCCCCCCC);
        uint16_t count = c.countIn;
        ASSERT_EQ(DF_ListApps(session, aids.data() + 1, &count), KESTREL_OK) << c.name;
        EXPECT_EQ(count, c.countOut) << c.name;
        EXPECT_EQ(card.commands.front(), Bytes{0x6A}) << c.name;
        for (size_t i = 0; i < aids.size(); ++i) {
            const bool written = c.copied && i >= 1 && i <= c.countOut;
            EXPECT_EQ(aids[i], written ? 0x0A0B00u + (i - 1) : 0xCCCCCCCCu) << c.name << " " << i;
        }
    }
    // Failures leave the count alone.
    channel->card = nullptr;
    channel->Answer({0xA0});
    uint16_t count = 7;
    EXPECT_EQ(DF_ListApps(session, gAids, &count), KESTREL_ERR_DF_APPLICATION_NOT_FOUND);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(DF_ListApps(session, gAids, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_ListApps(session, nullptr, &count), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(channel->Done());
}

struct Enumeration {
    std::vector<uint32_t> seen;
    size_t stopAfter = 100;
};

uint8_t KESTREL_CALL Collect(uintptr_t user, uint32_t aid) {
    auto* e = reinterpret_cast<Enumeration*>(user);
    e->seen.push_back(aid);
    // Any non-zero byte means go on, 0x80 too.
    return e->seen.size() < e->stopAfter ? 0x80 : 0x00;
}

TEST_F(DesfireFileTest, EnumAppsCallsBackForEachIdentifierUntilStopped) {
    struct EnumCase {
        size_t appCount;
        size_t stopAfter;
        size_t seen;
    };
    for (const EnumCase& c :
         std::vector<EnumCase>{{0, 100, 0}, {3, 100, 3}, {3, 2, 2}, {30, 100, 28}, {5, 1, 1}}) {
        Bytes data;
        for (size_t i = 0; i < c.appCount; ++i) {
            data.insert(data.end(), {static_cast<uint8_t>(i + 1), 0x00, 0xF0});
        }
        FramedAnswerCard card(data);
        channel->card = std::ref(card);
        Enumeration e;
        e.stopAfter = c.stopAfter;
        ASSERT_EQ(DF_EnumApps(session, reinterpret_cast<uintptr_t>(&e), Collect), KESTREL_OK);
        ASSERT_EQ(e.seen.size(), c.seen) << c.appCount << " " << c.stopAfter;
        for (size_t i = 0; i < e.seen.size(); ++i) EXPECT_EQ(e.seen[i], 0xF00000u + i + 1);
    }
    channel->card = nullptr;
    channel->Answer({0xCA});
    Enumeration e;
    EXPECT_EQ(DF_EnumApps(session, reinterpret_cast<uintptr_t>(&e), Collect),
              KESTREL_ERR_DF_COMMAND_ABORTED);
    EXPECT_TRUE(e.seen.empty());
    EXPECT_EQ(DF_EnumApps(session, 0, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(channel->Done());
}

TEST_F(DesfireFileTest, GetFileIdsCopiesAtMost16ReceivedBytes) {
    struct IdsCase {
        size_t received;
        uint8_t count;
    };
    for (const IdsCase& c : std::vector<IdsCase>{{0, 0}, {3, 3}, {16, 16}, {17, 16}, {70, 16}}) {
        FramedAnswerCard card(Ramp(0x00, c.received));
        channel->card = std::ref(card);
        Guarded ids(16);
        uint8_t count = 0xCC;
        ASSERT_EQ(DF_GetFileIDs(session, &count, ids.data()), KESTREL_OK) << c.received;
        EXPECT_EQ(card.commands.front(), Bytes{0x6F});
        EXPECT_EQ(count, c.count) << c.received;
        EXPECT_EQ(ids.Inner(c.count), Ramp(0x00, c.count));
        EXPECT_TRUE(ids.GuardsIntact()) << c.received;
        if (c.count < 16) {
            EXPECT_EQ(ids.bytes[c.count + 1], kDfGuard);
        }
    }
    channel->card = nullptr;
    channel->Answer({0xA0});
    Guarded ids(16);
    uint8_t count = 0xCC;
    EXPECT_EQ(DF_GetFileIDs(session, &count, ids.data()), KESTREL_ERR_DF_APPLICATION_NOT_FOUND);
    EXPECT_EQ(count, 0xCC);
    EXPECT_TRUE(ids.Untouched());
    EXPECT_EQ(DF_GetFileIDs(session, nullptr, ids.data()), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_GetFileIDs(session, &count, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(channel->Done());
}

// The outputs of DF_GetFileSettings, each between guards.
struct SettingsOut {
    Guarded comm{1}, type{1}, rights{4}, length{1}, specific{13};
    int32_t Get(KestrelSession* s, uint8_t fileNo) {
        return DF_GetFileSettings(s, fileNo, comm.data(), type.data(), rights.data(), length.data(),
                                  specific.data());
    }
    bool Untouched() const {
        return comm.Untouched() && type.Untouched() && rights.Untouched() && length.Untouched() &&
               specific.Untouched();
    }
};

TEST_F(DesfireFileTest, GetFileSettingsUnpacksTheAnswer) {
    struct SettingsCase {
        const char* name;
        Bytes answer;  // status and data
        uint8_t type, comm;
        Bytes rights;
    };
    const std::vector<SettingsCase> cases = {
        // clang-format off
        {"standard file", {0x00, 0x00, 0x03, 0x34, 0x12, 0x20, 0x01, 0x00}, 0x00, 0x03,
         {1, 2, 3, 4}},
        {"value file", Concat({{0x00, 0x02, 0x01, 0xE0, 0xFD}, Ramp(0x50, 13)}), 0x02, 0x01,
         {0x0F, 0x0D, 0x0E, 0x00}},
        // clang-format on
        {"header only", {0x00, 0x04, 0x00, 0xEE, 0xEE}, 0x04, 0x00, {0x0E, 0x0E, 0x0E, 0x0E}},
    };
    for (const SettingsCase& c : cases) {
        channel->Expect({0xF5, 0x09}, c.answer);
        SettingsOut out;
        ASSERT_EQ(out.Get(session, 9), KESTREL_OK) << c.name;
        const size_t specific = c.answer.size() - 5;
        EXPECT_EQ(out.type.Inner(1), Bytes{c.type}) << c.name;
        EXPECT_EQ(out.comm.Inner(1), Bytes{c.comm}) << c.name;
        EXPECT_EQ(out.rights.Inner(4), c.rights) << c.name;
        EXPECT_EQ(out.length.Inner(1), Bytes{static_cast<uint8_t>(specific)}) << c.name;
        EXPECT_EQ(out.specific.Inner(specific), Bytes(c.answer.begin() + 5, c.answer.end()));
        EXPECT_TRUE(out.specific.GuardsIntact() && out.rights.GuardsIntact()) << c.name;
        if (specific < 13) {
            EXPECT_EQ(out.specific.bytes[specific + 1], kDfGuard) << c.name;
        }
    }
    EXPECT_TRUE(channel->Done());
}

TEST_F(DesfireFileTest, GetFileSettingsFailuresWriteNothing) {
    struct FailureCase {
        const char* name;
        Bytes answer;
        Result result;
    };
    const std::vector<FailureCase> cases = {
        {"no data", {0x00}, KESTREL_ERR_WRONG_ANSWER_LENGTH},
        {"three bytes", {0x00, 0x00, 0x03, 0x34}, KESTREL_ERR_WRONG_ANSWER_LENGTH},
        {"18 bytes", Concat({{0x00}, Ramp(0, 18)}), KESTREL_ERR_WRONG_ANSWER_LENGTH},
        {"file not found", {0xF0}, KESTREL_ERR_DF_FILE_NOT_FOUND},
    };
    for (const FailureCase& c : cases) {
        channel->Answer(c.answer);
        SettingsOut out;
        EXPECT_EQ(out.Get(session, 1), c.result) << c.name;
        EXPECT_TRUE(out.Untouched()) << c.name;
    }
    SettingsOut out;
    EXPECT_EQ(DF_GetFileSettings(session, 1, nullptr, out.type.data(), out.rights.data(),
                                 out.length.data(), out.specific.data()),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_GetFileSettings(session, 1, out.comm.data(), out.type.data(), out.rights.data(),
                                 out.length.data(), nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(out.Untouched());
    EXPECT_TRUE(channel->Done());
}

TEST_F(DesfireFileTest, ChangeFileSettingsPlainWhenTheChangeRightIsFree) {
    const uint8_t newRights[4] = {0x01, 0x02, 0x0E, 0x00};
    // Change right 0xE: plain, and no session key needed.
    channel->Expect({0xF5, 0x04}, {0x00, 0x00, 0x00, 0x3E, 0x12, 0x20, 0x00, 0x00});
    channel->Expect({0x5F, 0x04, 0x03, 0xE0, 0x12}, {0x00});
    EXPECT_EQ(DF_ChangeFileSettings(session, 4, 0x03, newRights, nullptr), KESTREL_OK);
    EXPECT_TRUE(channel->Done());

    // Any other change right: enciphered under the session key.
    for (uint8_t changeRight : {0x00, 0x03, 0x0F}) {
        channel->Expect({0xF5, 0x04}, {0x00, 0x00, 0x00, static_cast<uint8_t>(0xE0 | changeRight),
                                       0x12, 0x20, 0x00, 0x00});
        channel->Answer({0x00});
        EXPECT_EQ(DF_ChangeFileSettings(session, 4, 0x01, newRights, kSessionKey.data()),
                  KESTREL_OK);
        const Bytes& command = channel->exchanges.back().command;
        ASSERT_EQ(command.size(), 10u);
        EXPECT_EQ(Bytes(command.begin(), command.begin() + 2), (Bytes{0x5F, 0x04}));
        const Bytes plain = {0x01, 0xE0, 0x12};
        EXPECT_EQ(CardRecover(kSessionKey, Bytes(command.begin() + 2, command.end())),
                  Concat({plain, CardCrcA(plain), Bytes(3, 0)}));
        EXPECT_TRUE(channel->Done());
    }

    // ... where a missing key shows only once the settings are read.
    channel->Expect({0xF5, 0x04}, {0x00, 0x00, 0x00, 0x30, 0x12, 0x20, 0x00, 0x00});
    EXPECT_EQ(DF_ChangeFileSettings(session, 4, 0x01, newRights, nullptr),
              KESTREL_ERR_DF_NO_SESSION_KEY);
    // Failures of the settings read stop it.
    channel->Expect({0xF5, 0x04}, {0xF0});
    EXPECT_EQ(DF_ChangeFileSettings(session, 4, 0x01, newRights, kSessionKey.data()),
              KESTREL_ERR_DF_FILE_NOT_FOUND);
    channel->Expect({0xF5, 0x04}, {0x00, 0x00, 0x00});
    EXPECT_EQ(DF_ChangeFileSettings(session, 4, 0x01, newRights, kSessionKey.data()),
              KESTREL_ERR_WRONG_ANSWER_LENGTH);
    // The change itself refused.
    channel->Expect({0xF5, 0x04}, {0x00, 0x00, 0x00, 0x3E, 0x12, 0x20, 0x00, 0x00});
    channel->Answer({0x9D});
    EXPECT_EQ(DF_ChangeFileSettings(session, 4, 0x01, newRights, nullptr),
              KESTREL_ERR_DF_PERMISSION_DENIED);
    EXPECT_TRUE(channel->Done());
}

}  // namespace
}  // namespace kestrel::test
