// The library end to end against two kestrel-sim programs on the loopback, reached over TCP
// through the exported functions only: the socket transport, the reader's block framing, the
// MIFARE Classic and DESFire commands and the DESFire cryptography, all across the boundary
// between the library and a separate process. Only the public header and the standard library
// are used, so the same file builds natively and for Windows.
//
// scripts/with-sim.sh starts the simulators and exports their addresses:
//   KESTREL_SIM_CLASSIC  a MIFARE Classic 1K card with UID A1B2C3D4
//   KESTREL_SIM_DESFIRE  a DESFire card with UID 04A1B2C3D4E5F6
// Each simulator serves one client at a time and keeps its cards between clients, so every test
// closes its connection and leaves the cards as it found them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "KestrelAPI.h"

namespace kestrel::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGuard = 0xCC;
constexpr char kClassicSim[] = "KESTREL_SIM_CLASSIC";
constexpr char kDesfireSim[] = "KESTREL_SIM_DESFIRE";

const Bytes kClassicUid = {0xA1, 0xB2, 0xC3, 0xD4};
const Bytes kDesfireUid = {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};

const MifareKey kFactoryKeyA = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
const MifareKey kWrongKeyA = {KEY_TYPE_A, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}};

const Bytes kZeroKey(DF_KEY_LENGTH, 0x00);
const uint8_t kKey0Rights[4] = {0x00, 0x00, 0x00, 0x00};
constexpr uint32_t kAid = 0x00E2E1;

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + 11 * i);
    return bytes;
}

class VirtualReaderOverTcpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session = CreateSession(0);
        ASSERT_NE(session, nullptr);
    }
    // Releasing the session closes the connection, so the simulator serves the next client.
    void TearDown() override {
        if (session == nullptr) return;
        Disconnect();
        EXPECT_EQ(ReleaseSession(session, 0), KESTREL_OK);
    }

    // Connects to the simulator named by `variable` and puts its cards back to idle, whatever
    // an earlier client left them in.
    void Connect(const char* variable) {
        const char* address = std::getenv(variable);
        ASSERT_TRUE(address != nullptr && *address != '\0')
            << variable << " is not set: run these tests through scripts/with-sim.sh "
            << "<kestrel-sim> -- <test program>, which starts the simulators and exports their "
            << "addresses";
        ASSERT_EQ(ConnectReaderEx(session, INTERFACE_TCP, address, 0, 0), KESTREL_OK) << address;
        connected = true;
        ASSERT_EQ(RfReset(session, 10), KESTREL_OK);
    }
    // Leaves every card idle and closes the connection.
    void Disconnect() {
        if (!connected) return;
        connected = false;
        EXPECT_EQ(RfReset(session, 10), KESTREL_OK);
        EXPECT_EQ(DisconnectReader(session), KESTREL_OK);
    }

    KestrelSession* session = nullptr;
    bool connected = false;
};

TEST_F(VirtualReaderOverTcpTest, SelectIdleCardGivesUidAtqaAndSak) {
    const struct {
        const char* sim;
        Bytes uid;
        uint16_t atqa;
        uint8_t sak;
    } cases[] = {
        {kClassicSim, kClassicUid, 0x0004, 0x08},
        {kDesfireSim, kDesfireUid, 0x0344, 0x20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sim);
        ASSERT_NO_FATAL_FAILURE(Connect(c.sim));
        uint8_t uid[12];
        std::fill(std::begin(uid), std::end(uid), kGuard);
        uint8_t length = 10;
        uint16_t atqa = 0;
        uint8_t sak = kGuard;
        ASSERT_EQ(SelectIdleCard(session, uid + 1, &length, &atqa, &sak), KESTREL_OK);
        ASSERT_EQ(static_cast<size_t>(length), c.uid.size());
        EXPECT_EQ(Bytes(uid + 1, uid + 1 + length), c.uid);
        EXPECT_EQ(uid[0], kGuard);
        EXPECT_EQ(uid[11], kGuard);
        EXPECT_EQ(atqa, c.atqa);
        EXPECT_EQ(sak, c.sak);
        Disconnect();
    }
}

// A block written and read back in the three calling styles, the card's refusal of a wrong key,
// and the block restored at the end.
TEST_F(VirtualReaderOverTcpTest, ClassicBlockWrittenAndReadBackWithTheFactoryKey) {
    constexpr uint8_t kBlock = 5;  // sector 1
    ASSERT_NO_FATAL_FAILURE(Connect(kClassicSim));
    uint8_t serial[4] = {0, 0, 0, 0};
    ASSERT_EQ(MifC_GetCard(session, serial), KESTREL_OK);
    EXPECT_EQ(Bytes(serial, serial + 4), kClassicUid);

    Bytes original(16);
    ASSERT_EQ(MifC_ReadBlockAuth(session, &kFactoryKeyA, serial, kBlock, original.data()),
              KESTREL_OK);
    // Differs from what the block holds in every byte.
    Bytes written = original;
    for (uint8_t& byte : written) byte ^= 0x5A;
    ASSERT_EQ(MifC_WriteBlock(session, kBlock, written.data()), KESTREL_OK);

    Bytes read(18, kGuard);
    ASSERT_EQ(MifC_ReadBlockSingle(session, &kFactoryKeyA, kBlock, read.data() + 1), KESTREL_OK);
    EXPECT_EQ(Bytes(read.begin() + 1, read.end() - 1), written);
    EXPECT_EQ(read.front(), kGuard);
    EXPECT_EQ(read.back(), kGuard);

    // A wrong key: the card refuses the authentication and nothing is copied.
    Bytes refused(16, kGuard);
    const int32_t result = MifC_ReadBlockSingle(session, &kWrongKeyA, kBlock, refused.data());
    EXPECT_EQ(result, KESTREL_ERR_AUTH_NOT_ALLOWED);
    EXPECT_STREQ(GetErrorText(result), "ERROR: authorization is not allowed");
    EXPECT_EQ(refused, Bytes(16, kGuard));

    ASSERT_EQ(MifC_WriteBlockSingle(session, &kFactoryKeyA, kBlock, original.data()), KESTREL_OK);
    ASSERT_EQ(MifC_ReadBlockSingle(session, &kFactoryKeyA, kBlock, read.data() + 1), KESTREL_OK);
    EXPECT_EQ(Bytes(read.begin() + 1, read.end() - 1), original);
}

// Deletes the test's application on the way out, also after a failed assertion, so the test
// can run again against the same simulator.
class ApplicationRemover {
  public:
    explicit ApplicationRemover(KestrelSession* session) : session_(session) {}
    ~ApplicationRemover() {
        uint8_t key[DF_KEY_LENGTH];
        EXPECT_EQ(DF_SelectApp(session_, 0), KESTREL_OK);
        EXPECT_EQ(DF_AuthKey(session_, 0, kZeroKey.data(), key), KESTREL_OK);
        EXPECT_EQ(DF_DeleteApp(session_, kAid), KESTREL_OK);
    }
    ApplicationRemover(const ApplicationRemover&) = delete;
    ApplicationRemover& operator=(const ApplicationRemover&) = delete;

  private:
    KestrelSession* session_;
};

// Authentication (DES through the library's cryptography on one side and the simulator's on
// the other), an application with standard data files, and data in every communication mode
// in messages longer than the card's frame size.
TEST_F(VirtualReaderOverTcpTest, DesfireApplicationAndDataInEveryMode) {
    ASSERT_NO_FATAL_FAILURE(Connect(kDesfireSim));
    ASSERT_EQ(DF_Connect(session), KESTREL_OK);

    // The version data comes in three frames; the third carries the UID.
    uint8_t version[30];
    std::fill(std::begin(version), std::end(version), kGuard);
    uint16_t versionLength = 28;
    ASSERT_EQ(DF_GetVersion(session, version + 1, &versionLength), KESTREL_OK);
    EXPECT_EQ(versionLength, 28);
    EXPECT_EQ(Bytes(version + 15, version + 22), kDesfireUid);
    EXPECT_EQ(version[0], kGuard);
    EXPECT_EQ(version[29], kGuard);

    Bytes cardKey(DF_KEY_LENGTH + 2, kGuard);
    const Bytes wrongKey(DF_KEY_LENGTH, 0x11);
    const int32_t refused = DF_AuthKey(session, 0, wrongKey.data(), cardKey.data() + 1);
    EXPECT_EQ(refused, KESTREL_ERR_DF_AUTHENTICATION);
    EXPECT_STREQ(GetErrorText(refused), "DESFire error: authentication error");
    EXPECT_EQ(cardKey, Bytes(DF_KEY_LENGTH + 2, kGuard));
    ASSERT_EQ(DF_AuthKey(session, 0, kZeroKey.data(), cardKey.data() + 1), KESTREL_OK);
    EXPECT_EQ(cardKey.front(), kGuard);
    EXPECT_EQ(cardKey.back(), kGuard);

    ASSERT_EQ(DF_CreateApp(session, kAid, 0x0F, 1), KESTREL_OK);
    const ApplicationRemover remover(session);
    ASSERT_EQ(DF_SelectApp(session, kAid), KESTREL_OK);
    Bytes key(DF_KEY_LENGTH);
    ASSERT_EQ(DF_AuthKey(session, 0, kZeroKey.data(), key.data()), KESTREL_OK);

    constexpr uint32_t kLength = 50;
    const struct {
        int32_t mode;
        uint8_t fileNo;
    } files[] = {{DF_COMM_PLAIN, 1}, {DF_COMM_MACED, 2}, {DF_COMM_ENCIPHERED, 3}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.mode);
        ASSERT_EQ(
            DF_CreateStdFile(session, f.fileNo, static_cast<uint8_t>(f.mode), kKey0Rights, 64),
            KESTREL_OK);
        const Bytes data = Pattern(kLength, f.fileNo);
        ASSERT_EQ(DF_WriteData(session, f.fileNo, f.mode, 0, kLength, data.data(), key.data()),
                  KESTREL_OK);
        Bytes read(kLength + 2, kGuard);
        uint32_t length = kLength;
        ASSERT_EQ(DF_ReadData(session, f.fileNo, f.mode, 0, &length, read.data() + 1, key.data()),
                  KESTREL_OK);
        EXPECT_EQ(length, kLength);
        EXPECT_EQ(Bytes(read.begin() + 1, read.end() - 1), data);
        EXPECT_EQ(read.front(), kGuard);
        EXPECT_EQ(read.back(), kGuard);
    }

    // Enciphered data read with another key does not decipher to data with a valid CRC.
    Bytes otherKey = key;
    otherKey[0] ^= 0x80;
    Bytes read(kLength, kGuard);
    uint32_t length = kLength;
    const int32_t badCrc =
        DF_ReadData(session, 3, DF_COMM_ENCIPHERED, 0, &length, read.data(), otherKey.data());
    EXPECT_EQ(badCrc, KESTREL_ERR_DF_BAD_CRC);
    EXPECT_STREQ(GetErrorText(badCrc), "DESFire error: bad CRC");
    EXPECT_EQ(read, Bytes(kLength, kGuard));
}

// Nothing listens on port 1: the connection is refused at once and the operating system's
// error number comes back with the system's text for it.
TEST_F(VirtualReaderOverTcpTest, RefusedConnectionGivesTheSystemError) {
    const auto start = std::chrono::steady_clock::now();
    const int32_t result = ConnectReaderEx(session, INTERFACE_TCP, "127.0.0.1:1", 0, 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
#ifdef _WIN32
    EXPECT_EQ(result, 10061);  // WSAECONNREFUSED
#else
    EXPECT_EQ(result, ECONNREFUSED);
#endif
    // -1 would be the library giving up after two seconds.
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
    const std::string text = GetErrorText(result);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, "unknown error");
}

TEST_F(VirtualReaderOverTcpTest, NameWithoutPortGivesMinusOne) {
    for (const char* name : {"127.0.0.1", ""}) {
        EXPECT_EQ(ConnectReaderEx(session, INTERFACE_TCP, name, 0, 0), -1) << name;
    }
}

// The simulator serves the next client once the first has disconnected.
TEST_F(VirtualReaderOverTcpTest, DisconnectAndReconnectToTheSameSimulator) {
    uint8_t uid[10];
    uint8_t length = sizeof uid;
    ASSERT_NO_FATAL_FAILURE(Connect(kClassicSim));
    ASSERT_EQ(SelectIdleCard(session, uid, &length, nullptr, nullptr), KESTREL_OK);
    Disconnect();
    EXPECT_EQ(DisconnectReader(session), KESTREL_ERR_NO_READER);
    EXPECT_EQ(HaltCard(session), KESTREL_ERR_NO_READER);

    ASSERT_NO_FATAL_FAILURE(Connect(kClassicSim));
    length = sizeof uid;
    ASSERT_EQ(SelectIdleCard(session, uid, &length, nullptr, nullptr), KESTREL_OK);
    EXPECT_EQ(Bytes(uid, uid + length), kClassicUid);
}

}  // namespace
}  // namespace kestrel::test
