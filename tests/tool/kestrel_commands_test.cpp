// The kestrel program's command families end to end, each as a sequence of command lines
// against one kestrel-sim, the way a user provisions a card.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "support/sim_program.h"

namespace kestrel {
namespace {

using Json = nlohmann::json;

struct Step {
    std::vector<std::string> args;
    int status;
    std::string expected;  // in standard output (status 0) or standard error
};

// Runs each step against the simulator and checks its exit status and output.
void RunSteps(const std::string& reader, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        std::string line;
        for (const std::string& arg : step.args) line += arg + " ";
        SCOPED_TRACE(line);
        testsupport::Program kestrel(KESTREL_PROGRAM);
        std::vector<std::string> args = {"-r", reader};
        args.insert(args.end(), step.args.begin(), step.args.end());
        ASSERT_TRUE(kestrel.Start(args));
        kestrel.CloseStdin();
        const std::string out = kestrel.Drain(false, 30000);
        const std::string err = kestrel.Drain(true, 30000);
        EXPECT_EQ(kestrel.Wait(30000), step.status) << out << err;
        EXPECT_NE((step.status == 0 ? out : err).find(step.expected), std::string::npos)
            << "stdout: " << out << "\nstderr: " << err;
    }
}

std::string StartSim(testsupport::Program& sim, const std::string& card) {
    if (!sim.Start({"--tcp", "127.0.0.1:0", "--card", card})) return "";
    const std::string first = sim.ReadLine().value_or("");
    return first.substr(first.rfind(' ') + 1);
}

TEST(KestrelCommands, DesfireProvisioning) {
    testsupport::Program sim;
    const std::string reader = StartSim(sim, "desfire:04A1B2C3D4E5F6");
    const std::string zero = "0:0000000000000000";
    const std::string key1 = "1:00112233445566778899AABBCCDDEEFF";
    RunSteps(reader,
             {
                 {{"df", "create-app", "A1B2C3", "--keys", "2"}, 0, "application A1B2C3 created"},
                 {{"df", "change-key", "A1B2C3", "1", key1.substr(2), "--key", zero}, 0, "key 1"},
                 {{"df", "create-file", "A1B2C3", "1", "--type", "standard", "--size", "1500",
                   "--comm", "enc", "--access", "1,1,1,0", "--key", zero},
                  0,
                  "standard file 1 created"},
                 {{"df", "create-file", "A1B2C3", "2", "--type", "value", "--comm", "mac",
                   "--access", "1,1,1,0", "--upper", "500", "--value", "20", "--limited-credit"},
                  0,
                  "value file 2 created"},
                 {{"df", "create-file", "A1B2C3", "3", "--type", "cyclic", "--record-size", "4",
                   "--max-records", "3", "--access", "free,free,free,0"},
                  0,
                  "cyclic file 3 created"},
                 {{"df", "create-file", "A1B2C3", "4", "--type", "linear", "--record-size", "2",
                   "--max-records", "2", "--access", "free,free,free,0"},
                  0,
                  "linear file 4 created"},
                 // The card got the kind of record file asked for.
                 {{"df", "ls", "A1B2C3"}, 0, "file 3  cyclic record  plain\nfile 4  linear record"},
                 // Enciphered data over several pieces, without and with the key.
                 {{"df", "write", "A1B2C3", "1", "@-"}, 2, "no bytes"},
                 {{"df", "write", "A1B2C3", "1", "AA"}, 1, "(code 41390"},
                 {{"df", "write", "A1B2C3", "1", std::string(2400, 'A'), "--key", key1},
                  0,
                  "1200 bytes written"},
                 {{"df", "read", "A1B2C3", "1", "--offset", "1190", "--key", key1, "--json"},
                  0,
                  "\"data\": \"AAAAAAAAAAAAAAAAAAAA00000000"},
                 {{"df", "read", "A1B2C3", "1", "--key", "1:0011223344556677"}, 1, "(code 41390"},
                 // Values: credit, debit, and the limited credit of what was debited.
                 {{"df", "value", "A1B2C3", "2", "credit", "30", "--key", key1}, 0, "50"},
                 {{"df", "value", "A1B2C3", "2", "debit", "5", "--key", key1}, 0, "45"},
                 {{"df", "value", "A1B2C3", "2", "limited-credit", "5", "--key", key1}, 0, "50"},
                 {{"df", "value", "A1B2C3", "2", "debit", "60", "--key", key1}, 1, "(code 41406"},
                 // A cyclic file of 3 keeps the newest 2 records.
                 {{"df", "records", "A1B2C3", "3", "--write", "01010101"}, 0, "record written"},
                 {{"df", "records", "A1B2C3", "3", "--write", "02020202"}, 0, "record written"},
                 {{"df", "records", "A1B2C3", "3", "--write", "03030303"}, 0, "record written"},
                 {{"df", "records", "A1B2C3", "3"}, 0, "02020202\n03030303\n"},
                 {{"df", "records", "A1B2C3", "3", "--offset", "1", "--json"},
                  0,
                  "\"records\": [\n    \"02020202\"\n  ]"},
                 {{"df", "records", "A1B2C3", "3", "--clear"}, 0, "records cleared"},
                 {{"df", "records", "A1B2C3", "2"}, 2, "not a record file"},
                 {{"df", "delete", "A1B2C3", "4", "--key", zero}, 0, "file 4 deleted"},
                 {{"df", "info", "--json"}, 0, "\"aid\": \"A1B2C3\""},
                 {{"df", "format"}, 2, "card master key"},
                 {{"df", "format", "--key", zero}, 0, "card formatted"},
                 {{"df", "ls", "--json"}, 0, "\"applications\": []"},
             });
}

TEST(KestrelCommands, UltralightPagesAndApdus) {
    testsupport::Program ultralight;
    const std::string reader = StartSim(ultralight, "ultralight:04112233445566");
    RunSteps(reader, {
                         {{"ul", "write", "5", "CAFEBABE"}, 0, "page 5 written: CA FE BA BE"},
                         {{"ul", "write", "5", "CAFE"}, 2, "a page is 4 bytes"},
                         // Lock bits for pages 4-7; page 5 is then read-only.
                         {{"ul", "write", "2", "0000F000"}, 0, "page 2 written"},
                         {{"ul", "write", "5", "00000000"}, 1, "write page 5"},
                         {{"ul", "dump", "--json"},
                          0,
                          "\"lockedPages\": [\n      4,\n      5,\n      6,\n      7\n"},
                         {{"ul", "dump"}, 0, "page  5: CA FE BA BE"},
                         {{"apdu", "60"}, 1, "activate the card and request its ATS"},
                     });

    testsupport::Program desfire;
    const std::string card = StartSim(desfire, "desfire:04A1B2C3D4E5F6");
    RunSteps(card, {
                       {{"apdu", "60", "AF", "AF", "--json"}, 0, "\"sw\": \"0124\""},
                       {{"apdu", "60", "--pps", "1:1"}, 0, "<< AF0401010002 SW 1805"},
                       {{"apdu", "6G"}, 2, "not hex"},
                   });
}

TEST(KestrelCommands, PollReportsCardsArrivingAndLeavingAsJsonLines) {
    testsupport::Program sim;
    const std::string reader = StartSim(sim, "classic1k:A1B2C3D4");
    testsupport::Program poll(KESTREL_PROGRAM);
    ASSERT_TRUE(poll.Start({"-r", reader, "poll", "--interval", "20", "--json"}));
    auto next = [&] { return Json::parse(poll.ReadLine(10000).value_or("{}")); };
    Json event = next();
    EXPECT_EQ(event["event"], "arrived");
    EXPECT_EQ(event["uid"], "A1B2C3D4");
    sim.WriteLine("add ultralight:04112233445566");
    event = next();
    EXPECT_EQ(event["event"], "arrived");
    EXPECT_EQ(event["family"], "MIFARE Ultralight");
    sim.WriteLine("remove A1B2C3D4");
    event = next();
    EXPECT_EQ(event["event"], "left");
    EXPECT_EQ(event["uid"], "A1B2C3D4");
    poll.Signal(SIGINT);
    EXPECT_EQ(poll.Wait(10000), 130);
}

TEST(KestrelCommands, LogShowsEveryFrameOnStandardError) {
    testsupport::Program sim;
    const std::string reader = StartSim(sim, "classic1k:A1B2C3D4");
    testsupport::Program kestrel(KESTREL_PROGRAM);
    ASSERT_TRUE(kestrel.Start({"scan", "--log", "-r", reader, "--quiet"}));
    const std::string out = kestrel.Drain(false, 10000);
    const std::string err = kestrel.Drain(true, 10000);
    EXPECT_EQ(kestrel.Wait(), 0);
    EXPECT_NE(out.find("A1B2C3D4"), std::string::npos);
    // The activation request (command 0x43) and its answer with the UID.
    EXPECT_NE(err.find(" -> A5 01 43 01 00 00"), std::string::npos) << err;
    EXPECT_NE(err.find(" <- A5 01 00 08 00 04 00 08 04 A1 B2 C3 D4"), std::string::npos) << err;
}

}  // namespace
}  // namespace kestrel
