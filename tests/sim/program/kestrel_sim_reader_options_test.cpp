// The kestrel-sim program with Type B cards and the reader options --firmware and --rfscan:
// what a host sees over TCP, the field list and the device changes in the log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "kestrel_sim/cards/typeb/typeb_card.h"
#include "kestrel_sim/reader/reader_config.h"
#include "sim/sim_test_util.h"
#include "support/sim_program.h"

namespace kestrel::sim {
namespace {

using testsupport::Program;

// A running program with a TCP client connected to it.
class ProgramClient {
  public:
    bool Start(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--tcp", "127.0.0.1:0"};
        all.insert(all.end(), args.begin(), args.end());
        if (!program_.Start(all)) return false;
        const std::optional<std::string> first = program_.ReadLine();
        std::smatch match;
        static const std::regex kPattern(R"(listening on tcp 127\.0\.0\.1:(\d+))");
        if (!first || !std::regex_match(*first, match, kPattern)) return false;
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(match[1])));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~ProgramClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    std::optional<test::Reply> Exchange(uint8_t code, const Bytes& params = {}) {
        const uint8_t sequence = sequence_++;
        if (!test::WriteAllTo(fd_, EncodeFrame(sequence, code, params))) return std::nullopt;
        const std::vector<Frame> frames = test::DecodeAll(test::ReadFrame(fd_, 3000));
        if (frames.size() != 1 || frames[0].sequence != sequence) return std::nullopt;
        return test::Reply{frames[0].code, frames[0].data};
    }
    Program& program() { return program_; }

  private:
    Program program_;
    int fd_ = -1;
    uint8_t sequence_ = 0;
};

TEST(KestrelSimReaderOptions, TypeBCardFirmwareTextRfScanAndDevicesInTheLog) {
    ProgramClient client;
    ASSERT_TRUE(client.Start({"--log", "--rfscan", "--firmware", "Test FW 2.5", "--card",
                              "typeb:11223344", "--card", "classic1k:0A0B0C0D"}));

    const std::optional<test::Reply> version = client.Exchange(config_command::kGetFwVersion);
    ASSERT_TRUE(version);
    EXPECT_EQ(
        version->data,
        test::Concat({{11, 0}, Bytes{'T', 'e', 's', 't', ' ', 'F', 'W', ' ', '2', '.', '5'}}));

    const std::optional<test::Reply> atqb = client.Exchange(typeb_command::kRequestWakeUp, {0, 0});
    ASSERT_TRUE(atqb);
    EXPECT_EQ(atqb->status, status::kOk);
    ASSERT_EQ(atqb->data.size(), iso14443b::kAtqbSize);
    EXPECT_EQ(Bytes(atqb->data.begin(), atqb->data.begin() + 5),
              (Bytes{0x50, 0x11, 0x22, 0x33, 0x44}));

    ASSERT_TRUE(client.program().WriteLine("list"));
    EXPECT_EQ(client.program().ReadLine(),
              "2 cards: typeb 11223344 ready, classic1k 0A0B0C0D idle");

    const std::optional<test::Reply> scan = client.Exchange(config_command::kGetRfScanMode);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->status, status::kOk);
    EXPECT_EQ(scan->data, Bytes{0x00});
    const std::optional<test::Reply> led =
        client.Exchange(config_command::kSetIoDevState, {ReaderConfig::kGreenLed, 1});
    ASSERT_TRUE(led);
    EXPECT_EQ(led->status, status::kOk);

    client.program().CloseStdin();
    EXPECT_EQ(client.program().Wait(), 0);
    const std::string log = client.program().Drain(true);
    EXPECT_NE(log.find("SetIODevState: ok (green LED on)"), std::string::npos) << log;
}

TEST(KestrelSimReaderOptions, WithoutRfScanTheCommandsAreUnknown) {
    ProgramClient client;
    ASSERT_TRUE(client.Start({"--card", "typeb"}));
    for (uint8_t code :
         {config_command::kRfScanOn, config_command::kRfScanOff, config_command::kGetRfScanMode}) {
        const std::optional<test::Reply> reply = client.Exchange(code);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, status::kUnknownCommand);
    }
    client.program().CloseStdin();
    EXPECT_EQ(client.program().Wait(), 0);
}

TEST(KestrelSimReaderOptions, BadReaderOptionsExitWithTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--pty", "--firmware",
                                   std::string(ReaderConfig::kMaxFirmwareText + 1, 'x')},
          std::vector<std::string>{"--pty", "--firmware"},
          std::vector<std::string>{"--pty", "--rfscan=yes"},
          std::vector<std::string>{"--pty", "--card", "typeb:112233"}}) {
        Program program;
        ASSERT_TRUE(program.Start(args));
        program.CloseStdin();
        EXPECT_EQ(program.Wait(), 2) << args[1];
        EXPECT_EQ(program.Drain(true).rfind("kestrel-sim: ", 0), 0u) << args[1];
    }
}

}  // namespace
}  // namespace kestrel::sim
