// DESFire file data, values, records and transactions through the exports, against played
// cards that protect and check data on their side with EVP: the write frames and their
// continuations, reads in every mode across frames, values and records, tampered answers,
// and every failure leaving the caller's buffers and out arguments as they were.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "unit/desfire/file_card.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

const Bytes kKey = Ramp(0x21, 16);
const Bytes kSingleDes = Concat({Ramp(0x40, 8), Ramp(0x40, 8)});

uint8_t gData[64];
uint32_t gLength32;
uint32_t gCount32;

std::vector<SessionCall> DataExports() {
    return {
        DF_CALL(DF_WriteData(s, 1, 0, 0, 4, gData, nullptr)),
        DF_CALL(DF_WriteRecord(s, 1, 0, 0, 4, gData, nullptr)),
        DF_CALL(DF_ReadData(s, 1, 0, 0, &(gLength32 = 4), gData, nullptr)),
        DF_CALL(DF_GetValue(s, 1, 0, &gLength32, nullptr)),
        DF_CALL(DF_ChangeValue(s, 1, 0, 5, 0, nullptr)),
        DF_CALL(DF_Credit(s, 1, 0, 5, nullptr)),
        DF_CALL(DF_Debit(s, 1, 0, 5, nullptr)),
        DF_CALL(DF_LimitedCredit(s, 1, 0, 5, nullptr)),
        DF_CALL(DF_ReadRecords(s, 1, 0, 0, &(gLength32 = 1), gData, 8, nullptr)),
        DF_CALL(DF_ReadRecordsEx(s, 1, 0, 0, &(gCount32 = 1), gData, &(gLength32 = 8), 8, nullptr)),
        DF_CALL(DF_ClearRecords(s, 1)),
        DF_CALL(DF_Commit(s)),
        DF_CALL(DF_Abort(s)),
    };
}

using DesfireDataExports = NativeSessionTest;

TEST_F(DesfireDataExports, SessionAndContextChecks) {
    ExpectContextChecks(DataExports());
}

class DesfireDataTest : public DesfireSessionTest {};

// ---- writes ---------------------------------------------------------------------------------

struct WriteCase {
    const char* name;
    bool record;
    int mode;
    int32_t offset;
    size_t length;
    std::vector<size_t> frameSizes;
};

TEST_F(DesfireDataTest, WritesGoOutInFramesOf60Bytes) {
    const std::vector<WriteCase> cases = {
        {"100 plain bytes", false, 0, 0, 100, {60, 49}},
        {"52 plain bytes: one frame", false, 0, 0, 52, {60}},
        {"53 plain bytes", false, 0, 7, 53, {60, 2}},
        {"112 plain bytes", true, 0, 0, 112, {60, 60, 2}},
        {"nothing", false, 0, 0x123456, 0, {8}},
        {"20 enciphered bytes: 24 payload", false, 3, 0, 20, {32}},
        {"100 MACed bytes: 104 payload", false, 1, 0, 100, {60, 53}},
        {"8 MACed bytes", true, 1, 3, 8, {20}},
        {"1000 plain bytes", false, 0, 24, 1000, {}},
        {"1000 enciphered bytes", false, 3, 0, 1000, {}},
    };
    for (const WriteCase& c : cases) {
        const Bytes data = Ramp(static_cast<uint8_t>(c.length), c.length);
        const Bytes expectedPayload = c.mode == 0   ? data
                                      : c.mode == 1 ? Concat({data, CardMac(kKey, data)})
                                                    : WithCrcPadded(data);
        WriteTakingCard card(expectedPayload.size());
        channel->card = std::ref(card);
        const auto write = c.record ? DF_WriteRecord : DF_WriteData;
        ASSERT_EQ(write(session, 6, c.mode, c.offset, static_cast<uint32_t>(c.length), data.data(),
                        kKey.data()),
                  KESTREL_OK)
            << c.name;
        ASSERT_FALSE(card.frames.empty());
        // The header: command, file, offset and the plain length on 3 bytes each.
        const Bytes& first = card.frames.front();
        const Bytes header = Concat({{static_cast<uint8_t>(c.record ? 0x3B : 0x3D), 0x06},
                                     Le(c.offset, 3),
                                     Le(static_cast<uint32_t>(c.length), 3)});
        EXPECT_EQ(Bytes(first.begin(), first.begin() + 8), header) << c.name;
        // Frames of 60 bytes, the last one holding the rest; continuations start with 0xAF.
        std::vector<size_t> sizes;
        for (size_t i = 0; i < card.frames.size(); ++i) {
            sizes.push_back(card.frames[i].size());
            if (i > 0) {
                EXPECT_EQ(card.frames[i][0], 0xAF) << c.name;
            }
            if (i + 1 < card.frames.size()) {
                EXPECT_EQ(card.frames[i].size(), 60u) << c.name;
            }
        }
        if (!c.frameSizes.empty()) {
            EXPECT_EQ(sizes, c.frameSizes) << c.name;
        }
        if (c.mode == 3) {
            EXPECT_EQ(CardRecover(kKey, card.payload), expectedPayload) << c.name;
        } else {
            EXPECT_EQ(card.payload, expectedPayload) << c.name;
        }
    }
}

TEST_F(DesfireDataTest, WriteFrameAnswers) {
    const Bytes data = Ramp(0, 100);
    struct AnswerCase {
        const char* name;
        std::vector<Bytes> answers;
        Result result;
        size_t frames;
    };
    const std::vector<AnswerCase> cases = {
        {"done after the first frame", {{0x00}}, KESTREL_OK, 1},
        {"two status bytes", {{0x00, 0x00}}, KESTREL_ERR_WRONG_ANSWER_LENGTH, 1},
        {"no status", {{}}, KESTREL_ERR_WRONG_ANSWER_LENGTH, 1},
        {"refused", {{0x9D}}, KESTREL_ERR_DF_PERMISSION_DENIED, 1},
        {"refused on the continuation", {{0xAF}, {0xBE}}, KESTREL_ERR_DF_BOUNDARY, 2},
        {"status and data on the continuation",
         {{0xAF}, {0x00, 0x01}},
         KESTREL_ERR_WRONG_ANSWER_LENGTH,
         2},
        {"more frames asked for than data", {{0xAF}, {0xAF}, {0xAF}, {0x00}}, KESTREL_OK, 4},
        // Two frames carry the data, eight empty ones follow, then the write gives up.
        {"card that never stops asking", std::vector<Bytes>(10, Bytes{0xAF}),
         KESTREL_ERR_OPERATION_ABORTED, 10},
    };
    for (const AnswerCase& c : cases) {
        for (const Bytes& a : c.answers) channel->Answer(a);
        const size_t before = channel->exchanges.size();
        EXPECT_EQ(DF_WriteData(session, 1, 0, 0, 100, data.data(), nullptr), c.result) << c.name;
        EXPECT_EQ(channel->exchanges.size() - before, c.frames) << c.name;
        EXPECT_TRUE(channel->Done()) << c.name;
    }
    // Once the data is used up, the card's further requests get the lone byte 0xAF.
    EXPECT_EQ(channel->exchanges.back().command, Bytes{0xAF});
    EXPECT_EQ(channel->exchanges[channel->exchanges.size() - 2].command, Bytes{0xAF});
    // Each frame travels on its own, with room for a short answer and the context's time-out.
    EXPECT_EQ(channel->exchanges.back().capacity, 8);
    EXPECT_EQ(channel->exchanges.back().timeOut, 1000u);
    // A failed exchange is passed on.
    channel->Fail(KESTREL_ERR_NO_CARD);
    EXPECT_EQ(DF_WriteRecord(session, 1, 0, 0, 100, data.data(), nullptr), KESTREL_ERR_NO_CARD);
}

struct RefusedWrite {
    const char* name;
    int mode;
    const uint8_t* key;
    const uint8_t* data;
    Result result;
};

TEST_F(DesfireDataTest, WritesRefusedBeforeAnythingIsSent) {
    const std::vector<RefusedWrite> cases = {
        {"MACed without key", 1, nullptr, gData, KESTREL_ERR_DF_NO_SESSION_KEY},
        {"enciphered without key", 3, nullptr, gData, KESTREL_ERR_DF_NO_SESSION_KEY},
        {"mode 2 without key: the key first", 2, nullptr, gData, KESTREL_ERR_DF_NO_SESSION_KEY},
        {"mode 2", 2, kKey.data(), gData, KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS},
        {"mode -1", -1, kKey.data(), gData, KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS},
        {"no data", 0, nullptr, nullptr, KESTREL_ERR_WRONG_PARAMETER},
    };
    for (const RefusedWrite& c : cases) {
        EXPECT_EQ(DF_WriteData(session, 1, c.mode, 0, 4, c.data, c.key), c.result) << c.name;
        EXPECT_EQ(DF_WriteRecord(session, 1, c.mode, 0, 4, c.data, c.key), c.result) << c.name;
    }
    EXPECT_TRUE(channel->exchanges.empty());
}

// ---- data reads -----------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    int mode;
    uint32_t requested;
    size_t cardLength;  // the plain data the card protects and sends
    Result result;
    uint32_t lengthOut;
    std::function<void(Bytes&)> tamper = nullptr;
};

void FlipLastByte(Bytes& b) {
    b.back() ^= 0x01;
}
void FlipFirstByte(Bytes& b) {
    b.front() ^= 0x80;
}
void DropLastBlock(Bytes& b) {
    b.resize(b.size() - 8);
}
void DropLastByte(Bytes& b) {
    b.pop_back();
}

TEST_F(DesfireDataTest, ReadDataInEveryMode) {
    const std::vector<ReadCase> cases = {
        {"plain", 0, 10, 10, KESTREL_OK, 10},
        {"plain, the whole file", 0, 0, 30, KESTREL_OK, 30},
        {"plain, more than asked", 0, 4, 10, KESTREL_OK, 10},
        {"plain over many frames", 0, 1000, 1000, KESTREL_OK, 1000},
        {"MACed", 1, 10, 10, KESTREL_OK, 10},
        {"MACed over frames", 1, 1000, 1000, KESTREL_OK, 1000},
        {"enciphered 15", 3, 15, 15, KESTREL_OK, 15},
        {"enciphered 16", 3, 16, 16, KESTREL_OK, 16},
        {"enciphered 1000", 3, 1000, 1000, KESTREL_OK, 1000},
        {"MAC tampered", 1, 10, 10, KESTREL_ERR_DF_BAD_MAC, 0, FlipLastByte},
        {"MACed answer of 3 bytes", 1, 10, 10, KESTREL_ERR_DF_BAD_MAC, 0,
         [](Bytes& b) { b.resize(3); }},
        {"cryptogram tampered", 3, 16, 16, KESTREL_ERR_DF_BAD_CRC, 0, FlipFirstByte},
        {"cryptogram's last block tampered", 3, 100, 100, KESTREL_ERR_DF_BAD_CRC, 0, FlipLastByte},
        {"cryptogram a byte short", 3, 16, 16, KESTREL_ERR_DF_BAD_CRC, 0, DropLastByte},
        {"enciphered, fewer bytes than asked", 3, 16, 8, KESTREL_ERR_DF_BAD_CRC, 0},
    };
    for (const ReadCase& c : cases) {
        const Bytes plain = Ramp(0x30, c.cardLength);
        Bytes sent = CardProtect(c.mode, kKey, plain);
        if (c.tamper) c.tamper(sent);
        FramedAnswerCard card(sent);
        channel->card = std::ref(card);
        Guarded buffer(c.requested);
        uint32_t length = c.requested;
        ASSERT_EQ(DF_ReadData(session, 2, c.mode, 0x010203, &length, buffer.data(), kKey.data()),
                  c.result)
            << c.name;
        EXPECT_EQ(card.commands.front(),
                  Concat({{0xBD, 0x02, 0x03, 0x02, 0x01}, Le(c.requested, 3)}))
            << c.name;
        EXPECT_EQ(card.sent, sent.size()) << c.name << ": the whole answer is fetched";
        if (c.result != KESTREL_OK) {
            EXPECT_EQ(length, c.requested) << c.name;
            EXPECT_TRUE(buffer.Untouched()) << c.name;
            continue;
        }
        EXPECT_EQ(length, c.lengthOut) << c.name;
        const size_t copied = std::min<size_t>(c.requested, plain.size());
        EXPECT_EQ(buffer.Inner(copied), Bytes(plain.begin(), plain.begin() + copied)) << c.name;
        EXPECT_TRUE(buffer.GuardsIntact()) << c.name;
    }
}

TEST_F(DesfireDataTest, ReadDataRefusedBeforeAnythingIsSent) {
    struct RefusedRead {
        const char* name;
        int mode;
        uint32_t length;
        const uint8_t* key;
        Result result;
    };
    const std::vector<RefusedRead> cases = {
        {"length 0 MACed", 1, 0, kKey.data(), KESTREL_ERR_DF_BAD_MAC},
        {"length 0 enciphered", 3, 0, kKey.data(), KESTREL_ERR_DF_BAD_CRC},
        {"MACed without key", 1, 8, nullptr, KESTREL_ERR_DF_NO_SESSION_KEY},
        {"enciphered without key", 3, 8, nullptr, KESTREL_ERR_DF_NO_SESSION_KEY},
        {"mode 2", 2, 8, kKey.data(), KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS},
    };
    for (const RefusedRead& c : cases) {
        Guarded buffer(8);
        uint32_t length = c.length;
        EXPECT_EQ(DF_ReadData(session, 1, c.mode, 0, &length, buffer.data(), c.key), c.result)
            << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        EXPECT_TRUE(buffer.Untouched()) << c.name;
    }
    uint32_t length = 4;
    EXPECT_EQ(DF_ReadData(session, 1, 0, 0, nullptr, gData, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_ReadData(session, 1, 0, 0, &length, nullptr, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(channel->exchanges.empty());
    // Card errors leave the outputs alone too.
    channel->Answer({0xF0});
    Guarded buffer(4);
    EXPECT_EQ(DF_ReadData(session, 1, 0, 0, &length, buffer.data(), nullptr),
              KESTREL_ERR_DF_FILE_NOT_FOUND);
    EXPECT_EQ(length, 4u);
    EXPECT_TRUE(buffer.Untouched());
}

// ---- values ---------------------------------------------------------------------------------

TEST_F(DesfireDataTest, GetValueInEveryMode) {
    struct ValueCase {
        const char* name;
        int mode;
        Bytes plain;
        Result result;
        uint32_t value;
        std::function<void(Bytes&)> tamper = nullptr;
        const Bytes* key = &kKey;
    };
    const std::vector<ValueCase> cases = {
        {"plain 1000", 0, {0xE8, 0x03, 0x00, 0x00}, KESTREL_OK, 1000},
        {"plain, length not checked", 0, {0x05, 0x01}, KESTREL_OK, 0x0105},
        {"MACed", 1, {0x10, 0x27, 0x00, 0x00}, KESTREL_OK, 10000},
        {"enciphered", 3, {0x78, 0x56, 0x34, 0x12}, KESTREL_OK, 0x12345678},
        // clang-format off
        {"enciphered, single DES", 3, {0x01, 0x00, 0x00, 0x80}, KESTREL_OK, 0x80000001, nullptr,
         &kSingleDes},
        {"MAC tampered", 1, {0xE8, 0x03, 0x00, 0x00}, KESTREL_ERR_DF_BAD_MAC, 0, FlipLastByte},
        {"cryptogram tampered", 3, {0xE8, 0x03, 0x00, 0x00}, KESTREL_ERR_DF_BAD_CRC, 0,
         FlipFirstByte},
        {"cryptogram short", 3, {0xE8, 0x03, 0x00, 0x00}, KESTREL_ERR_DF_BAD_CRC, 0, DropLastByte},
        // clang-format on
    };
    for (const ValueCase& c : cases) {
        Bytes sent = CardProtect(c.mode, *c.key, c.plain);
        if (c.tamper) c.tamper(sent);
        channel->Expect({0x6C, 0x03}, Concat({{0x00}, sent}));
        uint32_t value[3] = {0xCCCCCCCC, 0xCCCCCCCC, 0xCCCCCCCC};
        EXPECT_EQ(DF_GetValue(session, 3, c.mode, &value[1], c.key->data()), c.result) << c.name;
        EXPECT_EQ(value[1], c.result == KESTREL_OK ? c.value : 0xCCCCCCCC) << c.name;
        EXPECT_EQ(value[0], 0xCCCCCCCC);
        EXPECT_EQ(value[2], 0xCCCCCCCC);
        EXPECT_TRUE(channel->Done()) << c.name;
    }
    uint32_t value = 7;
    EXPECT_EQ(DF_GetValue(session, 3, 1, &value, nullptr), KESTREL_ERR_DF_NO_SESSION_KEY);
    EXPECT_EQ(DF_GetValue(session, 3, 2, &value, kKey.data()),
              KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS);
    EXPECT_EQ(DF_GetValue(session, 3, 0, nullptr, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(channel->Done());
    channel->Answer({0xF0});
    EXPECT_EQ(DF_GetValue(session, 3, 0, &value, nullptr), KESTREL_ERR_DF_FILE_NOT_FOUND);
    EXPECT_EQ(value, 7u);
}

TEST_F(DesfireDataTest, ValueOperations) {
    struct ChangeCase {
        SessionCall call;
        uint8_t command;
        int mode;
        int32_t amount;
    };
    const uint8_t* key = kKey.data();
    const std::vector<ChangeCase> cases = {
        {DF_CALL(DF_Debit(s, 4, 0, 5, nullptr)), 0xDC, 0, 5},
        {DF_CALL(DF_Credit(s, 4, 0, 0x01020304, key)), 0x0C, 0, 0x01020304},
        {DF_CALL(DF_LimitedCredit(s, 4, 0, -2, nullptr)), 0x1C, 0, -2},
        {DF_CALL(DF_ChangeValue(s, 4, 0, 9, 0, nullptr)), 0x0C, 0, 9},
        {DF_CALL(DF_ChangeValue(s, 4, 0, 9, 1, nullptr)), 0xDC, 0, 9},
        {DF_CALL(DF_ChangeValue(s, 4, 0, 9, 2, nullptr)), 0x1C, 0, 9},
        {DF_CALL(DF_Credit(s, 4, 1, 1000, key)), 0x0C, 1, 1000},
        {DF_CALL(DF_LimitedCredit(s, 4, 3, 77, key)), 0x1C, 3, 77},
    };
    for (const ChangeCase& c : cases) {
        channel->Answer({0x00});
        ASSERT_EQ(c.call.call(session), KESTREL_OK) << c.call.name;
        const Bytes& command = channel->exchanges.back().command;
        const Bytes amount = Le(static_cast<uint32_t>(c.amount), 4);
        ASSERT_EQ(command.size(), c.mode == 0 ? 6u : 10u) << c.call.name;
        EXPECT_EQ(Bytes(command.begin(), command.begin() + 2), (Bytes{c.command, 0x04}));
        const Bytes data(command.begin() + 2, command.end());
        EXPECT_EQ(c.mode == 3 ? CardRecover(kKey, data) : data,
                  c.mode == 3 ? WithCrcPadded(amount) : CardProtect(c.mode, kKey, amount))
            << c.call.name;
        // The card's refusal.
        channel->Answer({0xBE});
        EXPECT_EQ(c.call.call(session), KESTREL_ERR_DF_BOUNDARY) << c.call.name;
    }
    EXPECT_TRUE(channel->Done());
    const size_t sent = channel->exchanges.size();
    // The operation is checked first, then the key and the mode; nothing is sent.
    EXPECT_EQ(DF_ChangeValue(session, 4, 0, 5, 3, nullptr), KESTREL_ERR_DF_BAD_OPERATION_ID);
    EXPECT_EQ(DF_ChangeValue(session, 4, 2, 5, 3, nullptr), KESTREL_ERR_DF_BAD_OPERATION_ID);
    EXPECT_EQ(DF_Credit(session, 4, 1, 5, nullptr), KESTREL_ERR_DF_NO_SESSION_KEY);
    EXPECT_EQ(DF_Debit(session, 4, 2, 5, key), KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS);
    EXPECT_EQ(channel->exchanges.size(), sent);
}

// ---- records --------------------------------------------------------------------------------

struct RecordCase {
    int mode;
    uint32_t recordSize;
    uint32_t records;  // records the card holds and sends
    uint32_t countIn;
};

TEST_F(DesfireDataTest, ReadRecordsOfEverySizeInEveryMode) {
    std::vector<RecordCase> cases;
    for (int mode : {0, 1, 3}) {
        for (uint32_t size : {1u, 3u, 5u, 7u, 8u, 9u, 12u, 16u, 17u, 30u}) {
            cases.push_back({mode, size, 1, 1});
            cases.push_back({mode, size, 4, 4});
            cases.push_back({mode, size, 6, 0});  // all records
        }
        cases.push_back({mode, 50, 20, 20});  // 1000 bytes, many frames
    }
    for (const RecordCase& c : cases) {
        const std::string name = "mode " + std::to_string(c.mode) + " size " +
                                 std::to_string(c.recordSize) + " records " +
                                 std::to_string(c.records);
        const Bytes plain = Ramp(0x61, c.recordSize * c.records);
        FramedAnswerCard card(CardProtect(c.mode, kKey, plain));
        channel->card = std::ref(card);
        Guarded buffer(plain.size());
        uint32_t count = c.countIn;
        ASSERT_EQ(
            DF_ReadRecords(session, 5, c.mode, 2, &count, buffer.data(), c.recordSize, kKey.data()),
            KESTREL_OK)
            << name;
        EXPECT_EQ(card.commands.front(), (Bytes{0xBB, 0x05, 0x02, 0x00, 0x00,
                                                static_cast<uint8_t>(c.countIn), 0x00, 0x00}))
            << name;
        EXPECT_EQ(count, c.records) << name;
        EXPECT_EQ(buffer.Inner(plain.size()), plain) << name;
        EXPECT_TRUE(buffer.GuardsIntact()) << name;
    }
}

TEST_F(DesfireDataTest, ReadRecordsFailuresWriteNothing) {
    struct RecordFailure {
        const char* name;
        int mode;
        uint32_t recordSize;
        uint32_t records;
        uint32_t countIn;
        Result result;
        std::function<void(Bytes&)> tamper = nullptr;
    };
    const std::vector<RecordFailure> cases = {
        {"MAC tampered", 1, 8, 2, 2, KESTREL_ERR_DF_BAD_MAC, FlipLastByte},
        {"cryptogram tampered", 3, 5, 3, 3, KESTREL_ERR_DF_BAD_CRC, FlipFirstByte},
        {"cryptogram a byte short", 3, 8, 2, 2, KESTREL_ERR_DF_BAD_CRC, DropLastByte},
        {"cryptogram a block short", 3, 8, 2, 2, KESTREL_ERR_DF_BAD_CRC, DropLastBlock},
        {"more records than asked", 0, 4, 3, 2, KESTREL_ERR_WRONG_ANSWER_LENGTH},
    };
    for (const RecordFailure& c : cases) {
        Bytes sent = CardProtect(c.mode, kKey, Ramp(0, c.recordSize * c.records));
        if (c.tamper) c.tamper(sent);
        FramedAnswerCard card(sent);
        channel->card = std::ref(card);
        Guarded buffer(c.recordSize * c.countIn);
        uint32_t count = c.countIn;
        EXPECT_EQ(
            DF_ReadRecords(session, 5, c.mode, 0, &count, buffer.data(), c.recordSize, kKey.data()),
            c.result)
            << c.name;
        EXPECT_EQ(count, c.countIn) << c.name;
        EXPECT_TRUE(buffer.Untouched()) << c.name;
    }
    channel->card = nullptr;
    const size_t sent = channel->exchanges.size();
    struct Refused {
        const char* name;
        int mode;
        uint32_t recordSize;
        const uint8_t* key;
        Result result;
    };
    for (const Refused& c : std::vector<Refused>{
             {"record size 0", 0, 0, nullptr, KESTREL_ERR_WRONG_PARAMETER},
             {"record size 0, enciphered", 3, 0, kKey.data(), 8031},
             {"MACed without key", 1, 8, nullptr, KESTREL_ERR_DF_NO_SESSION_KEY},
             {"mode 2", 2, 8, kKey.data(), KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS},
         }) {
        Guarded buffer(16);
        uint32_t count = 2;
        EXPECT_EQ(DF_ReadRecords(session, 5, c.mode, 0, &count, buffer.data(), c.recordSize, c.key),
                  c.result)
            << c.name;
        EXPECT_EQ(count, 2u);
        EXPECT_TRUE(buffer.Untouched()) << c.name;
    }
    uint32_t count = 1;
    uint32_t length = 8;
    EXPECT_EQ(DF_ReadRecords(session, 5, 0, 0, nullptr, gData, 8, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_ReadRecordsEx(session, 5, 0, 0, &count, gData, nullptr, 8, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_ReadRecordsEx(session, 5, 0, 0, &count, nullptr, &length, 8, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(DF_ReadRecords(session, 5, 0, 0, &count, nullptr, 8, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(channel->exchanges.size(), sent);
    channel->Answer({0xF0});
    Guarded buffer(8);
    EXPECT_EQ(DF_ReadRecords(session, 5, 0, 0, &count, buffer.data(), 8, nullptr),
              KESTREL_ERR_DF_FILE_NOT_FOUND);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(buffer.Untouched());
}

// The capacity-taking form refuses data that does not fit the buffer before anything is
// written, whatever *count asked for and whatever the card sends.
TEST_F(DesfireDataTest, ReadRecordsExKeepsToTheCapacity) {
    struct CapacityCase {
        const char* name;
        int mode;
        uint32_t recordSize;
        uint32_t records;  // the card sends them all
        uint32_t countIn;
        uint32_t capacity;
        Result expected;
    };
    const CapacityCase cases[] = {
        {"all records, room for all", 0, 8, 27, 0, 216, KESTREL_OK},
        {"all records, 216 bytes into 160", 0, 8, 27, 0, 160, KESTREL_ERR_READING_TOO_MUCH},
        {"a byte short", 0, 8, 3, 0, 23, KESTREL_ERR_READING_TOO_MUCH},
        {"MACed, a byte short", 1, 8, 3, 0, 23, KESTREL_ERR_READING_TOO_MUCH},
        {"enciphered, exact", 3, 5, 3, 0, 15, KESTREL_OK},
        {"enciphered, a record short", 3, 5, 3, 0, 10, KESTREL_ERR_READING_TOO_MUCH},
        {"counted, room for fewer", 0, 4, 3, 3, 8, KESTREL_ERR_READING_TOO_MUCH},
        {"more records than counted", 0, 4, 3, 2, 64, KESTREL_ERR_WRONG_ANSWER_LENGTH},
        {"empty file, no room", 0, 8, 0, 0, 0, KESTREL_OK},
    };
    for (const CapacityCase& c : cases) {
        const Bytes plain = Ramp(0x30, c.recordSize * c.records);
        FramedAnswerCard card(CardProtect(c.mode, kKey, plain));
        channel->card = std::ref(card);
        Guarded buffer(c.capacity);
        uint32_t count = c.countIn;
        uint32_t length = c.capacity;
        EXPECT_EQ(DF_ReadRecordsEx(session, 5, c.mode, 0, &count, buffer.data(), &length,
                                   c.recordSize, kKey.data()),
                  c.expected)
            << c.name;
        EXPECT_TRUE(buffer.GuardsIntact()) << c.name;
        if (c.expected != KESTREL_OK) {
            EXPECT_TRUE(buffer.Untouched()) << c.name;
            EXPECT_EQ(count, c.countIn) << c.name;
            EXPECT_EQ(length, c.capacity) << c.name;
            continue;
        }
        EXPECT_EQ(length, plain.size()) << c.name;
        EXPECT_EQ(count, c.records) << c.name;
        EXPECT_EQ(buffer.Inner(plain.size()), plain) << c.name;
    }
    // No room needs no buffer.
    FramedAnswerCard empty(Bytes{});
    channel->card = std::ref(empty);
    uint32_t count = 0;
    uint32_t length = 0;
    EXPECT_EQ(DF_ReadRecordsEx(session, 5, 0, 0, &count, nullptr, &length, 8, nullptr), KESTREL_OK);
}

TEST_F(DesfireDataTest, RecordAndTransactionCommands) {
    const std::pair<SessionCall, Bytes> cases[] = {
        {DF_CALL(DF_ClearRecords(s, 9)), {0xEB, 0x09}},
        {DF_CALL(DF_Commit(s)), {0xC7}},
        {DF_CALL(DF_Abort(s)), {0xA7}},
    };
    for (const auto& [c, command] : cases) {
        channel->Expect(command, {0x00});
        EXPECT_EQ(c.call(session), KESTREL_OK) << c.name;
        channel->Expect(command, {0x0C});
        EXPECT_EQ(c.call(session), KESTREL_ERR_DF_NO_CHANGES) << c.name;
        EXPECT_TRUE(channel->Done()) << c.name;
    }
}

}  // namespace
}  // namespace kestrel::test
