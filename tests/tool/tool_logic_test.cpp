// The command-line tool's own logic: arguments, key files, images, access conditions in words
// and the decoding of card answers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "acl.h"
#include "atomic_file.h"
#include "card_info.h"
#include "classic_image.h"
#include "desfire_card.h"
#include "keys.h"
#include "progress.h"
#include "reader.h"

namespace kestrel::tool {
namespace {

TEST(ToolArguments, HexAndNumbers) {
    EXPECT_EQ(ParseHex(" a1B2 c3\t", "x"), (Bytes{0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(ParseHex("", "x"), Bytes{});
    for (const char* bad : {"A1B", "A1 G2", "0xA1"}) {
        EXPECT_THROW(ParseHex(bad, "x"), UsageError) << bad;
    }
    EXPECT_THROW(ParseHexOfSize("A1B2", 3, "key"), UsageError);
    EXPECT_EQ(ParseNumber("0x1F", 255, "n"), 31u);
    EXPECT_EQ(ParseNumber("255", 255, "n"), 255u);
    for (const char* bad : {"256", "", "0x", "1a", "-1", "99999999999999999999"}) {
        EXPECT_THROW(ParseNumber(bad, 255, "n"), UsageError) << bad;
    }
    EXPECT_EQ(HexAsciiRows(reinterpret_cast<const uint8_t*>("AB\x01"), 3, 4, 0x10),
              std::vector<std::string>{"0010: 41 42 01     |AB.|"});
}

TEST(ToolFiles, DataArgumentsAndAtomicImages) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kestrel-files-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string target = (dir / "image.bin").string();
    std::ofstream(target, std::ios::binary) << "old";
    EXPECT_EQ(ReadDataArgument("@" + target, "data"), (Bytes{'o', 'l', 'd'}));
    EXPECT_THROW(ReadDataArgument("@" + (dir / "missing").string(), "data"), UsageError);

    auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(dir),
                             std::filesystem::directory_iterator());
    };
    {
        AtomicFile file(target);  // abandoned: the old file stays, the temporary one goes
        EXPECT_EQ(entries(), 2);
    }
    EXPECT_EQ(entries(), 1);
    EXPECT_EQ(ReadDataArgument("@" + target, "data").size(), 3u);
    {
        AtomicFile file(target);
        file.Commit(Bytes(1024, 0x5A));
    }
    EXPECT_EQ(entries(), 1);
    EXPECT_EQ(ReadDataArgument("@" + target, "data"), Bytes(1024, 0x5A));
    EXPECT_THROW(AtomicFile((dir / "no" / "such" / "folder").string()), UsageError);
    std::filesystem::remove_all(dir);
}

TEST(ToolArguments, ReaderNamesPickTheInterface) {
    const struct {
        const char* name;
        int32_t interfaceType;
    } cases[] = {{"127.0.0.1:4711", INTERFACE_TCP},
                 {"COM3", INTERFACE_RS232},
                 {"/dev/pts/4", INTERFACE_RS232},
                 {"USB_0", INTERFACE_USB}};
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveReader(c.name).interfaceType, c.interfaceType) << c.name;
    }
    for (const char* bad : {"localhost:4711", "COM", "USB_x", "1.2.3.4:", "reader"}) {
        EXPECT_THROW(ResolveReader(bad), UsageError) << bad;
    }
    ::setenv("KESTREL_READER", "10.0.0.2:99", 1);
    EXPECT_EQ(ResolveReader("").name, "10.0.0.2:99");
    ::unsetenv("KESTREL_READER");
    EXPECT_EQ(ResolveReader("").name, kDefaultReader);
}

TEST(ToolKeys, ClassicKeyFiles) {
    const std::vector<ClassicKey> keys = ParseClassicKeys(
        "# keys\n\nA0A1A2A3A4A5\n  ffffffffffff  # factory\r\nA0A1A2A3A4A5\n", "k.txt");
    ASSERT_EQ(keys.size(), 2u);  // the repeated key once
    EXPECT_EQ(keys[0], (ClassicKey{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
    EXPECT_EQ(keys[1], (ClassicKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    try {
        ParseClassicKeys("FFFFFFFFFFFF\nFFFF\n", "k.txt");
        FAIL() << "a short key was taken";
    } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find("k.txt: line 2"), std::string::npos) << e.what();
    }
    EXPECT_THROW(ParseClassicKeys("# nothing\n", "k.txt"), UsageError);
    EXPECT_EQ(DefaultClassicKeys().front(), (ClassicKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(ToolKeys, DesfireKeys) {
    const DesfireKey des = ParseDesfireKey("3:0011223344556677");
    EXPECT_EQ(des.number, 3);
    EXPECT_EQ(des.type, DesfireKey::Type::Des);
    EXPECT_EQ(ToHex(des.bytes.data(), 16), "00112233445566770011223344556677");
    const DesfireKey tdes = ParseDesfireKey("0:00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(tdes.type, DesfireKey::Type::TwoKeyTripleDes);
    for (const char* bad :
         {"0011223344556677", "14:0011223344556677", "0:00112233", "x:0011223344556677"}) {
        EXPECT_THROW(ParseDesfireKey(bad), UsageError) << bad;
    }
}

TEST(ToolClassicImage, LayoutsAndValueBlocks) {
    EXPECT_EQ(LayoutForImage(1024, "f").sectors, 16);
    EXPECT_EQ(LayoutForImage(4096, "f").sectors, 40);
    EXPECT_THROW(LayoutForImage(1023, "f"), UsageError);
    EXPECT_EQ(LayoutForSak(0x18)->blocks, 256);
    EXPECT_FALSE(LayoutForSak(0x20));
    EXPECT_EQ(AccessGroup(32, 128 + 9), 1);  // 16-block sectors: groups of five blocks
    EXPECT_EQ(AccessGroup(1, 6), 2);

    for (int32_t value : {0, 1, -1, INT32_MAX, INT32_MIN}) {
        const Bytes block = EncodeValueBlock(value, 9);
        uint8_t address = 0;
        EXPECT_EQ(DecodeValueBlock(block.data(), &address), value);
        EXPECT_EQ(address, 9);
    }
    EXPECT_EQ(ToHex(EncodeValueBlock(100, 5)), "640000009BFFFFFF6400000005FA05FA");
    // Each copy of the value and of the address is checked.
    for (size_t spoiled : {0u, 5u, 9u, 12u, 13u, 14u, 15u}) {
        Bytes block = EncodeValueBlock(100, 5);
        block[spoiled] ^= 0x01;
        EXPECT_FALSE(DecodeValueBlock(block.data())) << spoiled;
    }
}

TEST(ToolAccessConditions, Wording) {
    const uint8_t factory[4] = {0xFF, 0x07, 0x80, 0x69};
    const Json f = DescribeAccess(factory, 4, 4);
    EXPECT_EQ(f["groups"][0]["blocks"], "4");
    EXPECT_EQ(f["groups"][2]["write"], "A or B");
    EXPECT_EQ(f["trailer"]["block"], 7);
    EXPECT_EQ(f["trailer"]["condition"], 1);
    EXPECT_EQ(f["trailer"]["keyB"]["read"], "A");
    EXPECT_EQ(f["trailer"]["access"]["write"], "A");

    const uint8_t value[4] = VALUE_SECTOR_ACCESS;
    const Json v = DescribeAccess(value, 128, 16);
    EXPECT_EQ(v["groups"][1]["blocks"], "133-137");
    EXPECT_EQ(v["groups"][1]["condition"], 6);
    EXPECT_EQ(v["groups"][1]["read"], "A or B");
    EXPECT_EQ(v["groups"][1]["write"], "B");
    EXPECT_EQ(v["groups"][1]["increment"], "B");
    EXPECT_EQ(v["groups"][1]["decrement"], "A or B");
    EXPECT_EQ(v["trailer"]["keyB"]["read"], "never");
    EXPECT_EQ(AccessText(v).back(),
              "trailer block 143 (condition 3): key A read never, write B; access bits read A "
              "or B, write B; key B read never, write B");

    const uint8_t broken[4] = {0xFF, 0x07, 0x81, 0x69};
    EXPECT_FALSE(DescribeAccess(broken, 0, 4)["consistent"].get<bool>());
    EXPECT_FALSE(DescribeAccess(broken, 0, 4).contains("groups"));
}

TEST(ToolAccessConditions, TrailersThatWouldLockTheSector) {
    const struct {
        const char* access;
        bool refused;
    } cases[] = {
        {"FF078069", false},  // transport configuration: key A rewrites everything
        {"08778F00", false},  // value sector: key B rewrites the conditions
        {"FF078169", true},   // copies disagree: the card blocks the sector
        {"7F0F08", true},     // trailer condition 2: nothing can be written again
        {"00F0FF", true},     // every group and the trailer condition 7
    };
    for (const auto& c : cases) {
        Bytes access = ParseHex(c.access, "access");
        access.resize(4);
        EXPECT_EQ(!TrailerLockReason(access.data()).empty(), c.refused) << c.access;
    }
    EXPECT_TRUE(AccessBitsConsistent(ParseHex("7F0F08", "a").data()));
}

TEST(ToolCardInfo, FamiliesAndActivationAnswers) {
    const struct {
        uint16_t atqa;
        uint8_t sak;
        const char* family;
    } families[] = {{0x0004, 0x08, "MIFARE Classic 1K"}, {0x0002, 0x18, "MIFARE Classic 4K"},
                    {0x0044, 0x00, "MIFARE Ultralight"}, {0x0344, 0x20, "MIFARE DESFire"},
                    {0x0004, 0x20, "ISO 14443-4"},       {0x0004, 0x01, "ISO 14443-3 Type A"}};
    for (const auto& f : families) EXPECT_EQ(TypeAFamily(f.atqa, f.sak), f.family) << f.family;

    const Json ats = DecodeAts(ParseHex("067577810280", "ats"));
    EXPECT_EQ(ats["fsc"], 64);
    EXPECT_EQ(ats["fwi"], 8);
    EXPECT_EQ(ats["cidSupported"], true);
    EXPECT_EQ(ats["historicalBytes"], "80");
    EXPECT_EQ(DecodeAts(ParseHex("0178", "ats")).value("malformed", false), true);  // TL lies
    EXPECT_EQ(DecodeAts(ParseHex("0270", "ats")).value("malformed", false), true);  // TA..TC cut
    EXPECT_EQ(DecodeAts(ParseHex("01", "ats"))["fsc"], 32);

    const Json atqb = DecodeAtqb(ParseHex("501122334400000001005171", "atqb"));
    EXPECT_EQ(atqb["pupi"], "11223344");
    EXPECT_EQ(atqb["maxFrameSize"], 64);
    EXPECT_EQ(atqb["iso14443_4"], true);
    EXPECT_EQ(atqb["fwi"], 7);
    EXPECT_TRUE(DecodeAtqb(ParseHex("5011", "atqb")).value("malformed", false));

    const Json version = DecodeDesfireVersion(
        ParseHex("040101000218050401010106180504A1B2C3D4E5F64B53494D010124", "v"));
    EXPECT_EQ(version["hardware"]["storageSize"], "4096 bytes");
    EXPECT_EQ(version["software"]["version"], "1.6");
    EXPECT_EQ(version["uid"], "04A1B2C3D4E5F6");
    EXPECT_EQ(version["productionYear"], "2024");
    EXPECT_EQ(version["productionWeek"], "1");
}

TEST(ToolDesfire, ApplicationsFilesAndRights) {
    EXPECT_EQ(ParseAid("123456"), 0x123456u);
    EXPECT_EQ(ParseAid("F"), 0xFu);
    EXPECT_EQ(AidText(0x00ABCD), "00ABCD");
    EXPECT_THROW(ParseAid("1234567"), UsageError);

    const std::array<uint8_t, 4> rights = ParseAccessRights("1,free,E,never");
    EXPECT_EQ(rights, (std::array<uint8_t, 4>{1, 0x0E, 0x0E, 0x0F}));
    for (const char* bad : {"1,2,3", "1,2,3,4,5", "1,2,3,14"}) {
        EXPECT_THROW(ParseAccessRights(bad), UsageError) << bad;
    }

    FileSettings value;
    value.type = 2;
    value.comm = 3;
    value.specific = ParseHex("F6FFFFFF E8030000 05000000 01", "s");
    const Json v = DescribeFile(value);
    EXPECT_EQ(v["communication"], "enc");
    EXPECT_EQ(v["lowerLimit"], -10);
    EXPECT_EQ(v["upperLimit"], 1000);
    EXPECT_EQ(v["limitedCreditValue"], 5);
    EXPECT_EQ(v["limitedCredit"], true);

    FileSettings records;
    records.type = 4;
    records.access[0] = 0x0E;
    records.specific = ParseHex("100000 050000 020000", "s");
    const Json r = DescribeFile(records);
    EXPECT_EQ(r["type"], "cyclic record");
    EXPECT_EQ(r["access"]["read"], "free");
    EXPECT_EQ(r["recordSize"], 16u);
    EXPECT_EQ(r["maxRecords"], 5u);
    EXPECT_EQ(r["records"], 2u);

    const Json settings = DescribeKeySettings(0xE9, 3, true);
    EXPECT_EQ(settings["changeKeysWith"], "each key itself");
    EXPECT_EQ(settings["masterKeyChangeable"], true);
    EXPECT_EQ(settings["listWithoutMasterKey"], false);
}

TEST(ToolProgress, Bar) {
    EXPECT_EQ(Progress::Render(4, 16, "sectors", 2.0, 8), "[##......] 4/16 sectors  2.0/s  00:02");
    EXPECT_EQ(Progress::Render(0, 0, "bytes", 0, 4), "[####] 0/0 bytes  0.0/s  00:00");
}

}  // namespace
}  // namespace kestrel::tool
