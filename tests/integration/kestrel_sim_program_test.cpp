// The kestrel-sim program as a user runs it: started as a process, reached by the library over
// TCP, its field changed through standard input.
#include <gtest/gtest.h>

#include <string>

#include "KestrelAPI.h"
#include "support/sim_program.h"

namespace kestrel::test {
namespace {

// Sends one command line and returns the answer line.
std::string Command(testsupport::Program& sim, const std::string& line) {
    return sim.WriteLine(line) ? sim.ReadLine().value_or("") : "";
}

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

TEST(KestrelSimProgram, ServesTheLibraryAndChangesItsFieldFromStandardInput) {
    testsupport::Program sim;
    ASSERT_TRUE(sim.Start({"--tcp", "127.0.0.1:0", "--card", "classic1k:0A0B0C0D"}));
    const std::string first = sim.ReadLine().value_or("");
    const std::string prefix = "listening on tcp ";
    ASSERT_EQ(first.compare(0, prefix.size(), prefix), 0) << first;
    const std::string address = first.substr(prefix.size());

    KestrelSession* session = CreateSession(0);
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_TCP, address.c_str(), 0, 0), KESTREL_OK);
    uint8_t uid[10];
    uint8_t length = sizeof uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    ASSERT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(Hex(uid, length), "0A0B0C0D");
    EXPECT_EQ(atqa, 0x0004);
    EXPECT_EQ(sak, 0x08);
    EXPECT_EQ(HaltCard(session), KESTREL_OK);

    // A card presented while the first one is halted is the one found next.
    EXPECT_NE(Command(sim, "add ultralight:04112233445566").find("04112233445566"),
              std::string::npos);
    length = sizeof uid;
    ASSERT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(Hex(uid, length), "04112233445566");
    EXPECT_EQ(Command(sim, "list").rfind("2 cards", 0), 0u);

    // Taken away, it is gone; the halted card is only woken by WUPA.
    EXPECT_EQ(Command(sim, "remove 04112233445566"), "removed 04112233445566");
    length = sizeof uid;
    EXPECT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(RfReset(session, 25), KESTREL_OK);
    length = sizeof uid;
    ASSERT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(Hex(uid, length), "0A0B0C0D");

    EXPECT_EQ(ReleaseSession(session, 0), KESTREL_OK);
    EXPECT_EQ(Command(sim, "quit"), "bye");
    EXPECT_EQ(sim.Wait(), 0);
}

}  // namespace
}  // namespace kestrel::test
