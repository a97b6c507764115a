// The virtual DESFire card's file contents, byte by byte: data in plain, MACed and enciphered
// mode across frame boundaries both ways, values with limits and limited credit, linear and
// cyclic records, transactions, access rights, integrity errors and the spoiled-answer hook.
#include <gtest/gtest.h>

#include "sim/desfire_host.h"

namespace kestrel::sim {
namespace {

using test::Access;
using test::Concat;
using test::HostProtect;
using test::HostUnprotect;
using test::Key16;
using test::Le;
namespace df = desfire;
namespace cmd = df::command;
namespace st = df::status;

Bytes Pattern(size_t length, uint8_t seed) {
    Bytes data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
    return data;
}

class DesfireDataTest : public test::DesfireHostTest {
  protected:
    // ReadData or ReadRecords: the status and the plain data, checked in `mode`.
    std::pair<uint8_t, Bytes> Read(uint8_t code, uint8_t file, uint32_t offset, uint32_t length,
                                   uint8_t mode, const Key16& session, size_t expected) {
        const Bytes answer = Run(Concat({{code, file}, Le(offset, 3), Le(length, 3)}));
        if (answer.empty()) return {0xFF, {}};
        if (answer[0] != 0x00) return {answer[0], {}};
        const auto [data, problem] =
            HostUnprotect(mode, session, Bytes(answer.begin() + 1, answer.end()), expected);
        EXPECT_EQ(problem, "");
        return {0x00, data};
    }
};

// Writes and reads of a standard file in each mode; the lengths cross the frame boundaries.
struct TransferCase {
    uint8_t mode;
    uint32_t offset;
    uint32_t length;
    int writeFrames;  // continuation frames of the write
};
class DataTransferTest : public DesfireDataTest,
                         public ::testing::WithParamInterface<TransferCase> {};

TEST_P(DataTransferTest, WriteThenRead) {
    const TransferCase c = GetParam();
    card_->SetCapacity(8192);
    MakeApp(0x000001);
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 1, c.mode, Access(1, 2, 0, 0), 1024),
              Bytes{0x00});
    const Bytes data = Pattern(c.length, c.mode);
    Key16 session = MustAuthenticate(2);
    const Bytes payload = HostProtect(c.mode, session, data);
    continuations_ = 0;
    EXPECT_EQ(Write(cmd::kWriteData, 1, c.offset, c.length, payload), Bytes{0x00});
    EXPECT_EQ(continuations_, c.writeFrames);
    const df::File& file = card_->SelectedApplication().files.at(1);
    EXPECT_EQ(Bytes(file.data.begin() + c.offset, file.data.begin() + c.offset + c.length), data);

    session = MustAuthenticate(1);
    continuations_ = 0;
    const auto [status, read] =
        Read(cmd::kReadData, 1, c.offset, c.length, c.mode, session, c.length);
    EXPECT_EQ(status, 0x00);
    EXPECT_EQ(read, data);
    // The answer goes out in frames of 59 bytes.
    const int answerFrames = static_cast<int>((payload.size() + 58) / 59);
    EXPECT_EQ(continuations_, std::max(answerFrames, 1) - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DataTransferTest,
    ::testing::Values(
        // 100 plain bytes: a 60-byte first frame and a continuation of 0xAF and 48 bytes.
        TransferCase{0, 0, 100, 1}, TransferCase{1, 0, 100, 1}, TransferCase{3, 0, 100, 1},
        TransferCase{0, 24, 1000, 17}, TransferCase{1, 0, 1000, 17}, TransferCase{3, 7, 1000, 17},
        TransferCase{0, 0, 52, 0}, TransferCase{1, 0, 48, 0}, TransferCase{1, 0, 49, 1},
        TransferCase{3, 0, 46, 0}, TransferCase{3, 0, 47, 1}, TransferCase{1, 3, 8, 0},
        TransferCase{3, 0, 6, 0}, TransferCase{3, 0, 16, 0}, TransferCase{1, 1023, 1, 0},
        TransferCase{3, 1000, 24, 0}),
    [](const auto& info) {
        return "mode" + std::to_string(info.param.mode) + "_at" +
               std::to_string(info.param.offset) + "_len" + std::to_string(info.param.length);
    });

TEST_F(DesfireDataTest, ReadAndWriteBounds) {
    MakeApp(0x000001);
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 1, 0, Access(0xE, 0xE, 0xE, 0xE), 10),
              Bytes{0x00});
    ASSERT_EQ(Write(cmd::kWriteData, 1, 2, 3, {7, 8, 9}), Bytes{0x00});
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        // Length 0 reads to the end of the file.
        {{cmd::kReadData, 1, 0, 0, 0, 0, 0, 0}, {0x00, 0, 0, 7, 8, 9, 0, 0, 0, 0, 0}},
        {{cmd::kReadData, 1, 4, 0, 0, 0, 0, 0}, {0x00, 9, 0, 0, 0, 0, 0}},
        {{cmd::kReadData, 1, 9, 0, 0, 1, 0, 0}, {0x00, 0}},
        {{cmd::kReadData, 1, 9, 0, 0, 2, 0, 0}, {st::kBoundaryError}},
        {{cmd::kReadData, 1, 10, 0, 0, 0, 0, 0}, {st::kBoundaryError}},
        {{cmd::kReadData, 2, 0, 0, 0, 0, 0, 0}, {st::kFileNotFound}},
        {{cmd::kReadData, 1, 0, 0, 0, 0, 0}, {st::kLengthError}},
        {{cmd::kWriteData, 1, 8, 0, 0, 3, 0, 0, 1, 2, 3}, {st::kBoundaryError}},
        {{cmd::kWriteData, 1, 0, 0, 0, 0, 0, 0}, {st::kLengthError}},
        // Data missing: the card waits for it in 0xAF frames.
        {{cmd::kWriteData, 1, 0, 0, 0, 2, 0, 0, 1}, {st::kAdditionalFrame}},
        {{cmd::kWriteData, 1, 0, 0, 0, 1, 0, 0, 1, 2}, {st::kLengthError}},
        {{cmd::kWriteData, 1, 0, 0}, {st::kLengthError}},
    };
    for (const auto& [command, answer] : cases) {
        EXPECT_EQ(Native(command), answer) << ToHex(command);
    }
}

TEST_F(DesfireDataTest, BackupFileChangesOnlyOnCommit) {
    MakeApp(0x000001);
    ASSERT_EQ(CreateDataFile(cmd::kCreateBackupDataFile, 1, 0, Access(0xE, 0xE, 0xE, 0xE), 4),
              Bytes{0x00});
    const Bytes readAll = {cmd::kReadData, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Commit(), Bytes{st::kNoChanges});
    EXPECT_EQ(Abort(), Bytes{st::kNoChanges});
    ASSERT_EQ(Write(cmd::kWriteData, 1, 0, 2, {1, 2}), Bytes{0x00});
    ASSERT_EQ(Write(cmd::kWriteData, 1, 2, 2, {3, 4}), Bytes{0x00});
    EXPECT_EQ(Run(readAll), (Bytes{0x00, 0, 0, 0, 0}));
    EXPECT_EQ(Commit(), Bytes{0x00});
    EXPECT_EQ(Run(readAll), (Bytes{0x00, 1, 2, 3, 4}));
    EXPECT_EQ(Commit(), Bytes{st::kNoChanges});

    // Abort, a selection and an authentication each discard the changes.
    const std::vector<std::function<void()>> discards = {
        [&] { EXPECT_EQ(Abort(), Bytes{0x00}); },
        [&] { EXPECT_EQ(Select(0x000001), Bytes{0x00}); },
        [&] { MustAuthenticate(0); },
    };
    for (size_t i = 0; i < discards.size(); ++i) {
        ASSERT_EQ(Write(cmd::kWriteData, 1, 0, 1, {9}), Bytes{0x00});
        discards[i]();
        EXPECT_EQ(Commit(), Bytes{st::kNoChanges}) << i;
        EXPECT_EQ(Run(readAll), (Bytes{0x00, 1, 2, 3, 4})) << i;
    }
    // "No changes" does not end the authentication.
    MustAuthenticate(0);
    EXPECT_EQ(Commit(), Bytes{st::kNoChanges});
    EXPECT_EQ(card_->AuthenticatedKey(), 0);
}

class ValueFileTest : public DesfireDataTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(ValueFileTest, CreditDebitLimitedCreditAndLimits) {
    const uint8_t mode = GetParam();
    MakeApp(0x000001, 4);
    // Read 1, write 2, read-and-write 3.
    ASSERT_EQ(CreateValueFile(1, mode, Access(1, 2, 3, 0), -10, 100, 0, 1), Bytes{0x00});
    ASSERT_EQ(CreateValueFile(2, mode, Access(1, 2, 3, 0), 0, 100, 0, 0), Bytes{0x00});
    Key16 session = MustAuthenticate(3);
    const struct {
        uint8_t code;  // 0: commit, 1: abort
        int32_t amount;
        uint8_t status;
        int32_t value;  // GetValue afterwards
    } steps[] = {
        {cmd::kCredit, 50, 0x00, 0},                // visible on commit only
        {0, 0, 0x00, 50},                           // commit
        {cmd::kDebit, 70, st::kBoundaryError, 50},  // below the lower limit -10
        {cmd::kDebit, 30, 0x00, 50},
        {cmd::kDebit, 25, 0x00, 50},  // debits add up in the transaction
        {0, 0, 0x00, -5},
        {cmd::kLimitedCredit, 56, st::kBoundaryError, -5},  // at most the 55 debited
        {cmd::kLimitedCredit, 55, 0x00, -5},
        {0, 0, 0x00, 50},
        {cmd::kLimitedCredit, 1, st::kBoundaryError, 50},  // used up
        {cmd::kDebit, 10, 0x00, 50},
        {0, 0, 0x00, 40},
        {cmd::kLimitedCredit, 5, 0x00, 40},
        {cmd::kLimitedCredit, 5, st::kPermissionDenied, 40},  // once per transaction
        {cmd::kCredit, 61, st::kBoundaryError, 40},           // above the upper limit 100
        {cmd::kCredit, 60, 0x00, 40},
        {1, 0, 0x00, 40},  // abort
        {cmd::kCredit, -1, st::kParameterError, 40},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& step = steps[i];
        Bytes answer;
        if (step.code == 0) {
            answer = Commit();
        } else if (step.code == 1) {
            answer = Abort();
        } else {
            answer = ChangeValue(step.code, 1, mode, session, step.amount);
        }
        EXPECT_EQ(answer, Bytes{step.status}) << "step " << i;
        // An error ends the authentication; the next one discards the transaction.
        if (step.status != 0x00) session = MustAuthenticate(3);
        EXPECT_EQ(Value(1, mode, session), step.value) << "step " << i;
    }
    // The limit of a limited credit shows in the file settings.
    ASSERT_EQ(ChangeValue(cmd::kDebit, 1, mode, session, 7), Bytes{0x00});
    ASSERT_EQ(Commit(), Bytes{0x00});
    EXPECT_EQ(Run({cmd::kGetFileSettings, 1}), Concat({{0x00, 2, mode, 0x30, 0x12},
                                                       Le(static_cast<uint32_t>(-10), 4),
                                                       Le(100, 4),
                                                       Le(7, 4),
                                                       {1}}));
    // Without limited credit enabled.
    EXPECT_EQ(ChangeValue(cmd::kLimitedCredit, 2, mode, session, 0), Bytes{st::kPermissionDenied});
}

INSTANTIATE_TEST_SUITE_P(Modes, ValueFileTest, ::testing::Values(0, 1, 3),
                         [](const auto& info) { return "mode" + std::to_string(info.param); });

// Which key each value operation needs.
TEST_F(DesfireDataTest, ValueOperationRights) {
    MakeApp(0x000001, 4);
    ASSERT_EQ(CreateValueFile(1, 0, Access(1, 2, 3, 0), 0, 1000, 500, 1), Bytes{0x00});
    const struct {
        uint8_t code;
        uint8_t key;
        uint8_t status;
    } cases[] = {
        {cmd::kGetValue, 1, 0x00},
        {cmd::kGetValue, 2, 0x00},
        {cmd::kGetValue, 3, 0x00},
        {cmd::kGetValue, 0, st::kAuthenticationError},
        {cmd::kDebit, 1, 0x00},
        {cmd::kDebit, 2, 0x00},
        {cmd::kDebit, 3, 0x00},
        {cmd::kDebit, 0, st::kAuthenticationError},
        {cmd::kCredit, 1, st::kAuthenticationError},
        {cmd::kCredit, 2, st::kAuthenticationError},
        {cmd::kCredit, 3, 0x00},
        {cmd::kLimitedCredit, 1, st::kAuthenticationError},
        {cmd::kLimitedCredit, 2, st::kBoundaryError},  // allowed, but nothing was debited
        {cmd::kLimitedCredit, 3, st::kBoundaryError},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Select(0x000001), Bytes{0x00});
        MustAuthenticate(c.key);
        const Bytes command =
            c.code == cmd::kGetValue ? Bytes{c.code, 1} : Concat({{c.code, 1}, Le(1, 4)});
        EXPECT_EQ(Native(command).at(0), c.status)
            << "command " << int(c.code) << " key " << int(c.key);
    }
}

struct RecordCase {
    uint8_t mode;
    uint32_t recordSize;
};
class RecordFileTest : public DesfireDataTest, public ::testing::WithParamInterface<RecordCase> {
  protected:
    Bytes WriteRecord(uint8_t file, uint32_t offset, const Bytes& data, const Key16& session) {
        return Write(cmd::kWriteRecord, file, offset, static_cast<uint32_t>(data.size()),
                     HostProtect(GetParam().mode, session, data));
    }
    std::pair<uint8_t, Bytes> Records(uint8_t file, uint32_t offset, uint32_t count,
                                      size_t expected, const Key16& session) {
        return Read(cmd::kReadRecords, file, offset, count, GetParam().mode, session,
                    expected * GetParam().recordSize);
    }
};

TEST_P(RecordFileTest, LinearFileFillsUp) {
    const RecordCase c = GetParam();
    MakeApp(0x000001);
    ASSERT_EQ(CreateRecordFile(cmd::kCreateLinearRecordFile, 1, c.mode, Access(1, 1, 1, 0),
                               c.recordSize, 3),
              Bytes{0x00});
    Key16 session = MustAuthenticate(1);
    std::vector<Bytes> records;
    for (uint8_t i = 0; i < 3; ++i) {
        records.push_back(Pattern(c.recordSize, static_cast<uint8_t>(0x40 * i)));
        ASSERT_EQ(WriteRecord(1, 0, records.back(), session), Bytes{0x00}) << int(i);
        // Not there before the commit.
        EXPECT_EQ(card_->SelectedApplication().files.at(1).records.size(), i);
        ASSERT_EQ(Commit(), Bytes{0x00});
    }
    EXPECT_EQ(WriteRecord(1, 0, records[0], session), Bytes{st::kBoundaryError});
    session = MustAuthenticate(1);
    EXPECT_EQ(Records(1, 0, 0, 3, session).second, Concat({records[0], records[1], records[2]}));
    EXPECT_EQ(Records(1, 0, 1, 1, session).second, records[2]);  // offset 0: the newest
    EXPECT_EQ(Records(1, 1, 2, 2, session).second, Concat({records[0], records[1]}));
    EXPECT_EQ(Records(1, 2, 2, 2, session).first, st::kBoundaryError);
    session = MustAuthenticate(1);
    EXPECT_EQ(Records(1, 3, 0, 0, session).first, st::kBoundaryError);
    session = MustAuthenticate(1);
    EXPECT_EQ(Native({cmd::kClearRecordFile, 1}), Bytes{0x00});
    EXPECT_EQ(Records(1, 0, 1, 1, session).second, records[2]);  // until the commit
    ASSERT_EQ(Commit(), Bytes{0x00});
    EXPECT_EQ(Records(1, 0, 0, 0, session).first, st::kBoundaryError);
}

TEST_P(RecordFileTest, CyclicFileWrapsAndWritesPartsOfOneRecord) {
    const RecordCase c = GetParam();
    MakeApp(0x000001);
    // 0xC0 is the cyclic file: four records, three of them kept.
    ASSERT_EQ(CreateRecordFile(cmd::kCreateCyclicRecordFile, 2, c.mode, Access(1, 1, 1, 0),
                               c.recordSize, 4),
              Bytes{0x00});
    Key16 session = MustAuthenticate(1);
    std::vector<Bytes> written;
    for (uint8_t i = 0; i < 5; ++i) {
        Bytes record = Pattern(c.recordSize, static_cast<uint8_t>(0x11 * i));
        // Two writes in one transaction fill one record: the head, then the rest.
        const size_t head = c.recordSize / 2;
        ASSERT_EQ(WriteRecord(2, 0, Bytes(record.begin(), record.begin() + head), session),
                  Bytes{0x00});
        ASSERT_EQ(WriteRecord(2, static_cast<uint32_t>(head),
                              Bytes(record.begin() + head, record.end()), session),
                  Bytes{0x00});
        ASSERT_EQ(Commit(), Bytes{0x00});
        written.push_back(record);
    }
    EXPECT_EQ(Records(2, 0, 0, 3, session).second, Concat({written[2], written[3], written[4]}));
    EXPECT_EQ(Run({cmd::kGetFileSettings, 2}),
              Concat({{0x00, 4, c.mode, 0x10, 0x11}, Le(c.recordSize, 3), Le(4, 3), Le(3, 3)}));
    // Beyond the record.
    EXPECT_EQ(WriteRecord(2, 1, Bytes(c.recordSize, 0), session), Bytes{st::kBoundaryError});
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordFileTest,
                         ::testing::Values(RecordCase{0, 5}, RecordCase{1, 5}, RecordCase{3, 5},
                                           RecordCase{0, 16}, RecordCase{1, 16}, RecordCase{3, 16},
                                           RecordCase{3, 30}, RecordCase{1, 61}),
                         [](const auto& info) {
                             return "mode" + std::to_string(info.param.mode) + "_size" +
                                    std::to_string(info.param.recordSize);
                         });

// Access rights of a standard file in enciphered mode: which authentication reads or writes,
// and how the data travels.
struct RightsCase {
    const char* name;
    Bytes access;
    std::optional<uint8_t> key;
    bool write;
    uint8_t status;
    uint8_t travels;  // the mode the data travels in when allowed
};
class FileRightsTest : public DesfireDataTest, public ::testing::WithParamInterface<RightsCase> {};

TEST_P(FileRightsTest, Rights) {
    const RightsCase c = GetParam();
    MakeApp(0x000001, 4);
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 1, 3, c.access, 8), Bytes{0x00});
    Key16 session{};
    if (c.key) session = MustAuthenticate(*c.key);
    const Bytes data = Pattern(5, 1);
    if (c.write) {
        EXPECT_EQ(Write(cmd::kWriteData, 1, 0, 5, HostProtect(c.travels, session, data)),
                  Bytes{c.status});
        if (c.status == 0x00) {
            EXPECT_EQ(Bytes(card_->SelectedApplication().files.at(1).data.begin(),
                            card_->SelectedApplication().files.at(1).data.begin() + 5),
                      data);
        }
    } else {
        card_->FindApplication({1, 0, 0})->files.at(1).data = Pattern(8, 1);
        const auto [status, read] = Read(cmd::kReadData, 1, 0, 5, c.travels, session, 5);
        EXPECT_EQ(status, c.status);
        if (status == 0x00) {
            EXPECT_EQ(read, data);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileRightsTest,
    ::testing::Values(RightsCase{"read_key", Access(1, 2, 3, 0), 1, false, 0x00, 3},
                      RightsCase{"read_with_rw_key", Access(1, 2, 3, 0), 3, false, 0x00, 3},
                      RightsCase{"read_with_write_key", Access(1, 2, 3, 0), 2, false, 0xAE, 3},
                      RightsCase{"read_unauthenticated", Access(1, 2, 3, 0), {}, false, 0xAE, 3},
                      RightsCase{"read_free_plain", Access(0xE, 2, 3, 0), {}, false, 0x00, 0},
                      RightsCase{"read_free_key_other", Access(0xE, 2, 3, 0), 2, false, 0x00, 0},
                      RightsCase{"read_rw_key_with_free_read", Access(0xE, 2, 3, 0), 3, false, 0x00,
                                 3},
                      RightsCase{"read_never", Access(0xF, 2, 0xF, 0), 2, false, 0x9D, 3},
                      RightsCase{"write_key", Access(1, 2, 3, 0), 2, true, 0x00, 3},
                      RightsCase{"write_with_rw_key", Access(1, 2, 3, 0), 3, true, 0x00, 3},
                      RightsCase{"write_with_read_key", Access(1, 2, 3, 0), 1, true, 0xAE, 3},
                      RightsCase{"write_free_plain", Access(1, 0xE, 3, 0), {}, true, 0x00, 0},
                      RightsCase{"write_never", Access(1, 0xF, 0xF, 0), 1, true, 0x9D, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesfireDataTest, DamagedProtectionIsAnIntegrityError) {
    MakeApp(0x000001);
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 1, 1, Access(1, 1, 1, 0), 64), Bytes{0x00});
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 3, 3, Access(1, 1, 1, 0), 64), Bytes{0x00});
    ASSERT_EQ(CreateValueFile(4, 1, Access(1, 1, 1, 0), 0, 100, 0, 0), Bytes{0x00});
    const Bytes data = Pattern(20, 9);
    const struct {
        const char* name;
        uint8_t code;
        uint8_t file;
        uint8_t mode;
        size_t spoilAt;  // index into the payload to flip; npos: one byte too many
        uint8_t status;
    } cases[] = {
        {"mac_data", cmd::kWriteData, 1, 1, 3, st::kIntegrityError},
        {"mac_itself", cmd::kWriteData, 1, 1, 22, st::kIntegrityError},
        {"cryptogram", cmd::kWriteData, 3, 3, 17, st::kIntegrityError},
        {"cryptogram_long", cmd::kWriteData, 3, 3, std::string::npos, st::kLengthError},
        {"value_mac", cmd::kCredit, 4, 1, 5, st::kIntegrityError},
    };
    for (const auto& c : cases) {
        Key16 session = MustAuthenticate(1);
        const Bytes plain = c.code == cmd::kCredit ? Le(5, 4) : data;
        Bytes payload = HostProtect(c.mode, session, plain);
        if (c.spoilAt == std::string::npos) {
            payload.push_back(0x00);
        } else {
            payload[c.spoilAt] ^= 0x20;
        }
        const Bytes answer = c.code == cmd::kCredit ? Native(Concat({{c.code, c.file}, payload}))
                                                    : Write(c.code, c.file, 0, 20, payload);
        EXPECT_EQ(answer, Bytes{c.status}) << c.name;
        EXPECT_FALSE(card_->AuthenticatedKey()) << c.name;
    }
    for (const auto& [number, file] : card_->SelectedApplication().files) {
        if (file.type == df::file_type::kStandard) {
            EXPECT_EQ(file.data, Bytes(64, 0)) << number;
        }
    }
    EXPECT_EQ(Commit(), Bytes{st::kNoChanges});
}

TEST_F(DesfireDataTest, SpoiledAnswerFailsTheHostsCheckOnce) {
    MakeApp(0x000001);
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 0, 0, Access(1, 1, 1, 0), 16), Bytes{0x00});
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 1, 1, Access(1, 1, 1, 0), 16), Bytes{0x00});
    ASSERT_EQ(CreateDataFile(cmd::kCreateStdDataFile, 3, 3, Access(1, 1, 1, 0), 16), Bytes{0x00});
    ASSERT_EQ(CreateValueFile(4, 3, Access(1, 1, 1, 0), 0, 100, 42, 0), Bytes{0x00});
    const Key16 session = MustAuthenticate(1);
    auto read = [&](uint8_t file, uint8_t mode) {
        const Bytes answer = Run({cmd::kReadData, file, 0, 0, 0, 16, 0, 0});
        EXPECT_EQ(answer.at(0), 0x00);
        return HostUnprotect(mode, session, Bytes(answer.begin() + 1, answer.end()), 16).second;
    };
    card_->SpoilNextProtectedAnswer();
    EXPECT_EQ(read(0, 0), "");  // plain answers carry nothing to spoil
    EXPECT_TRUE(card_->SpoilPending());
    EXPECT_EQ(read(1, 1), "bad MAC");
    EXPECT_FALSE(card_->SpoilPending());
    EXPECT_EQ(read(1, 1), "");
    card_->SpoilNextProtectedAnswer();
    EXPECT_EQ(read(3, 3), "bad CRC");
    EXPECT_EQ(read(3, 3), "");
    card_->SpoilNextProtectedAnswer();
    const Bytes answer = Run({cmd::kGetValue, 4});
    ASSERT_EQ(answer.at(0), 0x00);
    EXPECT_EQ(HostUnprotect(3, session, Bytes(answer.begin() + 1, answer.end()), 4).second,
              "bad CRC");
    EXPECT_EQ(Value(4, 3, session), 42);
}

}  // namespace
}  // namespace kestrel::sim
