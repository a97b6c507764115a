// Card memory images: dumps in files, loaded by the card text TYPE:UIDHEX:FILE and saved back.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "kestrel_sim/cards/classic/classic_card.h"
#include "kestrel_sim/cards/ultralight/ultralight_card.h"
#include "kestrel_sim/helpers/image_file.h"
#include "kestrel_sim/reader/card_catalog.h"

namespace kestrel::sim {
namespace {

class CardImageTest : public ::testing::Test {
  protected:
    CardImageTest() {
        char pattern[] = "/tmp/kestrel-sim-images-XXXXXX";
        dir_ = ::mkdtemp(pattern);
    }
    ~CardImageTest() override {
        for (const std::string& f : files_) ::unlink(f.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string File(const std::string& name) {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }
    static void Put(const std::string& path, const Bytes& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    static Bytes Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::unique_ptr<Card> Parse(const std::string& text) {
        error_.clear();
        return ParseCard(text, random_, &error_);
    }

    std::string dir_;
    std::vector<std::string> files_;
    std::mt19937 random_{7};
    std::string error_;
};

TEST_F(CardImageTest, ClassicRoundTripThroughAFile) {
    const std::string path = File("card.mfd");
    // A file that does not exist yet: factory memory, written on saving.
    std::unique_ptr<Card> card = Parse("classic4k:01020304:" + path);
    ASSERT_TRUE(card) << error_;
    EXPECT_EQ(card->ImagePath(), path);
    auto* classic = dynamic_cast<ClassicCard*>(card.get());
    classic->SetRawBlock(129, classic::EncodeValueBlock(5, 129));
    const Bytes image = card->SaveImage();
    ASSERT_EQ(image.size(), 4096u);
    EXPECT_EQ(Bytes(image.begin() + 3 * 16, image.begin() + 4 * 16),
              Bytes(classic->RawBlock(3).begin(), classic->RawBlock(3).end()));  // real keys

    VirtualReader reader;
    ASSERT_TRUE(reader.AddCard(std::move(card)));
    std::string savedTo;
    ASSERT_TRUE(SaveCardImage(reader, {1, 2, 3, 4}, "", &savedTo, &error_)) << error_;
    EXPECT_EQ(savedTo, path);
    EXPECT_EQ(Get(path), image);

    // The UID comes from the file when none is given, or must equal it.
    for (const std::string& text : {"classic4k::" + path, "classic4k:01020304:" + path}) {
        const std::unique_ptr<Card> loaded = Parse(text);
        ASSERT_TRUE(loaded) << text << ": " << error_;
        EXPECT_EQ(loaded->Uid(), (Bytes{1, 2, 3, 4}));
        EXPECT_EQ(loaded->SaveImage(), image);
    }
    const std::string other = File("other.mfd");
    ASSERT_TRUE(SaveCardImage(reader, {1, 2, 3, 4}, other, &savedTo, &error_)) << error_;
    EXPECT_EQ(Get(other), image);
}

TEST_F(CardImageTest, UltralightRoundTrip) {
    const std::string path = File("tag.bin");
    Bytes image(64, 0);
    const Bytes uidPages = {0x04, 0x11, 0x22, 0xBF, 0x33, 0x44, 0x55, 0x66};
    std::copy(uidPages.begin(), uidPages.end(), image.begin());
    image[20] = 0xAB;  // page 5
    Put(path, image);
    const std::unique_ptr<Card> card = Parse("ultralight::" + path);
    ASSERT_TRUE(card) << error_;
    EXPECT_EQ(card->Uid(), (Bytes{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    EXPECT_EQ(dynamic_cast<UltralightCard*>(card.get())->RawPage(5)[0], 0xAB);
    EXPECT_EQ(card->SaveImage(), image);
}

TEST_F(CardImageTest, FilesThatDoNotFitAreRefused) {
    const std::string shortFile = File("short.mfd");
    Put(shortFile, Bytes(1023, 0));
    const std::string otherUid = File("other-uid.mfd");
    Put(otherUid, MakeCard(*FindCardProfile("classic1k"), {9, 9, 9, 9})->SaveImage());
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {"classic1k:01020304:" + shortFile, "1023 bytes"},
        {"classic4k:01020304:" + otherUid, "1024 bytes"},
        {"classic1k:01020304:" + otherUid, "holds UID 09090909, not 01020304"},
        {"classic1k:01020304:" + dir_, "cannot read"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Parse(c.text)) << c.text;
        EXPECT_NE(error_.find(c.message), std::string::npos) << c.text << ": " << error_;
    }
    VirtualReader reader;
    reader.AddCard(MakeCard(*FindCardProfile("classic1k"), {1, 2, 3, 4}));
    EXPECT_FALSE(SaveCardImage(reader, {1, 2, 3, 4}, "", nullptr, &error_));
    EXPECT_NE(error_.find("no image file"), std::string::npos) << error_;
    EXPECT_FALSE(SaveCardImage(reader, {1, 2, 3, 4}, dir_ + "/missing/x.mfd", nullptr, &error_));
}

}  // namespace
}  // namespace kestrel::sim
