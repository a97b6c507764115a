// The kestrel-sim program as a process: its first line, TCP and pty service, the field
// commands on standard input, shutdown and command-line errors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kestrel_sim/cards/classic/classic_card.h"
#include "kestrel_sim/helpers/codes.h"
#include "kestrel_sim/helpers/hex.h"
#include "sim/sim_test_util.h"
#include "support/sim_program.h"

extern char** environ;

namespace kestrel::sim {
namespace {

using Clock = std::chrono::steady_clock;

using testsupport::Program;

std::optional<uint16_t> TcpPort(const std::string& firstLine) {
    std::smatch match;
    static const std::regex kPattern(R"(listening on tcp 127\.0\.0\.1:(\d+))");
    if (!std::regex_match(firstLine, match, kPattern)) return std::nullopt;
    return static_cast<uint16_t>(std::stoi(match[1]));
}

int Connect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// ActivateIdle over a descriptor; the answer frame's data, or nullopt.
std::optional<Bytes> ActivateIdle(int fd, uint8_t sequence) {
    if (!test::WriteAllTo(fd, EncodeFrame(sequence, command::kActivateIdle, Bytes{0}))) {
        return std::nullopt;
    }
    const std::vector<Frame> frames = test::DecodeAll(test::ReadFrame(fd, 3000));
    if (frames.size() != 1 || frames[0].sequence != sequence || frames[0].code != status::kOk) {
        return std::nullopt;
    }
    return frames[0].data;
}

TEST(KestrelSimProgram, DefaultCardOverTcpAndFieldCommands) {
    Program program;
    ASSERT_TRUE(program.Start({"--tcp", "127.0.0.1:0"}));
    const std::optional<std::string> first = program.ReadLine();
    ASSERT_TRUE(first);
    const std::optional<uint16_t> port = TcpPort(*first);
    ASSERT_TRUE(port) << *first;
    const int fd = Connect(*port);
    ASSERT_GE(fd, 0);

    // One classic1k card: ATQA 0x0004, SAK 0x08, a 4-byte UID.
    const std::optional<Bytes> answer = ActivateIdle(fd, 0);
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->size(), 8u);
    EXPECT_EQ(Bytes(answer->begin(), answer->begin() + 4), (Bytes{0x04, 0x00, 0x08, 4}));
    const std::string uid = ToHex(answer->data() + 4, 4);

    ASSERT_TRUE(program.WriteLine("list"));
    EXPECT_EQ(program.ReadLine(), "1 card: classic1k " + uid + " active");
    ASSERT_TRUE(program.WriteLine("add ultralight:04A1B2C3D4E5F6"));
    EXPECT_EQ(program.ReadLine(), "added ultralight 04A1B2C3D4E5F6");
    ASSERT_TRUE(program.WriteLine("remove " + uid));
    EXPECT_EQ(program.ReadLine(), "removed " + uid);
    ASSERT_TRUE(program.WriteLine("list"));
    EXPECT_EQ(program.ReadLine(), "1 card: ultralight 04A1B2C3D4E5F6 idle");

    // The connection sees the new field.
    const std::optional<Bytes> ultralight = ActivateIdle(fd, 1);
    ASSERT_TRUE(ultralight);
    EXPECT_EQ(*ultralight, (Bytes{0x44, 0x00, 0x00, 7, 0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
    ::close(fd);

    ASSERT_TRUE(program.WriteLine("quit"));
    EXPECT_EQ(program.ReadLine(), "bye");
    EXPECT_EQ(program.Wait(), 0);
}

struct LineCase {
    const char* line;
    const char* answerStart;
};

class ProgramLinesTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ProgramLinesTest, AnswersOneLine) {
    Program program;
    ASSERT_TRUE(program.Start({"--tcp", "127.0.0.1:0", "--card", "classic4k:01020304"}));
    ASSERT_TRUE(program.ReadLine());
    ASSERT_TRUE(program.WriteLine(GetParam().line));
    const std::optional<std::string> answer = program.ReadLine();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rfind(GetParam().answerStart, 0), 0u) << *answer;
    // Exactly one line: the next line belongs to the next command.
    ASSERT_TRUE(program.WriteLine("list"));
    const std::optional<std::string> list = program.ReadLine();
    ASSERT_TRUE(list);
    EXPECT_TRUE(std::regex_search(*list, std::regex(R"(^\d+ cards?(: |$))"))) << *list;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ProgramLinesTest,
    ::testing::Values(LineCase{"add classic1k:0102", "error: classic1k needs a 4-byte UID"},
                      LineCase{"add classic4k:01020304", "error: a card with UID 01020304"},
                      LineCase{"add nfc:01020304", "error: unknown card type 'nfc'"},
                      LineCase{"add", "error: add needs TYPE"},
                      LineCase{"remove 0A0B0C0D", "error: no card with UID 0A0B0C0D"},
                      LineCase{"remove xyz", "error: remove needs the card's UID in hex"},
                      LineCase{"frobnicate", "error: unknown command 'frobnicate'"},
                      LineCase{"add desfire", "added desfire 04"}, LineCase{"help", "commands: "},
                      LineCase{"save 01020304", "error: card 01020304 has no image file"},
                      LineCase{"save", "error: save needs the card's UID"},
                      LineCase{"add desfire::",
                               "error: the image file name after the second ':' is empty"}),
    [](const auto& info) { return "line_" + std::to_string(info.index); });

// One request over a descriptor: the answer's status and data, or nullopt.
std::optional<test::Reply> Exchange(int fd, uint8_t sequence, uint8_t code, const Bytes& params) {
    if (!test::WriteAllTo(fd, EncodeFrame(sequence, code, params))) return std::nullopt;
    const std::vector<Frame> frames = test::DecodeAll(test::ReadFrame(fd, 3000));
    if (frames.size() != 1 || frames[0].sequence != sequence) return std::nullopt;
    return test::Reply{frames[0].code, frames[0].data};
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(KestrelSimProgram, CardImageIsLoadedAndSavedOnCommandAndAtExit) {
    char dir[] = "/tmp/kestrel-sim-program-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string path = std::string(dir) + "/card.mfd";
    const Bytes uid = {0x01, 0x02, 0x03, 0x04};
    Bytes image = MakeCard(*FindCardProfile("classic1k"), uid)->SaveImage();
    image[4 * 16] = 0x5A;  // block 4
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));

    Program program;
    ASSERT_TRUE(program.Start({"--tcp", "127.0.0.1:0", "--card", "classic1k:01020304:" + path}));
    const std::optional<std::string> first = program.ReadLine();
    ASSERT_TRUE(first);
    const int fd = Connect(TcpPort(*first).value_or(0));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ActivateIdle(fd, 0));
    const Bytes auth = test::Concat({{mifare::kAuthKeyA}, uid, Bytes(12, 0x0F), {4}});
    EXPECT_EQ(Exchange(fd, 1, card_command::kAuthenticate, auth)->status, status::kOk);
    EXPECT_EQ(Exchange(fd, 2, card_command::kReadBlock, {4})->data,
              Bytes(image.begin() + 64, image.begin() + 80));
    const Bytes write5 = test::Concat({{5}, Bytes(16, 0x55)});
    EXPECT_EQ(Exchange(fd, 3, card_command::kWriteBlock, write5)->status, status::kOk);

    ASSERT_TRUE(program.WriteLine("save 01020304"));
    EXPECT_EQ(program.ReadLine(), "saved 01020304 to " + path);
    std::copy(write5.begin() + 1, write5.end(), image.begin() + 5 * 16);
    EXPECT_EQ(ReadFile(path), image);

    // Removing the card saves it; added again from the file it has the memory it left with.
    const Bytes write6 = test::Concat({{6}, Bytes(16, 0x66)});
    EXPECT_EQ(Exchange(fd, 4, card_command::kWriteBlock, write6)->status, status::kOk);
    ASSERT_TRUE(program.WriteLine("remove 01020304"));
    EXPECT_EQ(program.ReadLine(), "removed 01020304");
    std::copy(write6.begin() + 1, write6.end(), image.begin() + 6 * 16);
    EXPECT_EQ(ReadFile(path), image);
    ASSERT_TRUE(program.WriteLine("add classic1k::" + path));
    EXPECT_EQ(program.ReadLine(), "added classic1k 01020304");

    // Stopping saves it.
    ASSERT_TRUE(ActivateIdle(fd, 5));
    EXPECT_EQ(Exchange(fd, 6, card_command::kAuthenticate, auth)->status, status::kOk);
    EXPECT_EQ(Exchange(fd, 7, card_command::kReadBlock, {6})->data, Bytes(16, 0x66));
    const Bytes write4 = test::Concat({{4}, Bytes(16, 0x44)});
    EXPECT_EQ(Exchange(fd, 8, card_command::kWriteBlock, write4)->status, status::kOk);
    ::close(fd);
    ASSERT_TRUE(program.WriteLine("quit"));
    EXPECT_EQ(program.ReadLine(), "bye");
    EXPECT_EQ(program.Wait(), 0);
    std::copy(write4.begin() + 1, write4.end(), image.begin() + 4 * 16);
    EXPECT_EQ(ReadFile(path), image);
    ::unlink(path.c_str());
    ::rmdir(dir);
}

TEST(KestrelSimProgram, DesfireStateOutlivesARun) {
    char dir[] = "/tmp/kestrel-sim-program-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string path = std::string(dir) + "/desfire.txt";
    // Key settings 0B and an application, as a run before might have left them.
    const std::string state =
        "kestrel-sim desfire state 1\n"
        "uid 04AABBCCDDEEFF\n"
        "application 000000 settings 0B keys 1\n"
        "key 0 00112233445566778899AABBCCDDEEFF\n"
        "application 010203 settings 0F keys 2\n"
        "key 0 00000000000000000000000000000000\n"
        "key 1 00000000000000000000000000000000\n";
    std::ofstream(path, std::ios::binary) << state;

    Program program;
    ASSERT_TRUE(program.Start({"--tcp", "127.0.0.1:0", "--card", "desfire::" + path}));
    const std::optional<std::string> first = program.ReadLine();
    ASSERT_TRUE(first);
    const int fd = Connect(TcpPort(*first).value_or(0));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ActivateIdle(fd, 0));
    EXPECT_EQ(Exchange(fd, 1, command::kRequestAts, {0x00})->data,
              (Bytes{0x06, 0x75, 0x77, 0x81, 0x02, 0x80}));
    // GetKeySettings, GetKeyVersion 0, SelectApplication 010203 in I-blocks 0, 1, 0.
    const struct {
        Bytes block;
        Bytes answer;
    } steps[] = {{{0x02, 0x45}, {0x02, 0x00, 0x0B, 0x01}},
                 {{0x03, 0x64, 0x00}, {0x03, 0x00, 0x55}},
                 {{0x02, 0x5A, 0x01, 0x02, 0x03}, {0x02, 0x00}}};
    uint8_t sequence = 2;
    for (const auto& step : steps) {
        const Bytes params =
            test::Concat({{0x1E, static_cast<uint8_t>(step.block.size()), 0x00}, step.block});
        const std::optional<test::Reply> reply =
            Exchange(fd, sequence++, command::kExchangeBlock, params);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, status::kOk);
        EXPECT_EQ(reply->data, step.answer) << ToHex(step.block);
    }
    ::close(fd);
    ASSERT_TRUE(program.WriteLine("list"));
    EXPECT_EQ(program.ReadLine(), "1 card: desfire 04AABBCCDDEEFF active");
    ASSERT_TRUE(program.WriteLine("quit"));
    EXPECT_EQ(program.ReadLine(), "bye");
    EXPECT_EQ(program.Wait(), 0);
    // Written back at the end, in the same form.
    const Bytes saved = ReadFile(path);
    EXPECT_EQ(std::string(saved.begin(), saved.end()), state);
    ::unlink(path.c_str());
    ::rmdir(dir);
}

TEST(KestrelSimProgram, EndOfInputStops) {
    Program program;
    ASSERT_TRUE(program.Start({"--tcp", "127.0.0.1:0"}));
    ASSERT_TRUE(program.ReadLine());
    program.CloseStdin();
    EXPECT_EQ(program.Wait(), 0);
}

class ProgramSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(ProgramSignalTest, NoStdinServesUntilSignalled) {
    Program program;
    ASSERT_TRUE(program.Start({"--tcp", "127.0.0.1:0", "--no-stdin"}));
    const std::optional<std::string> first = program.ReadLine();
    ASSERT_TRUE(first);
    program.CloseStdin();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(program.Wait(0));  // still running without input
    const std::optional<uint16_t> port = TcpPort(*first);
    ASSERT_TRUE(port);
    const int fd = Connect(*port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(ActivateIdle(fd, 9));
    ::close(fd);
    program.Signal(GetParam());
    EXPECT_EQ(program.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "term" : "int"; });

TEST(KestrelSimProgram, PtyServesTheGivenCard) {
    Program program;
    ASSERT_TRUE(program.Start({"--pty", "--card", "desfire:04AABBCCDDEEFF"}));
    const std::optional<std::string> first = program.ReadLine();
    ASSERT_TRUE(first);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(*first, match, std::regex(R"(listening on pty (/dev/pts/\d+))")))
        << *first;
    const int fd = ::open(match[1].str().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::optional<Bytes> answer = ActivateIdle(fd, 4);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, (Bytes{0x44, 0x03, 0x20, 7, 0x04, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
    ::close(fd);
    program.CloseStdin();
    EXPECT_EQ(program.Wait(), 0);
}

TEST(KestrelSimProgram, LogShowsFramesOnStandardError) {
    Program program;
    ASSERT_TRUE(program.Start({"--tcp", "127.0.0.1:0", "--log", "--card", "classic1k:0A0B0C0D"}));
    const std::optional<std::string> first = program.ReadLine();
    ASSERT_TRUE(first);
    const int fd = Connect(TcpPort(*first).value_or(0));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::WriteAllTo(fd, EncodeFrame(0, command::kHalt)));
    ASSERT_EQ(test::ReadFrame(fd, 3000).size(), 7u);
    ::close(fd);
    EXPECT_EQ(program.ReadErrorLine(), "-> A5 00 1D 00 00 F2 86  Halt");
    EXPECT_EQ(program.ReadErrorLine(),
              "<- " + ToHex(EncodeFrame(0, status::kNoCard), true) + "  Halt: no card");
    program.CloseStdin();
    EXPECT_EQ(program.Wait(), 0);
}

TEST(KestrelSimProgram, HelpNamesEveryOptionAndCommand) {
    Program program;
    ASSERT_TRUE(program.Start({"--help"}));
    const std::string text = program.Drain(false);
    EXPECT_EQ(program.Wait(), 0);
    for (const char* word :
         {"--tcp HOST:PORT", "--pty", "--card TYPE[:UIDHEX[:FILE]]", "--log", "--no-stdin",
          "--seed", "classic1k", "classic4k", "ultralight", "desfire", "add TYPE[:UIDHEX[:FILE]]",
          "remove UIDHEX", "save UIDHEX [FILE]", "list", "quit", "listening on tcp HOST:PORT",
          "listening on pty /dev/pts/N"}) {
        EXPECT_NE(text.find(word), std::string::npos) << word;
    }
}

class ProgramArgumentsTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ProgramArgumentsTest, BadCommandLineExitsWithTwo) {
    Program program;
    ASSERT_TRUE(program.Start(GetParam()));
    program.CloseStdin();
    const std::string out = program.Drain(false);
    const std::string err = program.Drain(true);
    EXPECT_EQ(program.Wait(), 2);
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_EQ(err.rfind("kestrel-sim: ", 0), 0u) << err;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ProgramArgumentsTest,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--tcp", "127.0.0.1"},
                      std::vector<std::string>{"--tcp", "127.0.0.1:65536"},
                      std::vector<std::string>{"--tcp"},
                      std::vector<std::string>{"--pty", "--tcp", "127.0.0.1:0"},
                      std::vector<std::string>{"--pty", "--card", "bogus"},
                      std::vector<std::string>{"--pty", "--card", "classic1k:01"},
                      std::vector<std::string>{"--pty", "--card", "ultralight:0A0B0C0D"},
                      std::vector<std::string>{"--pty", "--card", "classic1k:01020304", "--card",
                                               "classic4k:01020304"},
                      std::vector<std::string>{"--pty", "--seed", "x"},
                      std::vector<std::string>{"--pty", "--log=yes"},
                      std::vector<std::string>{"--frob"}),
    [](const auto& info) { return "args_" + std::to_string(info.index); });

TEST(KestrelSimProgram, SeedMakesTheSameUids) {
    std::string lists[2];
    for (std::string& list : lists) {
        Program program;
        ASSERT_TRUE(program.Start({"--tcp", "127.0.0.1:0", "--seed", "42", "--card", "classic1k",
                                   "--card", "ultralight"}));
        ASSERT_TRUE(program.ReadLine());
        ASSERT_TRUE(program.WriteLine("list"));
        list = program.ReadLine().value_or("");
        program.CloseStdin();
        EXPECT_EQ(program.Wait(), 0);
    }
    EXPECT_EQ(lists[0], lists[1]);
    EXPECT_EQ(lists[0].rfind("2 cards: classic1k ", 0), 0u) << lists[0];
}

}  // namespace
}  // namespace kestrel::sim
