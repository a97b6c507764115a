// The threading promise of the header: different sessions may be used from different threads at
// once. Eight sessions, each on its own thread with its own virtual reader over TCP, run card
// commands (Type A, MIFARE Classic, DESFire authentication and reads) while other threads ask
// GetErrorText for library and system texts and create, connect, use and release sessions. Every
// result is checked; scripts/test-tsan.sh runs the program under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KestrelAPI.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/tcp_server.h"

namespace {

constexpr int kSessions = 8;
constexpr int kRounds = 60;
constexpr MifareKey kKey = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
constexpr uint8_t kZeroKey[DF_KEY_LENGTH] = {};

// One session's reader: a Classic card and a DESFire card, each with a UID of the session's own.
struct Reader {
    explicit Reader(uint8_t n) {
        std::string error;
        const kestrel::sim::Bytes classic = {0x0A, 0x0B, 0x0C, n};
        const kestrel::sim::Bytes desfire = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, n};
        EXPECT_TRUE(reader.AddCard(
            kestrel::sim::MakeCard(*kestrel::sim::FindCardProfile("classic1k"), classic), &error))
            << error;
        EXPECT_TRUE(reader.AddCard(
            kestrel::sim::MakeCard(*kestrel::sim::FindCardProfile("desfire"), desfire), &error))
            << error;
        EXPECT_TRUE(server.Start("127.0.0.1", 0, &error)) << error;
    }
    kestrel::sim::VirtualReader reader;
    kestrel::sim::TcpServer server{reader};
};

// The rounds of one session; the number of failed checks.
int RunSession(uint8_t n, uint16_t port) {
    int failures = 0;
    auto check = [&failures](bool ok) { failures += ok ? 0 : 1; };
    KestrelSession* session = CreateSession(0);
    const std::string name = "127.0.0.1:" + std::to_string(port);
    check(ConnectReaderEx(session, INTERFACE_TCP, name.c_str(), 0, 0) == KESTREL_OK);
    for (int round = 0; round < kRounds; ++round) {
        // The Classic card by its UID: wake it, read block 4 (transport configuration: zeros).
        const uint8_t uid[4] = {0x0A, 0x0B, 0x0C, n};
        const uint8_t uidLength = 4;
        uint8_t sak = 0;
        check(RfReset(session, 1) == KESTREL_OK);
        check(SelectWakeUpCard(session, uid, &uidLength, nullptr, &sak) == KESTREL_OK);
        uint8_t block[16] = {1};
        check(MifC_ReadBlockAuth(session, &kKey, uid, 4, block) == KESTREL_OK);
        check(block[0] == 0 && std::memcmp(block, block + 1, 15) == 0);
        // The DESFire card: activation, authentication, version.
        check(RfReset(session, 1) == KESTREL_OK);
        uint8_t sessionKey[DF_KEY_LENGTH];
        uint8_t version[28] = {};
        uint16_t versionLength = sizeof version;
        check(SelectWakeUpCard(session, uid, &uidLength, nullptr, &sak) == KESTREL_OK);
        check(HaltCard(session) == KESTREL_OK);
        check(DF_Connect(session) == KESTREL_OK);
        check(DF_AuthKey(session, 0, kZeroKey, sessionKey) == KESTREL_OK);
        check(DF_GetVersion(session, version, &versionLength) == KESTREL_OK);
        check(versionLength == 28 && version[20] == n);
    }
    check(ReleaseSession(session, 0) == KESTREL_OK);
    return failures;
}

TEST(SessionsOnThreads, EachSessionOnItsOwnThreadWithTextsAndSessionsComingAndGoing) {
    std::vector<std::unique_ptr<Reader>> readers;
    for (int n = 0; n < kSessions; ++n) readers.push_back(std::make_unique<Reader>(n + 1));

    std::atomic<bool> running{true};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kSessions; ++n) {
        threads.emplace_back([&, n] {
            failures += RunSession(static_cast<uint8_t>(n + 1), readers[n]->server.Port());
        });
    }
    // Texts: a library code's fixed text and system texts, which live in a buffer per thread.
    for (const int32_t code : {ECONNREFUSED, EACCES}) {
        threads.emplace_back([&, code] {
            const std::string expected = GetErrorText(code);
            while (running) {
                if (std::strcmp(GetErrorText(KESTREL_ERR_NO_CARD), "") == 0) ++failures;
                if (GetErrorText(code) != expected) ++failures;
            }
        });
    }
    // Sessions made, connected to a reader that is not there, used and released.
    threads.emplace_back([&] {
        while (running) {
            KestrelSession* session = CreateSession(0);
            if (ConnectReaderEx(session, INTERFACE_TCP, "127.0.0.1:1", 0, 0) != ECONNREFUSED ||
                HaltCard(session) == KESTREL_OK || ReleaseSession(session, 0) != KESTREL_OK) {
                ++failures;
            }
        }
    });
    for (int n = 0; n < kSessions; ++n) threads[n].join();
    running = false;
    for (size_t i = kSessions; i < threads.size(); ++i) threads[i].join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
