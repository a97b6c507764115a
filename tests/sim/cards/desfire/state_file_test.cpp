// The DESFire card's state file: its text, round trips through files and the card text
// desfire:UIDHEX:FILE, and the files the card refuses.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/image_file.h"
#include "kestrel_sim/reader/card_catalog.h"

namespace kestrel::sim {
namespace {

namespace df = desfire;

const Bytes kUid = {0x04, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
const char kFactoryText[] =
    "kestrel-sim desfire state 1\n"
    "uid 04102030405060\n"
    "application 000000 settings 0F keys 1\n"
    "key 0 00000000000000000000000000000000\n";

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
Bytes FromText(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

bool SameApplications(const std::vector<df::Application>& a,
                      const std::vector<df::Application>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].aid != b[i].aid || a[i].keySettings != b[i].keySettings ||
            a[i].keys != b[i].keys) {
            return false;
        }
    }
    return true;
}

class DesfireStateFileTest : public ::testing::Test {
  protected:
    DesfireStateFileTest() {
        char pattern[] = "/tmp/kestrel-sim-desfire-XXXXXX";
        dir_ = ::mkdtemp(pattern);
    }
    ~DesfireStateFileTest() override {
        for (const std::string& f : files_) ::unlink(f.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string File(const std::string& name) {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }
    static void Put(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::unique_ptr<Card> Parse(const std::string& text) {
        error_.clear();
        return ParseCard(text, random_, &error_);
    }
    // A card with an application and keys that differ from the factory ones.
    static std::unique_ptr<DesfireCard> PreparedCard() {
        auto card = std::make_unique<DesfireCard>(kUid);
        EXPECT_TRUE(card->AddApplication({0x12, 0x34, 0x56}, 0xE9, 3));
        EXPECT_TRUE(card->AddApplication({0xFF, 0xFF, 0xFF}, 0x00, 14));
        df::Application* application = card->FindApplication({0x12, 0x34, 0x56});
        for (size_t k = 0; k < application->keys.size(); ++k) {
            for (size_t i = 0; i < 16; ++i) {
                application->keys[k][i] = static_cast<uint8_t>(k * 16 + i);
            }
        }
        return card;
    }

    std::string dir_;
    std::vector<std::string> files_;
    std::mt19937 random_{11};
    std::string error_;
};

TEST_F(DesfireStateFileTest, FactoryStateText) {
    const DesfireCard card(kUid);
    EXPECT_EQ(Text(card.SaveImage()), kFactoryText);
    EXPECT_EQ(card.ImageSize(), sizeof kFactoryText - 1);
}

TEST_F(DesfireStateFileTest, RoundTrip) {
    const std::unique_ptr<DesfireCard> card = PreparedCard();
    const Bytes image = card->SaveImage();
    EXPECT_NE(Text(image).find("application 123456 settings E9 keys 3\n"
                               "key 0 000102030405060708090A0B0C0D0E0F\n"
                               "key 1 101112131415161718191A1B1C1D1E1F\n"),
              std::string::npos)
        << Text(image);

    DesfireCard copy(kUid);
    ASSERT_TRUE(copy.LoadImage(image, &error_)) << error_;
    EXPECT_TRUE(SameApplications(copy.Applications(), card->Applications()));
    EXPECT_EQ(copy.SaveImage(), image);

    // Comments, blank lines and CR LF line ends are read too.
    std::string annotated = "# saved by hand\n\n" + Text(image);
    for (size_t at = annotated.find('\n'); at != std::string::npos;
         at = annotated.find('\n', at + 2)) {
        annotated.insert(at, "\r");
    }
    DesfireCard again(kUid);
    ASSERT_TRUE(again.LoadImage(FromText(annotated), &error_)) << error_;
    EXPECT_TRUE(SameApplications(again.Applications(), card->Applications()));
}

TEST_F(DesfireStateFileTest, TheCardRefusesAnotherUid) {
    DesfireCard other({0x04, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01});
    const Bytes before = other.SaveImage();
    EXPECT_FALSE(other.LoadImage(PreparedCard()->SaveImage(), &error_));
    EXPECT_NE(error_.find("UID 04102030405060"), std::string::npos) << error_;
    EXPECT_EQ(other.SaveImage(), before);
}

struct BadFileCase {
    const char* name;
    std::string text;
    const char* message;
};
class BadStateFileTest : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(BadStateFileTest, IsRefusedWithItsLine) {
    const BadFileCase& c = GetParam();
    std::string error;
    EXPECT_FALSE(df::ParseStateFile(c.text, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    DesfireCard card(kUid);
    EXPECT_FALSE(card.LoadImage(FromText(c.text), &error));
    EXPECT_EQ(Text(card.SaveImage()), kFactoryText);
}

const std::string kHead = "kestrel-sim desfire state 1\nuid 04102030405060\n";
const std::string kLevel =
    "application 000000 settings 0F keys 1\nkey 0 " + std::string(32, '0') + "\n";
const std::string kZeroKeyHex(32, '0');

INSTANTIATE_TEST_SUITE_P(
    Files, BadStateFileTest,
    ::testing::Values(
        BadFileCase{"empty", "", "end of file: not a DESFire state file"},
        BadFileCase{"a_dump", std::string(1024, '\xFF'), "line 1: not a DESFire state file"},
        BadFileCase{"newer_version", "kestrel-sim desfire state 4\n",
                    "line 1: state file version 4 is not known"},
        BadFileCase{"no_uid", "kestrel-sim desfire state 1\n", "end of file: no uid"},
        BadFileCase{"short_uid", "kestrel-sim desfire state 1\nuid 041020\n",
                    "line 2: uid needs 7 bytes"},
        BadFileCase{"cascade_tag_uid", "kestrel-sim desfire state 1\nuid 04102088405060\n",
                    "line 2: UID byte 3 must not be 88"},
        BadFileCase{"second_uid", kHead + "uid 04102030405060\n", "line 3: a second uid"},
        BadFileCase{"no_card_level", kHead, "end of file: no card level"},
        BadFileCase{"application_first", kHead + "application 010203 settings 0F keys 1\n",
                    "line 3: the card level (application 000000) comes first"},
        BadFileCase{"card_level_twice", kHead + kLevel + "application 000000 settings 0F keys 1\n",
                    "line 5: the card level"},
        BadFileCase{"card_level_keys", kHead + "application 000000 settings 0F keys 2\n",
                    "line 3: the card level has 1 key"},
        BadFileCase{"missing_key", kHead + "application 000000 settings 0F keys 1\n",
                    "end of file: the last application has fewer keys"},
        BadFileCase{"missing_key_before_next",
                    kHead + kLevel + "application 010203 settings 0F keys 2\nkey 0 " + kZeroKeyHex +
                        "\napplication 040506 settings 0F keys 1\n",
                    "line 7: the application before has fewer keys"},
        BadFileCase{"too_many_keys", kHead + kLevel + "application 010203 settings 0F keys 15\n",
                    "line 5: keys must be 1 to 14"},
        BadFileCase{"same_aid_twice",
                    kHead + kLevel + "application 010203 settings 0F keys 1\nkey 0 " + kZeroKeyHex +
                        "\napplication 010203 settings 0F keys 1\n",
                    "line 7: application 010203 twice"},
        BadFileCase{
            "key_out_of_order",
            kHead + kLevel + "application 010203 settings 0F keys 2\nkey 1 " + kZeroKeyHex + "\n",
            "line 6: key 1 out of order; expected key 0"},
        BadFileCase{"extra_key", kHead + kLevel + "key 1 " + kZeroKeyHex + "\n",
                    "line 5: key 1: the application declares 1 keys"},
        BadFileCase{"short_key", kHead + "application 000000 settings 0F keys 1\nkey 0 0011\n",
                    "line 4: a key has 16 bytes"},
        BadFileCase{"bad_settings", kHead + "application 000000 settings XY keys 1\n",
                    "line 3: settings need one byte"},
        BadFileCase{"bad_application_line", kHead + "application 000000 keys 1\n",
                    "line 3: application needs"},
        BadFileCase{"unknown_item", kHead + kLevel + "folder 01 std 32\n",
                    "line 5: unknown item 'folder'"},
        BadFileCase{"file_in_version_1", kHead + kLevel + "file 01 std 32\n",
                    "line 5: 'file' needs state file version 2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesfireStateFileTest, CardTextWithAFile) {
    const std::string path = File("card.txt");
    // No file yet: the factory state, kept in the file on saving.
    std::unique_ptr<Card> card = Parse("desfire:04102030405060:" + path);
    ASSERT_TRUE(card) << error_;
    EXPECT_EQ(card->ImagePath(), path);
    auto* desfire = dynamic_cast<DesfireCard*>(card.get());
    ASSERT_NE(desfire, nullptr);
    ASSERT_TRUE(desfire->AddApplication({1, 2, 3}, 0x0F, 2));
    const Bytes image = card->SaveImage();

    VirtualReader reader;
    ASSERT_TRUE(reader.AddCard(std::move(card)));
    std::string savedTo;
    ASSERT_TRUE(SaveCardImage(reader, kUid, "", &savedTo, &error_)) << error_;
    EXPECT_EQ(savedTo, path);
    EXPECT_EQ(Get(path), Text(image));

    for (const std::string& text : {"desfire::" + path, "desfire:04102030405060:" + path}) {
        const std::unique_ptr<Card> loaded = Parse(text);
        ASSERT_TRUE(loaded) << text << ": " << error_;
        EXPECT_EQ(loaded->Uid(), kUid);
        EXPECT_EQ(loaded->SaveImage(), image);
    }
    EXPECT_FALSE(Parse("desfire:04AABBCCDDEEFF:" + path));
    EXPECT_NE(error_.find("holds UID 04102030405060"), std::string::npos) << error_;

    const std::string broken = File("broken.txt");
    Put(broken, kHead + "application 000000 settings 0F\n");
    for (const std::string& text : {"desfire::" + broken, "desfire:04102030405060:" + broken}) {
        EXPECT_FALSE(Parse(text)) << text;
        EXPECT_EQ(error_,
                  broken + ": line 3: application needs: application AID settings HH keys N")
            << text;
    }
}

}  // namespace
}  // namespace kestrel::sim
