// DESFire applications, files, data, values and records end to end against the virtual
// DESFire card, in every communication mode.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "support/card_scenario.h"

namespace kestrel::test {
namespace {

constexpr uint32_t kAid = 0x123456;
const Bytes kZeroKey(16, 0x00);
// Rights: read, write, read-and-write and change with key 0.
const uint8_t kKey0Rights[4] = {0x00, 0x00, 0x00, 0x00};
const uint8_t kFreeRights[4] = {DF_ACCESS_FREE, DF_ACCESS_FREE, DF_ACCESS_FREE, DF_ACCESS_FREE};

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + 13 * i);
    return bytes;
}

class DesfireFilesTest : public CardScenarioTest {
  protected:
    void SetUp() override {
        desfire = Add<sim::DesfireCard>("desfire", {0x04, 1, 2, 3, 4, 5, 6});
        ASSERT_NE(desfire, nullptr);
        CardScenarioTest::SetUp();
        ASSERT_EQ(DF_Connect(session), KESTREL_OK);
        // An application with one two-key triple DES key (still zero), selected and opened.
        ASSERT_EQ(DF_AuthKey(session, 0, kZeroKey.data(), key.data()), KESTREL_OK);
        ASSERT_EQ(DF_CreateApp(session, kAid, 0x0F, 1), KESTREL_OK);
        ASSERT_EQ(DF_SelectApp(session, kAid), KESTREL_OK);
        ASSERT_EQ(DF_AuthKey(session, 0, kZeroKey.data(), key.data()), KESTREL_OK);
    }
    sim::DesfireCard* desfire = nullptr;
    Bytes key = Bytes(16, 0);
};

// Standard data files in the three modes, with lengths that cross frame boundaries.
TEST_P(DesfireFilesTest, DataInEveryModeAcrossFrames) {
    for (int mode : {DF_COMM_PLAIN, DF_COMM_MACED, DF_COMM_ENCIPHERED}) {
        const uint8_t fileNo = static_cast<uint8_t>(mode + 1);
        ASSERT_EQ(DF_CreateStdFile(session, fileNo, static_cast<uint8_t>(mode), kKey0Rights, 1000),
                  KESTREL_OK)
            << mode;
        for (uint32_t length : {1u, 16u, 100u, 1000u}) {
            const Bytes data = Pattern(length, static_cast<uint8_t>(length + mode));
            ASSERT_EQ(DF_WriteData(session, fileNo, mode, 0, length, data.data(), key.data()),
                      KESTREL_OK)
                << mode << " " << length;
            Bytes out(length + 2, 0xCC);
            uint32_t got = length;
            ASSERT_EQ(DF_ReadData(session, fileNo, mode, 0, &got, out.data() + 1, key.data()),
                      KESTREL_OK)
                << mode << " " << length;
            EXPECT_EQ(got, length);
            EXPECT_EQ(Bytes(out.begin() + 1, out.end() - 1), data) << mode << " " << length;
            EXPECT_EQ(out.front(), 0xCC);
            EXPECT_EQ(out.back(), 0xCC);
        }
    }
}

TEST_P(DesfireFilesTest, ValuesWithCommitAndAbort) {
    ASSERT_EQ(DF_CreateValueFile(session, 4, DF_COMM_ENCIPHERED, kKey0Rights, 0, 1000, 100, 1),
              KESTREL_OK);
    uint32_t value = 0;
    ASSERT_EQ(DF_Credit(session, 4, DF_COMM_ENCIPHERED, 50, key.data()), KESTREL_OK);
    ASSERT_EQ(DF_Abort(session), KESTREL_OK);
    ASSERT_EQ(DF_GetValue(session, 4, DF_COMM_ENCIPHERED, &value, key.data()), KESTREL_OK);
    EXPECT_EQ(value, 100u);
    ASSERT_EQ(DF_Credit(session, 4, DF_COMM_ENCIPHERED, 50, key.data()), KESTREL_OK);
    ASSERT_EQ(DF_Debit(session, 4, DF_COMM_ENCIPHERED, 30, key.data()), KESTREL_OK);
    ASSERT_EQ(DF_Commit(session), KESTREL_OK);
    ASSERT_EQ(DF_GetValue(session, 4, DF_COMM_ENCIPHERED, &value, key.data()), KESTREL_OK);
    EXPECT_EQ(value, 120u);
    // Beyond the upper limit: the card's boundary error, the value unchanged.
    EXPECT_EQ(DF_Credit(session, 4, DF_COMM_ENCIPHERED, 5000, key.data()), KESTREL_ERR_DF_BOUNDARY);
    // As on genuine cards, an error ends the authentication.
    ASSERT_EQ(DF_AuthKey(session, 0, kZeroKey.data(), key.data()), KESTREL_OK);
    // Limited credit after a debit.
    ASSERT_EQ(DF_Debit(session, 4, DF_COMM_ENCIPHERED, 20, key.data()), KESTREL_OK);
    ASSERT_EQ(DF_Commit(session), KESTREL_OK);
    ASSERT_EQ(DF_LimitedCredit(session, 4, DF_COMM_ENCIPHERED, 10, key.data()), KESTREL_OK);
    ASSERT_EQ(DF_Commit(session), KESTREL_OK);
    ASSERT_EQ(DF_GetValue(session, 4, DF_COMM_ENCIPHERED, &value, key.data()), KESTREL_OK);
    EXPECT_EQ(value, 110u);

    // The same operations on value files in the plain and MACed modes.
    for (int mode : {DF_COMM_PLAIN, DF_COMM_MACED}) {
        const uint8_t fileNo = static_cast<uint8_t>(10 + mode);
        ASSERT_EQ(DF_CreateValueFile(session, fileNo, static_cast<uint8_t>(mode), kKey0Rights, 0,
                                     1000, 7, 0),
                  KESTREL_OK);
        ASSERT_EQ(DF_Credit(session, fileNo, mode, 5, key.data()), KESTREL_OK);
        ASSERT_EQ(DF_Debit(session, fileNo, mode, 2, key.data()), KESTREL_OK);
        ASSERT_EQ(DF_Commit(session), KESTREL_OK);
        ASSERT_EQ(DF_GetValue(session, fileNo, mode, &value, key.data()), KESTREL_OK);
        EXPECT_EQ(value, 10u) << mode;
    }
}

// Records of sizes that are and are not multiples of 8, in every mode, in both kinds of record
// file (the library's cyclic flag picks the command byte; the card reads that byte its own way).
TEST_P(DesfireFilesTest, RecordsInEveryMode) {
    const uint8_t fileNo = 5;
    for (uint8_t cyclic : {0, 1}) {
        for (int mode : {DF_COMM_PLAIN, DF_COMM_MACED, DF_COMM_ENCIPHERED}) {
            for (uint32_t size : {5u, 8u, 12u}) {
                ASSERT_EQ(DF_CreateRecordFile(session, fileNo, static_cast<uint8_t>(mode),
                                              kKey0Rights, size, 4, cyclic),
                          KESTREL_OK);
                for (uint8_t i = 0; i < 2; ++i) {
                    const Bytes record = Pattern(size, static_cast<uint8_t>(i + 10 * size));
                    ASSERT_EQ(
                        DF_WriteRecord(session, fileNo, mode, 0, size, record.data(), key.data()),
                        KESTREL_OK);
                    ASSERT_EQ(DF_Commit(session), KESTREL_OK);
                }
                Bytes out(2 * size + 1, 0xCC);
                uint32_t count = 2;
                ASSERT_EQ(
                    DF_ReadRecords(session, fileNo, mode, 0, &count, out.data(), size, key.data()),
                    KESTREL_OK)
                    << int(cyclic) << " " << mode << " " << size;
                EXPECT_EQ(count, 2u) << int(cyclic) << " " << mode << " " << size;
                EXPECT_EQ(out.back(), 0xCC);
                ASSERT_EQ(DF_DeleteFile(session, fileNo), KESTREL_OK);
            }
        }
    }
}

TEST_P(DesfireFilesTest, SettingsListsAndDeletion) {
    ASSERT_EQ(DF_CreateStdFile(session, 1, DF_COMM_PLAIN, kFreeRights, 32), KESTREL_OK);
    ASSERT_EQ(DF_CreateBackupFile(session, 2, DF_COMM_PLAIN, kKey0Rights, 32), KESTREL_OK);
    uint8_t ids[18];
    std::fill(std::begin(ids), std::end(ids), 0xCC);
    uint8_t count = 0;
    ASSERT_EQ(DF_GetFileIDs(session, &count, ids + 1), KESTREL_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(ids[0], 0xCC);
    EXPECT_EQ(ids[17], 0xCC);
    // Free change right: the new settings go plain; key 0's right: enciphered.
    ASSERT_EQ(DF_ChangeFileSettings(session, 1, DF_COMM_MACED, kKey0Rights, nullptr), KESTREL_OK);
    ASSERT_EQ(DF_ChangeFileSettings(session, 1, DF_COMM_ENCIPHERED, kKey0Rights, key.data()),
              KESTREL_OK);
    ASSERT_EQ(DF_DeleteFile(session, 2), KESTREL_OK);
    ASSERT_EQ(DF_GetFileIDs(session, &count, ids + 1), KESTREL_OK);
    EXPECT_EQ(count, 1);

    uint32_t aids[28];
    uint16_t aidCount = 28;
    ASSERT_EQ(DF_SelectApp(session, 0), KESTREL_OK);
    ASSERT_EQ(DF_ListApps(session, aids, &aidCount), KESTREL_OK);
    ASSERT_EQ(aidCount, 1);
    EXPECT_EQ(aids[0], kAid);
    ASSERT_EQ(DF_AuthKey(session, 0, kZeroKey.data(), key.data()), KESTREL_OK);
    ASSERT_EQ(DF_DeleteApp(session, kAid), KESTREL_OK);
    EXPECT_EQ(DF_SelectApp(session, kAid), KESTREL_ERR_DF_APPLICATION_NOT_FOUND);
    ASSERT_EQ(DF_CreateApp(session, kAid + 1, 0x0F, 1), KESTREL_OK);
    // The error above ended the authentication; formatting needs the card master key.
    EXPECT_EQ(DF_FormatCard(session), KESTREL_ERR_DF_AUTHENTICATION);
    ASSERT_EQ(DF_AuthKey(session, 0, kZeroKey.data(), key.data()), KESTREL_OK);
    ASSERT_EQ(DF_FormatCard(session), KESTREL_OK);
    aidCount = 28;
    ASSERT_EQ(DF_ListApps(session, aids, &aidCount), KESTREL_OK);
    EXPECT_EQ(aidCount, 0);
}

// A card whose MAC or cryptogram is spoiled: the library refuses the answer and leaves the
// caller's buffer alone.
TEST_P(DesfireFilesTest, SpoiledAnswersAreRefused) {
    ASSERT_EQ(DF_CreateStdFile(session, 1, DF_COMM_MACED, kKey0Rights, 32), KESTREL_OK);
    ASSERT_EQ(DF_CreateStdFile(session, 2, DF_COMM_ENCIPHERED, kKey0Rights, 32), KESTREL_OK);
    const Bytes data = Pattern(16, 7);
    ASSERT_EQ(DF_WriteData(session, 1, DF_COMM_MACED, 0, 16, data.data(), key.data()), KESTREL_OK);
    ASSERT_EQ(DF_WriteData(session, 2, DF_COMM_ENCIPHERED, 0, 16, data.data(), key.data()),
              KESTREL_OK);
    const struct {
        uint8_t file;
        int mode;
        Result expected;
    } cases[] = {{1, DF_COMM_MACED, KESTREL_ERR_DF_BAD_MAC},
                 {2, DF_COMM_ENCIPHERED, KESTREL_ERR_DF_BAD_CRC}};
    for (const auto& c : cases) {
        desfire->SpoilNextProtectedAnswer();
        Bytes out(16, 0xCC);
        uint32_t length = 16;
        EXPECT_EQ(DF_ReadData(session, c.file, c.mode, 0, &length, out.data(), key.data()),
                  c.expected);
        EXPECT_EQ(out, Bytes(16, 0xCC));
        EXPECT_EQ(length, 16u);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, DesfireFilesTest,
                         ::testing::Values(Transport::kInProcess, Transport::kUsb), TransportName);

}  // namespace
}  // namespace kestrel::test
