// The virtual DESFire card's applications and files, byte by byte: create, list, select,
// delete and format under the key settings; every file kind with its settings; capacity; the
// state file with applications and files.
#include <gtest/gtest.h>

#include "sim/desfire_host.h"

namespace kestrel::sim {
namespace {

using test::Access;
using test::Concat;
using test::Le;
namespace df = desfire;
namespace cmd = df::command;
namespace st = df::status;

class DesfireAppsTest : public test::DesfireHostTest {};

TEST_F(DesfireAppsTest, ApplicationLifecycle) {
    EXPECT_EQ(Native({cmd::kGetApplicationIds}), Bytes{0x00});  // none yet
    const std::vector<std::pair<Bytes, Bytes>> steps = {
        {Concat({{cmd::kCreateApplication}, {0x56, 0x34, 0x12, 0x0F, 0x02}}), {0x00}},
        {Concat({{cmd::kCreateApplication}, {0x56, 0x34, 0x12, 0x0F, 0x02}}),
         {st::kDuplicateError}},
        {Concat({{cmd::kCreateApplication}, {0x00, 0x00, 0x00, 0x0F, 0x02}}),
         {st::kParameterError}},
        {Concat({{cmd::kCreateApplication}, {0x01, 0x00, 0x00, 0x0F, 0x00}}),
         {st::kParameterError}},
        {Concat({{cmd::kCreateApplication}, {0x01, 0x00, 0x00, 0x0F, 0x0F}}),
         {st::kParameterError}},
        {Concat({{cmd::kCreateApplication}, {0x01, 0x00, 0x00, 0x0F, 0xC2}}),
         {st::kParameterError}},
        {Concat({{cmd::kCreateApplication}, {0x01, 0x00, 0x00, 0x0F}}), {st::kLengthError}},
        {Concat({{cmd::kCreateApplication}, {0x01, 0x00, 0x00, 0x2F, 0x0E}}), {0x00}},
        {{cmd::kGetApplicationIds}, {0x00, 0x56, 0x34, 0x12, 0x01, 0x00, 0x00}},
        {{cmd::kSelectApplication, 0x01, 0x00, 0x00}, {0x00}},
        {{cmd::kGetKeySettings}, {0x00, 0x2F, 0x0E}},
        // Applications are created and listed at the card level only.
        {Concat({{cmd::kCreateApplication}, {0x02, 0x00, 0x00, 0x0F, 0x01}}),
         {st::kPermissionDenied}},
        {{cmd::kGetApplicationIds}, {st::kPermissionDenied}},
        {{cmd::kSelectApplication, 0x00, 0x00, 0x00}, {0x00}},
        // Deletion needs the card master key.
        {{cmd::kDeleteApplication, 0x56, 0x34, 0x12}, {st::kAuthenticationError}},
        {{cmd::kFormatPicc}, {st::kAuthenticationError}},
    };
    for (const auto& [command, answer] : steps) EXPECT_EQ(Run(command), answer) << ToHex(command);

    MustAuthenticate(0);
    EXPECT_EQ(Native({cmd::kDeleteApplication, 0x56, 0x34, 0x12}), Bytes{0x00});
    EXPECT_EQ(Native({cmd::kDeleteApplication, 0x56, 0x34, 0x12}), Bytes{st::kApplicationNotFound});
    EXPECT_EQ(Native({cmd::kDeleteApplication, 0x00, 0x00, 0x00}), Bytes{st::kParameterError});
    EXPECT_EQ(Select(0x123456), Bytes{st::kApplicationNotFound});
    EXPECT_EQ(Run({cmd::kGetApplicationIds}), (Bytes{0x00, 0x01, 0x00, 0x00}));

    // An application's own master key deletes it while it is selected.
    ASSERT_EQ(Select(0x000001), Bytes{0x00});
    MustAuthenticate(1);
    EXPECT_EQ(Native({cmd::kDeleteApplication, 0x01, 0x00, 0x00}), Bytes{st::kAuthenticationError});
    ASSERT_EQ(Select(0x000001), Bytes{0x00});
    MustAuthenticate(0);
    EXPECT_EQ(Native({cmd::kDeleteApplication, 0x01, 0x00, 0x00}), Bytes{0x00});
    EXPECT_EQ(card_->SelectedApplication().aid, df::kCardLevel);
    EXPECT_EQ(card_->Applications().size(), 1u);
}

TEST_F(DesfireAppsTest, TwentyEightApplicationsListedOverTwoFrames) {
    card_->SetCapacity(8192);
    Bytes expected = {0x00};
    for (uint32_t i = 1; i <= 28; ++i) {
        ASSERT_EQ(CreateApp(0x100000 + i, 0x0F, 1), Bytes{0x00}) << i;
        const Bytes aid = Le(0x100000 + i, 3);
        expected.insert(expected.end(), aid.begin(), aid.end());
    }
    EXPECT_EQ(CreateApp(0x200000, 0x0F, 1), Bytes{st::kCountError});
    // 19 whole AIDs (57 bytes) in the first frame, 9 in the second.
    const Bytes first = Native({cmd::kGetApplicationIds});
    ASSERT_EQ(first.size(), 58u);
    EXPECT_EQ(first[0], st::kAdditionalFrame);
    const Bytes second = Native({cmd::kAdditionalFrame});
    ASSERT_EQ(second.size(), 28u);
    EXPECT_EQ(second[0], 0x00);
    EXPECT_EQ(Concat({{0x00},
                      Bytes(first.begin() + 1, first.end()),
                      Bytes(second.begin() + 1, second.end())}),
              expected);

    MustAuthenticate(0);
    EXPECT_EQ(Native({cmd::kFormatPicc}), Bytes{0x00});
    EXPECT_EQ(Native({cmd::kGetApplicationIds}), Bytes{0x00});
    EXPECT_EQ(card_->Applications()[0].keySettings, 0x0F);  // the card level stays
}

// What the key settings allow without and with the master key.
struct SettingsCase {
    const char* name;
    uint8_t cardSettings;
    uint8_t appSettings;
    Bytes command;
    bool atCardLevel;
    uint8_t withoutKey;  // status without authentication
};
class KeySettingsRuleTest : public test::DesfireHostTest,
                            public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(KeySettingsRuleTest, MasterKeyNeededUnlessTheSettingsFreeIt) {
    const SettingsCase c = GetParam();
    ASSERT_TRUE(card_->AddApplication({0x01, 0x00, 0x00}, c.appSettings, 2));
    card_->FindApplication({0x01, 0x00, 0x00})
        ->files.emplace(3, df::File{});  // a standard file for the settings queries
    card_->FindApplication({0x01, 0x00, 0x00})->files[3].data.assign(8, 0);
    card_->FindApplication(df::kCardLevel)->keySettings = c.cardSettings;
    const uint32_t aid = c.atCardLevel ? 0 : 1;
    ASSERT_EQ(Select(aid), Bytes{0x00});
    EXPECT_EQ(Native(c.command).at(0), c.withoutKey);
    if (c.withoutKey == 0x00) return;
    if (!c.atCardLevel) {
        ASSERT_EQ(Select(aid), Bytes{0x00});
        MustAuthenticate(1);
        EXPECT_EQ(Native(c.command), Bytes{st::kAuthenticationError}) << "not the master key";
    }
    ASSERT_EQ(Select(aid), Bytes{0x00});
    MustAuthenticate(0);
    EXPECT_EQ(Native(c.command).at(0), 0x00);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeySettingsRuleTest,
    ::testing::Values(
        SettingsCase{"create_app_free", 0x0F, 0x0F, {0xCA, 9, 0, 0, 0x0F, 1}, true, 0x00},
        SettingsCase{"create_app_needs_key", 0x0B, 0x0F, {0xCA, 9, 0, 0, 0x0F, 1}, true, 0xAE},
        SettingsCase{"list_apps_free", 0x0F, 0x0F, {0x6A}, true, 0x00},
        SettingsCase{"list_apps_needs_key", 0x0D, 0x0F, {0x6A}, true, 0xAE},
        SettingsCase{
            "create_file_free", 0x0F, 0x0F, {0xCD, 1, 0, 0xEE, 0xEE, 8, 0, 0}, false, 0x00},
        SettingsCase{
            "create_file_needs_key", 0x0F, 0x0B, {0xCD, 1, 0, 0xEE, 0xEE, 8, 0, 0}, false, 0xAE},
        SettingsCase{"delete_file_needs_key", 0x0F, 0x0B, {0xDF, 3}, false, 0xAE},
        SettingsCase{"file_ids_free", 0x0F, 0x0F, {0x6F}, false, 0x00},
        SettingsCase{"file_ids_need_key", 0x0F, 0x0D, {0x6F}, false, 0xAE},
        SettingsCase{"file_settings_need_key", 0x0F, 0x0D, {0xF5, 3}, false, 0xAE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesfireAppsTest, EveryFileKindAndItsSettings) {
    MakeApp(0x000001);
    // Access rights read 1, write 2, read-and-write 3, change 4 travel as 34 12.
    const Bytes access = Access(1, 2, 3, 4);
    ASSERT_EQ(access, (Bytes{0x34, 0x12}));
    EXPECT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 0, 0, access, 0x120), Bytes{0x00});
    EXPECT_EQ(CreateDataFile(cmd::kCreateBackupDataFile, 1, 1, access, 32), Bytes{0x00});
    EXPECT_EQ(CreateValueFile(2, 3, access, -100, 1000, 10, 1), Bytes{0x00});
    // 0xC0 creates a cyclic record file, 0xC1 a linear one.
    EXPECT_EQ(CreateRecordFile(cmd::kCreateCyclicRecordFile, 3, 0, access, 5, 4), Bytes{0x00});
    EXPECT_EQ(CreateRecordFile(cmd::kCreateLinearRecordFile, 15, 1, access, 16, 3), Bytes{0x00});

    const std::vector<std::pair<Bytes, Bytes>> answers = {
        {{cmd::kGetFileIds}, {0x00, 0, 1, 2, 3, 15}},
        {{cmd::kGetFileSettings, 0}, {0x00, 0, 0, 0x34, 0x12, 0x20, 0x01, 0x00}},
        {{cmd::kGetFileSettings, 1}, {0x00, 1, 1, 0x34, 0x12, 32, 0, 0}},
        {{cmd::kGetFileSettings, 2},
         Concat({{0x00, 2, 3, 0x34, 0x12},
                 Le(static_cast<uint32_t>(-100), 4),
                 Le(1000, 4),
                 Le(0, 4),
                 {1}})},
        {{cmd::kGetFileSettings, 3}, {0x00, 4, 0, 0x34, 0x12, 5, 0, 0, 4, 0, 0, 0, 0, 0}},
        {{cmd::kGetFileSettings, 15}, {0x00, 3, 1, 0x34, 0x12, 16, 0, 0, 3, 0, 0, 0, 0, 0}},
        {{cmd::kGetFileSettings, 4}, {st::kFileNotFound}},
        {{cmd::kGetFileSettings}, {st::kLengthError}},
    };
    for (const auto& [command, answer] : answers) EXPECT_EQ(Run(command), answer) << ToHex(command);

    // Refusals when creating.
    const std::vector<std::pair<Bytes, uint8_t>> refusals = {
        {CreateDataFile(cmd::kCreateStdDataFile, 0, 0, access, 8), st::kDuplicateError},
        {CreateDataFile(cmd::kCreateStdDataFile, 16, 0, access, 8), st::kParameterError},
        {CreateDataFile(cmd::kCreateStdDataFile, 5, 2, access, 8), st::kParameterError},
        {CreateDataFile(cmd::kCreateStdDataFile, 5, 0, access, 0), st::kParameterError},
        {CreateValueFile(5, 0, access, 10, 5, 7, 0), st::kParameterError},
        {CreateValueFile(5, 0, access, 0, 5, 7, 0), st::kBoundaryError},
        {CreateRecordFile(cmd::kCreateCyclicRecordFile, 5, 0, access, 8, 1), st::kParameterError},
        {CreateRecordFile(cmd::kCreateLinearRecordFile, 5, 0, access, 0, 1), st::kParameterError},
        {Native({cmd::kCreateStdDataFile, 5, 0, 0xEE, 0xEE, 8, 0}), st::kLengthError},
    };
    for (size_t i = 0; i < refusals.size(); ++i) {
        EXPECT_EQ(refusals[i].first, Bytes{refusals[i].second}) << i;
    }

    EXPECT_EQ(Native({cmd::kDeleteFile, 3}), Bytes{0x00});
    EXPECT_EQ(Native({cmd::kDeleteFile, 3}), Bytes{st::kFileNotFound});
    EXPECT_EQ(Run({cmd::kGetFileIds}), (Bytes{0x00, 0, 1, 2, 15}));
    // No files at the card level.
    ASSERT_EQ(Select(0), Bytes{0x00});
    EXPECT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 0, 0, access, 8),
              Bytes{st::kPermissionDenied});
    EXPECT_EQ(Native({cmd::kGetFileIds}), Bytes{st::kPermissionDenied});
}

TEST_F(DesfireAppsTest, ChangeFileSettingsPlainAndEnciphered) {
    MakeApp(0x000001);
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 1, 0, Access(1, 2, 3, 0xE), 8), Bytes{0x00});
    // A free change right takes the three plain bytes without authentication.
    EXPECT_EQ(Native({cmd::kChangeFileSettings, 1, 0x03, 0x32, 0x12}), Bytes{0x00});
    EXPECT_EQ(Run({cmd::kGetFileSettings, 1}), (Bytes{0x00, 0, 3, 0x32, 0x12, 8, 0, 0}));
    // Now key 2 changes them, enciphered: settings, CRC_A, three zero bytes.
    EXPECT_EQ(Native({cmd::kChangeFileSettings, 1, 0x01, 0x3E, 0x12}),
              Bytes{st::kAuthenticationError});
    MustAuthenticate(1);
    auto cryptogram = [](const test::Key16& session, const Bytes& settings, uint8_t spoil) {
        Bytes plain = Concat({settings, test::CrcABytes(settings)});
        plain[3] ^= spoil;
        plain.resize(8, 0x00);
        return Concat({{cmd::kChangeFileSettings, 1}, test::HostSend(session, plain)});
    };
    EXPECT_EQ(Native(cryptogram(test::Key16{}, {0x01, 0x3F, 0x12}, 0)),
              Bytes{st::kAuthenticationError});
    test::Key16 session = MustAuthenticate(2);
    EXPECT_EQ(Native(cryptogram(session, {0x01, 0x3F, 0x12}, 0x40)), Bytes{st::kIntegrityError});
    session = MustAuthenticate(2);
    EXPECT_EQ(Native({cmd::kChangeFileSettings, 1, 0x01, 0x3F, 0x12}), Bytes{st::kLengthError});
    session = MustAuthenticate(2);
    EXPECT_EQ(Native(cryptogram(session, {0x02, 0x3F, 0x12}, 0)), Bytes{st::kParameterError});
    session = MustAuthenticate(2);
    EXPECT_EQ(Native(cryptogram(session, {0x01, 0x3F, 0x12}, 0)), Bytes{0x00});
    EXPECT_EQ(Run({cmd::kGetFileSettings, 1}), (Bytes{0x00, 0, 1, 0x3F, 0x12, 8, 0, 0}));
    // A change right of 0xF: never again.
    EXPECT_EQ(Native({cmd::kChangeFileSettings, 1, 0x00, 0x3E, 0x12}),
              Bytes{st::kPermissionDenied});
}

TEST_F(DesfireAppsTest, CapacityLimitsApplicationsAndFiles) {
    struct {
        size_t capacity;
        uint8_t storage;
    } cases[] = {{2048, 0x16}, {4096, 0x18}, {8192, 0x1A}};
    for (const auto& c : cases) {
        ASSERT_TRUE(card_->SetCapacity(c.capacity));
        EXPECT_EQ(Native({cmd::kGetVersion}).at(6), c.storage);
        EXPECT_EQ(Run({cmd::kFreeMemory}),
                  Concat({{0x00}, Le(static_cast<uint32_t>(c.capacity), 3)}));
    }
    EXPECT_FALSE(card_->SetCapacity(1024));
    EXPECT_FALSE(card_->SetCapacity(4097));
    ASSERT_TRUE(card_->SetCapacity(2048));
    MakeApp(0x000001);  // 64 bytes
    // 32 + 1952 rounded = 1984: exactly fills 2048.
    EXPECT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 0, 0, Access(0xE, 0xE, 0xE, 0xE), 1953),
              Bytes{st::kOutOfEeprom});
    EXPECT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 0, 0, Access(0xE, 0xE, 0xE, 0xE), 1952),
              Bytes{0x00});
    EXPECT_EQ(card_->FreeMemory(), 0u);
    EXPECT_EQ(CreateValueFile(1, 0, Access(0xE, 0xE, 0xE, 0xE), 0, 1, 0, 0),
              Bytes{st::kOutOfEeprom});
    ASSERT_EQ(Select(0), Bytes{0x00});
    EXPECT_EQ(CreateApp(2, 0x0F, 1), Bytes{st::kOutOfEeprom});
    // Neither a huge file nor a capacity below what is in use.
    EXPECT_FALSE(card_->SetCapacity(2048 - 1));
    EXPECT_TRUE(card_->SetCapacity(4096));
    ASSERT_EQ(Select(1), Bytes{0x00});
    EXPECT_EQ(
        CreateDataFile(cmd::kCreateBackupDataFile, 2, 0, Access(0xE, 0xE, 0xE, 0xE), 0xFFFFFF),
        Bytes{st::kOutOfEeprom});
    ASSERT_TRUE(card_->SetCapacity(8192));
    ASSERT_EQ(Native({cmd::kDeleteFile, 0}), Bytes{0x00});
    EXPECT_FALSE(card_->SetCapacity(2048 + 1));
    EXPECT_TRUE(card_->SetCapacity(2048));
}

TEST_F(DesfireAppsTest, StateFileKeepsApplicationsFilesAndCapacity) {
    ASSERT_TRUE(card_->SetCapacity(8192));
    MakeApp(0x563412, 2, 0xEF);
    const Bytes free = Access(0xE, 0xE, 0xE, 0xE);
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 1, 0, free, 3), Bytes{0x00});
    ASSERT_EQ(Write(cmd::kWriteData, 1, 0, 3, {0xAA, 0xBB, 0xCC}), Bytes{0x00});
    ASSERT_EQ(CreateDataFile(cmd::kCreateBackupDataFile, 2, 1, Access(1, 1, 1, 0), 2), Bytes{0x00});
    ASSERT_EQ(CreateValueFile(3, 3, Access(1, 1, 0, 0), -5, 500, 42, 1), Bytes{0x00});
    ASSERT_EQ(CreateRecordFile(cmd::kCreateCyclicRecordFile, 4, 0, free, 2, 3), Bytes{0x00});
    ASSERT_EQ(Write(cmd::kWriteRecord, 4, 0, 2, {0x01, 0x02}), Bytes{0x00});
    ASSERT_EQ(Commit(), Bytes{0x00});
    ASSERT_EQ(CreateRecordFile(cmd::kCreateLinearRecordFile, 5, 0, free, 1, 1), Bytes{0x00});

    const Bytes image = card_->SaveImage();
    const std::string text(image.begin(), image.end());
    EXPECT_EQ(text.substr(0, 28), "kestrel-sim desfire state 2\n");
    for (const char* line :
         {"capacity 8192\n", "application 123456 settings EF keys 2\n",
          "file 1 standard comm 00 access EEEE data AABBCC\n",
          "file 2 backup comm 01 access 1011 data 0000\n",
          "file 3 value comm 03 access 0011 lower -5 upper 500 value 42 limited 1 limitvalue 0\n",
          "file 4 cyclic comm 00 access EEEE recordsize 2 maxrecords 3 records 1\nrecord 0102\n",
          "file 5 linear comm 00 access EEEE recordsize 1 maxrecords 1 records 0\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }

    DesfireCard copy(kUid);
    std::string error;
    ASSERT_TRUE(copy.LoadImage(image, &error)) << error;
    EXPECT_EQ(copy.Capacity(), 8192u);
    EXPECT_EQ(copy.SaveImage(), image);
    const df::File& value = copy.FindApplication({0x12, 0x34, 0x56})->files.at(3);
    EXPECT_EQ(value.value, 42);
    EXPECT_EQ(value.lowerLimit, -5);

    // A card without files and capacity stays at version 1.
    const Bytes factory = DesfireCard(kUid).SaveImage();
    EXPECT_EQ(std::string(factory.begin(), factory.begin() + 28), "kestrel-sim desfire state 1\n");
}

TEST_F(DesfireAppsTest, StateFileRefusals) {
    const std::string head = "kestrel-sim desfire state 2\nuid 0461728394A5B6\n";
    const std::string key = "key 0 00000000000000000000000000000000\n";
    const std::string level = "application 000000 settings 0F keys 1\n" + key;
    const std::string app = "application 010000 settings 0F keys 1\n" + key;
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"kestrel-sim desfire state 1\nuid 0461728394A5B6\ncapacity 2048\n" + level,
         "line 3: 'capacity' needs state file version 2"},
        {head + "capacity 1000\n" + level, "line 3: capacity must be 2048, 4096 or 8192"},
        {head + level + "capacity 2048\n", "line 5: capacity comes once, before the applications"},
        {head + level + "file 1 standard comm 00 access EEEE data 00\n",
         "line 5: file before an application"},
        {head + level + app + "file 16 standard comm 00 access EEEE data 00\n",
         "line 7: a file number is 0 to 15"},
        {head + level + app + "file 1 ring comm 00 access EEEE data 00\n",
         "line 7: file type must be standard, backup, value, linear or cyclic"},
        {head + level + app + "file 1 standard comm 02 access EEEE data 00\n",
         "line 7: comm must be 00, 01 or 03"},
        {head + level + app + "file 1 standard comm 00 access EEEE\n",
         "line 7: a data file needs: data HEX (at least one byte)"},
        {head + level + app + "file 1 standard comm 00 access EEEE data \n",
         "line 7: file needs: file N TYPE comm HH access HHHH, then its values"},
        {head + level + app +
             "file 1 value comm 00 access EEEE lower 5 upper 1 value 2 limited 0 limitvalue 0\n",
         "line 7: the value must lie within lower and upper"},
        {head + level + app +
             "file 1 cyclic comm 00 access EEEE recordsize 2 maxrecords 2 records 2\n",
         "line 7: more records than the file holds"},
        {head + level + app +
             "file 1 linear comm 00 access EEEE recordsize 2 maxrecords 2 records 1\n",
         "end of file: the last record file has fewer records than it says"},
        {head + level + app +
             "file 1 linear comm 00 access EEEE recordsize 2 maxrecords 2 records 1\nrecord 00\n",
         "line 8: a record has the file's record size in hex"},
        {head + level + app + "record 0000\n",
         "line 7: record without a record file that expects one"},
        {head + level + app +
             "file 1 standard comm 00 access EEEE data 00\nfile 1 standard comm 00 access EEEE "
             "data 00\n",
         "line 8: file 1 twice"},
        {head + level + app +
             "file 1 standard comm 00 access EEEE data 00\nkey 1 "
             "00000000000000000000000000000000\n",
         "line 8: key after the files"},
        {head + level + app +
             "file 1 linear comm 00 access EEEE recordsize 2 maxrecords 2 records 1\n"
             "file 2 standard comm 00 access EEEE data 00\n",
         "line 8: the record file before has fewer records than it says"},
        {head + level + app +
             "file 1 value comm 00 access EEEE lower 0 upper 1 value 0 limited 2 limitvalue 0\n",
         "line 7: a value file needs: lower L upper U value V limited 0|1 limitvalue C"},
        {head + level + app +
             "file 1 linear comm 00 access EEEE recordsize 0 maxrecords 2 records 0\n",
         "line 7: a record file needs: recordsize R maxrecords M records K"},
        {head + level + app + "file 1 standard comm 00 access EE data 00\n",
         "line 7: access needs 2 bytes in hex"},
        {head + level + "application 010000 settings 0F keys 2\n" + key +
             "file 1 standard comm 00 access EEEE data 00\n",
         "line 7: the application before has fewer keys than it says"},
        {"kestrel-sim desfire state 2\n" + level, "line 2: application before uid"},
        {head + key, "line 3: key before application"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(df::ParseStateFile(c.text, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

}  // namespace
}  // namespace kestrel::sim
