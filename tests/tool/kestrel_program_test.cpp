// The kestrel program end to end: started as a user starts it, against kestrel-sim programs
// over TCP and a pseudo-terminal.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "support/sim_program.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome Kestrel(const std::vector<std::string>& args) {
    testsupport::Program program(KESTREL_PROGRAM);
    Outcome run;
    if (!program.Start(args)) return run;
    program.CloseStdin();
    run.out = program.Drain(false, 30000);
    run.err = program.Drain(true, 30000);
    run.status = program.Wait(30000).value_or(-1);
    return run;
}

// A kestrel-sim with the cards given, on TCP (or a pseudo-terminal).
struct Sim {
    testsupport::Program program;
    std::string reader;

    explicit Sim(const std::vector<std::string>& cards, bool pty = false) {
        std::vector<std::string> args = {pty ? "--pty" : "--tcp"};
        if (!pty) args.push_back("127.0.0.1:0");
        for (const std::string& card : cards) args.insert(args.end(), {"--card", card});
        if (!program.Start(args)) return;
        const std::string first = program.ReadLine().value_or("");
        const std::string prefix = pty ? "listening on pty " : "listening on tcp ";
        if (first.rfind(prefix, 0) == 0) reader = first.substr(prefix.size());
    }
    Outcome Kestrel(std::vector<std::string> args) const {
        args.insert(args.begin(), {"-r", reader});
        return kestrel::Kestrel(args);
    }
};

std::string Slurp(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class KestrelProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kestrel-tool-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    void Write(const std::string& name, const std::string& content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
    }
    fs::path dir_;
};

TEST_F(KestrelProgram, ScanNamesTheFamilyOverTcpAndAPseudoTerminal) {
    const struct {
        const char* card;
        bool pty;
        const char* uid;
        const char* family;
    } cases[] = {
        {"classic1k:A1B2C3D4", false, "A1B2C3D4", "MIFARE Classic 1K"},
        {"classic4k:0A0B0C0D", true, "0A0B0C0D", "MIFARE Classic 4K"},
        {"ultralight:04112233445566", false, "04112233445566", "MIFARE Ultralight"},
        {"desfire:04A1B2C3D4E5F6", true, "04A1B2C3D4E5F6", "MIFARE DESFire"},
        {"typeb:11223344", false, "11223344", "ISO 14443 Type B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.card);
        Sim sim({c.card}, c.pty);
        const Outcome run = sim.Kestrel({"scan", "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        const Json card = Json::parse(run.out)["cards"][0];
        if (card["technology"] == "B") {
            EXPECT_EQ(card["pupi"], c.uid);
        } else {
            EXPECT_EQ(card["uid"], c.uid);
            EXPECT_EQ(card["family"], c.family);
        }
    }
}

TEST_F(KestrelProgram, ClassicDumpRestoreDumpIsByteIdentical) {
    Sim original({"classic1k:A1B2C3D4"});
    ASSERT_EQ(original.Kestrel({"mfc", "dump", "-o", Path("factory.mfd")}).status, 0);
    std::string image = Slurp(Path("factory.mfd"));
    ASSERT_EQ(image.size(), 1024u);
    // Data, a value block, and sector 2 with new keys and the value-sector conditions.
    image.replace(4 * 16, 16, "kestrel restores");
    const char value[] = "\x64\0\0\0\x9B\xFF\xFF\xFF\x64\0\0\0\x09\xF6\x09\xF6";
    image.replace(9 * 16, 16, std::string(value, 16));
    const char trailer[] = "\xA0\xA1\xA2\xA3\xA4\xA5\x08\x77\x8F\x00\xB0\xB1\xB2\xB3\xB4\xB5";
    image.replace(11 * 16, 16, std::string(trailer, 16));
    Write("changed.mfd", image);
    Write("keys.txt",
          "# the new keys, then the factory key\nA0A1A2A3A4A5\nB0B1B2B3B4B5\n"
          "FFFFFFFFFFFF\n");

    Sim blank({"classic1k:A1B2C3D4"});
    const Outcome restore =
        blank.Kestrel({"mfc", "restore", Path("changed.mfd"), "--with-trailers"});
    ASSERT_EQ(restore.status, 0) << restore.err;
    const Outcome dump =
        blank.Kestrel({"mfc", "dump", "-k", Path("keys.txt"), "-o", Path("back.mfd"), "--json"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_TRUE(Slurp(Path("back.mfd")) == image);
    const Json sector2 = Json::parse(dump.out)["sectors"][2];
    EXPECT_EQ(sector2["keyA"], "A0A1A2A3A4A5");
    EXPECT_EQ(sector2["keyB"], "B0B1B2B3B4B5");

    const Outcome got =
        blank.Kestrel({"mfc", "value", "get", "9", "-k", Path("keys.txt"), "--json"});
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(Json::parse(got.out)["value"], 100);
}

// A 4K card whose trailers make some blocks readable only with key B (sector 1: block 5 with
// condition 3, block 6 with condition 5, key B secret) or with no key (sector 33: blocks
// 154-158, condition 7).
TEST_F(KestrelProgram, ClassicDumpReadsEachBlockWithTheKeyItsConditionsName) {
    std::string image(4096, '\0');
    for (int block = 1; block < 256; ++block) image.replace(block * 16, 16, 16, char(block));
    image.replace(0, 8, "\x0A\x0B\x0C\x0D\x0C\x18\x02\x00", 8);
    const char factory[] = "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x07\x80\x69\xFF\xFF\xFF\xFF\xFF\xFF";
    for (int sector = 0; sector < 40; ++sector) {
        const int trailer = sector < 32 ? sector * 4 + 3 : 128 + (sector - 32) * 16 + 15;
        image.replace(trailer * 16, 16, std::string(factory, 16));
    }
    const char sector1[] = "\xA0\xA1\xA2\xA3\xA4\xA5\x5B\x41\xEA\x00\xB0\xB1\xB2\xB3\xB4\xB5";
    image.replace(7 * 16, 16, std::string(sector1, 16));
    image.replace(159 * 16 + 6, 4, "\xBB\x43\xC4\x00", 4);
    Write("card.mfd", image);
    Write("ab.txt", "A0A1A2A3A4A5\nB0B1B2B3B4B5\nFFFFFFFFFFFF\n");
    Write("a.txt", "A0A1A2A3A4A5\nFFFFFFFFFFFF\n");
    Sim sim({"classic4k::" + Path("card.mfd")});

    const Outcome both =
        sim.Kestrel({"mfc", "dump", "-k", Path("ab.txt"), "-o", Path("ab.mfd"), "--json"});
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(Json::parse(both.out)["unreadBlocks"], Json::parse("[154, 155, 156, 157, 158]"));
    std::string expected = image;
    expected.replace(154 * 16, 5 * 16, 5 * 16, '\0');
    EXPECT_TRUE(Slurp(Path("ab.mfd")) == expected);

    const Outcome onlyA =
        sim.Kestrel({"mfc", "dump", "-k", Path("a.txt"), "-o", Path("a.mfd"), "--json"});
    ASSERT_EQ(onlyA.status, 0) << onlyA.err;
    const Json result = Json::parse(onlyA.out);
    EXPECT_EQ(result["sectors"][1]["unreadBlocks"], Json::parse("[5, 6]"));
    EXPECT_TRUE(result["sectors"][1]["keyB"].is_null());
    // Key B unknown: zero in the image's trailer, the rest as the card showed it.
    EXPECT_EQ(Slurp(Path("a.mfd")).substr(7 * 16, 16),
              std::string(sector1, 10) + std::string(6, '\0'));

    // Blocks no listed key may write are named, and the command fails.
    const Outcome restore = sim.Kestrel({"mfc", "restore", Path("a.mfd"), "-k", Path("a.txt")});
    EXPECT_EQ(restore.status, 1);
    EXPECT_NE(restore.err.find("blocks not written (no key of the list may write them): 5 6 154 "
                               "155 156 157 158"),
              std::string::npos)
        << restore.err;
}

TEST_F(KestrelProgram, RestoreRefusesATrailerThatWouldLockASectorForEver) {
    std::string image(1024, '\0');
    const char locked[] = "\xFF\xFF\xFF\xFF\xFF\xFF\x7F\x0F\x08\x69\xFF\xFF\xFF\xFF\xFF\xFF";
    for (int sector = 0; sector < 16; ++sector)
        image.replace(sector * 64 + 48, 16, std::string(locked, 16));
    Write("locked.mfd", image);
    Sim sim({"classic1k:A1B2C3D4"});
    const Outcome run = sim.Kestrel({"mfc", "restore", Path("locked.mfd"), "--with-trailers"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("sector 0"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;
}

TEST_F(KestrelProgram, DesfireInfoShowsTheCardsContents) {
    Write("card.txt",
          "kestrel-sim desfire state 2\nuid 04A1B2C3D4E5F6\ncapacity 8192\n"
          "application 000000 settings 0F keys 1\nkey 0 00000000000000000000000000000000\n"
          "application 563412 settings EB keys 2\nkey 0 00000000000000000000000000000000\n"
          "key 1 00112233445566778899AABBCCDDEEFF\n"
          "file 1 standard comm 00 access EE12 data 00112233\n"
          "file 2 value comm 03 access 0012 lower -100 upper 1000 value 10 limited 1 "
          "limitvalue 0\n"
          "file 3 cyclic comm 01 access 1234 recordsize 16 maxrecords 5 records 1\n"
          "record 000102030405060708090A0B0C0D0E0F\n");
    Sim sim({"desfire::" + Path("card.txt")});
    const Outcome run = sim.Kestrel({"df", "info", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json info = Json::parse(run.out);
    EXPECT_EQ(info["uid"], "04A1B2C3D4E5F6");
    EXPECT_EQ(info["version"]["hardware"]["storageSize"], "8192 bytes");
    EXPECT_EQ(info["cardKeySettings"]["settings"], "0F");
    ASSERT_EQ(info["applications"].size(), 1u);
    const Json& app = info["applications"][0];
    EXPECT_EQ(app["aid"], "123456");
    EXPECT_EQ(app["keySettings"]["changeKeysWith"], "each key itself");
    EXPECT_EQ(app["keys"][1]["version"], 0x55);  // the parity bits of key 1
    const Json& files = app["files"];
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], Json::parse(R"({"file": 1, "type": "standard", "communication": "plain",
        "access": {"read": "key 1", "write": "key 2", "readWrite": "free", "change": "free"},
        "size": 4})"));
    EXPECT_EQ(files[1]["lowerLimit"], -100);
    EXPECT_EQ(files[1]["communication"], "enc");
    EXPECT_EQ(files[1]["limitedCredit"], true);
    EXPECT_EQ(files[2]["type"], "cyclic record");
    EXPECT_EQ(files[2]["records"], 1);

    // Data read with the key, in the file's own mode, and a wrong key refused with its code.
    const Outcome read = sim.Kestrel(
        {"df", "read", "123456", "1", "--key", "1:00112233445566778899AABBCCDDEEFF", "--raw"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, std::string("\x00\x11\x22\x33", 4));
    const Outcome wrong =
        sim.Kestrel({"df", "value", "123456", "2", "--key", "1:0011223344556677"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("authenticate with key 1"), std::string::npos) << wrong.err;
    EXPECT_NE(wrong.err.find("(code 41390, 0xA1AE)"), std::string::npos) << wrong.err;
}

// A TCP peer that accepts connections and never answers; its address.
struct SilentPeer {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::string address;
    SilentPeer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
            address = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        }
    }
    ~SilentPeer() { ::close(fd); }
};

TEST_F(KestrelProgram, ExitStatusesNameWhatFailed) {
    Sim sim({"classic1k:A1B2C3D4"});
    SilentPeer silent;
    Write("wrong.txt", "010203040506\n");
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{"-r", sim.reader, "mfc", "value", "get", "5", "-k", Path("wrong.txt")},
         1,
         "(code 8002, 0x1F42)"},
        {{"-r", sim.reader, "ul", "dump"}, 1, "not an Ultralight"},
        {{"-r", "127.0.0.1:1", "scan"}, 3, "cannot open reader 127.0.0.1:1"},
        {{"-r", silent.address, "--timeout", "300", "mfc", "dump"}, 3, "no reader answers"},
        {{"mfc"}, 2, "A subcommand is required"},
        {{"-r", "reader", "scan"}, 2, "reader 'reader'"},
        {{"mfc", "value", "get"}, 2, "BLOCK"},
        {{"mfc", "acl", "--decode", "FF07"}, 2, "3 or 4 access bytes"},
        {{"ul", "write", "4", "@" + Path("missing")}, 2, "cannot read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const auto start = std::chrono::steady_clock::now();
        const Outcome run = Kestrel(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    // Help on every level, with the options every command takes.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"df", "--help"},
          std::vector<std::string>{"mfc", "dump", "--help"}}) {
        const Outcome help = Kestrel(args);
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("--reader"), std::string::npos) << help.out;
    }
}

TEST_F(KestrelProgram, CtrlCLeavesNoPartialFileAndClosesTheReader) {
    Sim sim({"classic1k:A1B2C3D4"});
    // Keys the card does not know make a dump slow enough to interrupt.
    std::string keys;
    for (int i = 0; i < 200; ++i)
        keys += "0102030405" + std::string(i < 16 ? "0" : "") +
                (std::ostringstream() << std::hex << i).str() + "\n";
    Write("wrong.txt", keys);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"mfc", "dump", "-k", Path("wrong.txt"), "-o", Path("x.mfd")},
          std::vector<std::string>{"poll", "--interval", "20"}}) {
        SCOPED_TRACE(args[0]);
        testsupport::Program kestrel(KESTREL_PROGRAM);
        std::vector<std::string> all = {"-r", sim.reader};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(kestrel.Start(all));
        if (args[0] == "poll") {
            EXPECT_NE(kestrel.ReadLine().value_or("").find("arrived  A1B2C3D4"), std::string::npos);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        kestrel.Signal(SIGINT);
        EXPECT_EQ(kestrel.Wait(10000), 130);
        EXPECT_TRUE(fs::is_empty(dir_ / "") || !fs::exists(Path("x.mfd")));
        // Only wrong.txt is left in the folder: no image, no temporary file.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
        // The reader was let go: the simulator serves the next client.
        EXPECT_EQ(sim.Kestrel({"scan"}).status, 0);
    }
}

}  // namespace
}  // namespace kestrel
