// The virtual reader's configuration and diagnostic commands: registers, attributes, card
// type, devices, stored configurations, firmware version, memory, echo, line-speed index, RF
// scan and the commands without a known purpose.
#include <gtest/gtest.h>

#include <string>

#include "kestrel_sim/reader/reader_config.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using test::Host;
using test::Reply;
namespace cc = config_command;

class ReaderConfigTest : public ::testing::Test {
  protected:
    ReaderConfigTest() : host_(reader_) {}

    Bytes Data(uint8_t code, const Bytes& params = {}) {
        const std::optional<Reply> reply = host_.Exchange(code, params);
        EXPECT_TRUE(reply);
        if (!reply) return {};
        EXPECT_EQ(reply->status, status::kOk) << "command 0x" << std::hex << int{code};
        return reply->data;
    }
    template <typename Fn>
    decltype(auto) Config(Fn&& fn) {
        return reader_.WithFirmware([&](Firmware& f) { return fn(f.config()); });
    }

    VirtualReader reader_;
    Host host_;
};

TEST_F(ReaderConfigTest, RegistersWrittenReadBack) {
    for (uint8_t reg : {0x00, 0x05, 0x11, 0x3C}) {
        const uint8_t value = static_cast<uint8_t>(0xA0 + reg);
        ASSERT_EQ(host_.Status(cc::kWriteReg, {reg, value}), status::kOk);
        EXPECT_EQ(Data(cc::kReadReg, {reg}), Bytes{value}) << int{reg};
    }
}

struct ReadOnlyCase {
    uint8_t reg;
    uint8_t value;
};

class ReadOnlyRegisterTest : public ReaderConfigTest,
                             public ::testing::WithParamInterface<ReadOnlyCase> {};

TEST_P(ReadOnlyRegisterTest, RefusesWritesAndKeepsItsValue) {
    const ReadOnlyCase& c = GetParam();
    EXPECT_EQ(host_.Status(cc::kWriteReg, {c.reg, 0x77}), status::kAuthNotAllowed);
    EXPECT_EQ(Data(cc::kReadReg, {c.reg}), Bytes{c.value});
}

INSTANTIATE_TEST_SUITE_P(Registers, ReadOnlyRegisterTest,
                         ::testing::Values(ReadOnlyCase{ReaderConfig::kIdentityRegister, 0x4B},
                                           ReadOnlyCase{ReaderConfig::kRevisionRegister, 0x12},
                                           ReadOnlyCase{ReaderConfig::kStatusRegister, 0x00}));

TEST_F(ReaderConfigTest, StatusRegisterTellsCardInFieldAndRfScan) {
    EXPECT_EQ(Data(cc::kReadReg, {ReaderConfig::kStatusRegister}), Bytes{0x00});
    ASSERT_TRUE(reader_.AddCard(test::TypeACard({0x0A, 0x0B, 0x0C, 0x0D})));
    Config([](ReaderConfig& c) {
        c.SetRfScanSupported(true);
        c.SetRfScanOn(true);
    });
    EXPECT_EQ(Data(cc::kReadReg, {ReaderConfig::kStatusRegister}), Bytes{0x03});
}

TEST_F(ReaderConfigTest, ReadOfAnUnknownRegisterKeepsTheAnswerLength) {
    const std::optional<Reply> reply = host_.Exchange(cc::kReadReg, {0x40});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kBadParameter);
    EXPECT_EQ(reply->data, Bytes{0x00});
}

TEST_F(ReaderConfigTest, AttributesAndGetAttribFiveBytes) {
    EXPECT_EQ(Data(cc::kGetAttrib), (Bytes{0x01, 0x08, 0x41, 0x03, 0x00}));
    ASSERT_EQ(host_.Status(cc::kSetAttrib, {0x5A, 0xC3}), status::kOk);
    ASSERT_EQ(host_.Status(cc::kSetCardType, {0x42}), status::kOk);
    ASSERT_EQ(host_.Status(cc::kSetBaudRate, {0x01}), status::kOk);
    EXPECT_EQ(Data(cc::kGetAttrib), (Bytes{0x5A, 0xC3, 0x42, 0x01, 0x00}));
    ASSERT_EQ(host_.Status(cc::kSetDefaultAttrib), status::kOk);
    EXPECT_EQ(Data(cc::kGetAttrib), (Bytes{0x01, 0x08, 0x42, 0x01, 0x00}));
}

TEST_F(ReaderConfigTest, LoadConfigSetsRegistersCardTypeAndAttributes) {
    ASSERT_EQ(host_.Status(cc::kWriteReg, {0x20, 0x99}), status::kOk);
    ASSERT_EQ(host_.Status(cc::kSetAttrib, {0x00, 0x00}), status::kOk);
    ASSERT_EQ(host_.Status(cc::kLoadConfig, {0x01, 0x00}), status::kOk);
    EXPECT_EQ(Data(cc::kReadReg, {0x20}), Bytes{0x00});
    EXPECT_EQ(Data(cc::kReadReg, {0x12}), Bytes{0x03});
    EXPECT_EQ(Data(cc::kGetAttrib), (Bytes{0x01, 0x08, 0x42, 0x03, 0x01}));
    EXPECT_EQ(Data(cc::kReadReg, {ReaderConfig::kIdentityRegister}), Bytes{0x4B});

    // A configuration stored through the C++ API, with a number above 255 (low byte first).
    Config([](ReaderConfig& c) {
        c.StoreConfiguration(0x0102, {ReaderConfig::kCardTypeA, {0x11, 0x22}, {{0x20, 0x55}}});
    });
    ASSERT_EQ(host_.Status(cc::kLoadConfig, {0x02, 0x01}), status::kOk);
    EXPECT_EQ(Data(cc::kReadReg, {0x20}), Bytes{0x55});
    EXPECT_EQ(Data(cc::kGetAttrib), (Bytes{0x11, 0x22, 0x41, 0x03, 0x02}));
    EXPECT_EQ(Config([](ReaderConfig& c) { return c.LoadedConfiguration(); }), 0x0102);
}

TEST_F(ReaderConfigTest, FirmwareVersionIsLengthThenText) {
    EXPECT_EQ(Data(cc::kGetFwVersion), test::Concat({{15, 0},
                                                     Bytes{'k', 'e', 's', 't', 'r', 'e', 'l', '-',
                                                           's', 'i', 'm', ' ', '1', '.', '0'}}));
    const std::string text(300, 'v');
    ASSERT_TRUE(Config([&](ReaderConfig& c) { return c.SetFirmwareVersion(text); }));
    const Bytes answer = Data(cc::kGetFwVersion);
    ASSERT_EQ(answer.size(), 302u);
    EXPECT_EQ(answer[0], 0x2C);
    EXPECT_EQ(answer[1], 0x01);
    EXPECT_EQ(std::string(answer.begin() + 2, answer.end()), text);
    EXPECT_FALSE(Config([](ReaderConfig& c) {
        return c.SetFirmwareVersion(std::string(ReaderConfig::kMaxFirmwareText + 1, 'x'));
    }));
}

TEST_F(ReaderConfigTest, MemoryWrittenReadBackAtEitherEnd) {
    ASSERT_EQ(host_.Status(cc::kWriteMemory, {0x00, 0x00, 3, 0xDE, 0xAD, 0xBF}), status::kOk);
    ASSERT_EQ(host_.Status(cc::kWriteMemory, {0xFE, 0x03, 2, 0x12, 0x34}), status::kOk);
    EXPECT_EQ(Data(cc::kReadMemory, {0x00, 0x00, 4}), (Bytes{0xDE, 0xAD, 0xBF, 0x00}));
    EXPECT_EQ(Data(cc::kReadMemory, {0xFD, 0x03, 3}), (Bytes{0x00, 0x12, 0x34}));
    EXPECT_EQ(Data(cc::kReadMemory, {0x10, 0x00, 0}), Bytes{});
}

TEST_F(ReaderConfigTest, EchoTestReturnsTheBytes) {
    for (const Bytes& bytes : {Bytes{}, Bytes{0xA5}, Bytes(300, 0x5A)}) {
        EXPECT_EQ(Data(cc::kEchoTest, bytes), bytes);
    }
}

TEST_F(ReaderConfigTest, BaudIndexRoundTrip) {
    EXPECT_EQ(Data(cc::kGetBaudRate), Bytes{0x03});
    for (uint8_t index = 0; index <= 4; ++index) {
        ASSERT_EQ(host_.Status(cc::kSetBaudRate, {index}), status::kOk);
        EXPECT_EQ(Data(cc::kGetBaudRate), Bytes{index});
    }
}

TEST_F(ReaderConfigTest, DevicesChangeAndShowInTheLog) {
    std::vector<std::string> lines;
    reader_.SetFrameLogger([&](const FrameLogEntry& e) { lines.push_back(FormatLogEntry(e)); });
    ASSERT_EQ(host_.Status(cc::kSetIoDevState, {ReaderConfig::kRedLed, ReaderConfig::kOn}),
              status::kOk);
    ASSERT_EQ(host_.Status(cc::kSetIoDevState, {ReaderConfig::kBuzzer, ReaderConfig::kBlinking}),
              status::kOk);
    EXPECT_EQ(Config([](ReaderConfig& c) { return c.DeviceStateOf(ReaderConfig::kRedLed); }),
              ReaderConfig::kOn);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find("SetIODevState: ok (red LED on)"), std::string::npos) << lines[1];
    EXPECT_NE(lines[3].find("(buzzer beeping)"), std::string::npos) << lines[3];
}

TEST_F(ReaderConfigTest, CommandsWithoutKnownPurposeAnswerOk) {
    struct Case {
        uint8_t code;
        Bytes params;
    };
    for (const Case& c :
         {Case{cc::kPcdCommand66, {}}, Case{cc::kPcdCommand10, {}}, Case{cc::kPcdCommand62, {}},
          Case{cc::kPcdCommand85, {}}, Case{cc::kPcdCommand87, {0x34, 0x12}},
          Case{cc::kPcdCommand98, {0x07, 0xAA, 0xBB}}}) {
        const std::optional<Reply> reply = host_.Exchange(c.code, c.params);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, status::kOk);
        EXPECT_TRUE(reply->data.empty());
        const auto last = Config([](ReaderConfig& r) { return r.LastPcdCommand(); });
        EXPECT_EQ(last.first, c.code);
        EXPECT_EQ(last.second, c.params);
    }
}

TEST_F(ReaderConfigTest, RfScanOnlyOnTheDerivedReader) {
    for (uint8_t code : {cc::kRfScanOn, cc::kRfScanOff, cc::kGetRfScanMode}) {
        EXPECT_EQ(host_.Status(code), status::kUnknownCommand);
    }
    Config([](ReaderConfig& c) { c.SetRfScanSupported(true); });
    EXPECT_EQ(Data(cc::kGetRfScanMode), Bytes{0x00});
    ASSERT_EQ(host_.Status(cc::kRfScanOn), status::kOk);
    EXPECT_EQ(Data(cc::kGetRfScanMode), Bytes{0x01});
    ASSERT_EQ(host_.Status(cc::kRfScanOff), status::kOk);
    EXPECT_EQ(Data(cc::kGetRfScanMode), Bytes{0x00});
}

struct BadCase {
    const char* name;
    uint8_t code;
    Bytes params;
};

class ConfigBadParameterTest : public ReaderConfigTest,
                               public ::testing::WithParamInterface<BadCase> {};

TEST_P(ConfigBadParameterTest, AnswersBadParameterAndChangesNothing) {
    Config([](ReaderConfig& c) { c.SetRfScanSupported(true); });
    const Bytes attribBefore = Data(cc::kGetAttrib);
    const std::optional<Reply> reply = host_.Exchange(GetParam().code, GetParam().params);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kBadParameter);
    EXPECT_EQ(Data(cc::kGetAttrib), attribBefore);
    EXPECT_EQ(Config([](ReaderConfig& c) { return c.Memory(); }),
              Bytes(ReaderConfig::kMemorySize, 0x00));
    EXPECT_EQ(Config([](ReaderConfig& c) { return c.Register(0x05); }), 0x00);
    EXPECT_FALSE(Config([](ReaderConfig& c) { return c.RfScanOn(); }));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ConfigBadParameterTest,
    ::testing::Values(
        BadCase{"write_reg_short", cc::kWriteReg, {0x05}},
        BadCase{"write_reg_beyond_file", cc::kWriteReg, {0x40, 0x01}},
        BadCase{"read_reg_long", cc::kReadReg, {0x05, 0x00}},
        BadCase{"set_attrib_short", cc::kSetAttrib, {0x01}},
        BadCase{"set_default_attrib_with_data", cc::kSetDefaultAttrib, {0x00}},
        BadCase{"get_attrib_with_data", cc::kGetAttrib, {0x00}},
        BadCase{"read_memory_short", cc::kReadMemory, {0x00, 0x00}},
        BadCase{"read_memory_beyond_end", cc::kReadMemory, {0xFF, 0x03, 2}},
        BadCase{"write_memory_length_beyond_data", cc::kWriteMemory, {0x00, 0x00, 2, 0x01}},
        BadCase{"write_memory_data_beyond_length", cc::kWriteMemory, {0x00, 0x00, 1, 0x01, 0x02}},
        BadCase{"write_memory_beyond_end", cc::kWriteMemory, {0xFF, 0x03, 2, 0x01, 0x02}},
        BadCase{"fw_version_with_data", cc::kGetFwVersion, {0x00}},
        BadCase{"baud_index_5", cc::kSetBaudRate, {0x05}},
        BadCase{"baud_empty", cc::kSetBaudRate, {}},
        BadCase{"io_unknown_device", cc::kSetIoDevState, {0x03, 0x01}},
        BadCase{"io_unknown_state", cc::kSetIoDevState, {0x00, 0x03}},
        BadCase{"io_short", cc::kSetIoDevState, {0x00}},
        BadCase{"load_unknown_config", cc::kLoadConfig, {0x07, 0x00}},
        BadCase{"load_config_short", cc::kLoadConfig, {0x01}},
        BadCase{"card_type_unknown", cc::kSetCardType, {0x43}},
        BadCase{"card_type_empty", cc::kSetCardType, {}},
        BadCase{"pcd66_with_data", cc::kPcdCommand66, {0x00}},
        BadCase{"pcd87_short", cc::kPcdCommand87, {0x00}},
        BadCase{"pcd98_empty", cc::kPcdCommand98, {}},
        BadCase{"rf_scan_on_with_data", cc::kRfScanOn, {0x01}},
        BadCase{"get_rf_scan_with_data", cc::kGetRfScanMode, {0x01}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::sim
