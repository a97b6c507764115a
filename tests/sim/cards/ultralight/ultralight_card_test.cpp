// MIFARE Ultralight cards in the virtual reader: pages, reads that wrap, the write commands,
// lock and OTP bits.
#include <gtest/gtest.h>

#include "kestrel_sim/cards/ultralight/ultralight_card.h"
#include "kestrel_sim/helpers/codes.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using ultralight::Page;

const Bytes kUid = {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
constexpr uint8_t kOk = status::kOk;
constexpr uint8_t kBad = status::kBadParameter;
constexpr uint8_t kDenied = status::kAuthNotAllowed;

class UltralightTest : public ::testing::Test {
  protected:
    UltralightTest() : host_(reader_) {
        auto card = MakeCard(*FindCardProfile("ultralight"), kUid);
        card_ = dynamic_cast<UltralightCard*>(card.get());
        reader_.AddCard(std::move(card));
        EXPECT_EQ(host_.Status(command::kActivateIdle, {0}), kOk);
        for (int page = 4; page < ultralight::kPages; ++page) {
            card_->SetRawPage(page, {uint8_t(page), uint8_t(page), uint8_t(page), uint8_t(page)});
        }
    }
    test::Reply ReadData(uint8_t page) {
        return host_.Exchange(card_command::kReadData, {mifare::kRead, page, 16}).value();
    }
    int WritePage(uint8_t page, const Page& data) {
        return host_.Status(card_command::kWritePage, {page, data[0], data[1], data[2], data[3]});
    }
    Bytes Pages(std::initializer_list<int> pages) {
        Bytes bytes;
        for (int p : pages)
            bytes.insert(bytes.end(), card_->RawPage(p).begin(), card_->RawPage(p).end());
        return bytes;
    }

    VirtualReader reader_;
    test::Host host_;
    UltralightCard* card_ = nullptr;
};

TEST_F(UltralightTest, FactoryPagesAndReadsThatWrap) {
    EXPECT_EQ(card_->RawPage(0), (Page{0x04, 0xA1, 0xB2, 0x88 ^ 0x04 ^ 0xA1 ^ 0xB2}));
    EXPECT_EQ(card_->RawPage(1), (Page{0xC3, 0xD4, 0xE5, 0xF6}));
    EXPECT_EQ(card_->RawPage(2), (Page{0xC3 ^ 0xD4 ^ 0xE5 ^ 0xF6, 0x48, 0x00, 0x00}));
    EXPECT_EQ(card_->RawPage(3), (Page{}));
    const struct {
        uint8_t page;
        Bytes expected;
    } reads[] = {{0, Pages({0, 1, 2, 3})},
                 {4, Pages({4, 5, 6, 7})},
                 {14, Pages({14, 15, 0, 1})},
                 {15, Pages({15, 0, 1, 2})}};
    for (const auto& r : reads) {
        const test::Reply reply = ReadData(r.page);
        EXPECT_EQ(reply.status, kOk) << int(r.page);
        EXPECT_EQ(reply.data, r.expected) << int(r.page);
        // The reader's block read sends the same card READ.
        EXPECT_EQ(host_.Exchange(card_command::kReadBlock, {r.page})->data, r.expected);
    }
    EXPECT_EQ(ReadData(16).status, kBad);
    EXPECT_EQ(host_.Status(card_command::kReadData, {mifare::kRead, 4, 4}), kBad);
    EXPECT_EQ(host_.Status(card_command::kReadData, {0x31, 4, 16}), kBad);
    EXPECT_EQ(host_.Exchange(card_command::kReadBlock, {16})->data, Bytes(16, 0));
}

TEST_F(UltralightTest, WriteCommandsWriteOnePage) {
    const Bytes sixteen = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const struct {
        const char* name;
        uint8_t code;
        Bytes params;
    } writes[] = {
        {"page write", card_command::kWritePage, {5, 1, 2, 3, 4}},
        {"compatibility write", card_command::kWriteData,
         test::Concat({{mifare::kWrite, 5, 16}, sixteen})},
        {"WRITE through the generic write",
         card_command::kWriteData,
         {mifare::kUltralightWrite, 5, 4, 1, 2, 3, 4}},
        {"block write", card_command::kWriteBlock, test::Concat({{5}, sixteen})},
    };
    for (const auto& w : writes) {
        card_->SetRawPage(5, Page{});
        EXPECT_EQ(host_.Status(w.code, w.params), kOk) << w.name;
        EXPECT_EQ(card_->RawPage(5), (Page{1, 2, 3, 4})) << w.name;
        EXPECT_EQ(card_->RawPage(6), (Page{6, 6, 6, 6})) << w.name;  // only the first 4 bytes
    }
    EXPECT_EQ(WritePage(16, {1, 2, 3, 4}), kBad);
    EXPECT_EQ(host_.Status(card_command::kWriteData, {mifare::kWrite, 5, 4, 1, 2, 3, 4}), kBad);
    EXPECT_EQ(WritePage(0, {0, 0, 0, 0}), kDenied);
    EXPECT_EQ(WritePage(1, {0, 0, 0, 0}), kDenied);
    EXPECT_EQ(Pages({0, 1}),
              Bytes({0x04, 0xA1, 0xB2, 0x88 ^ 0x04 ^ 0xA1 ^ 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
}

TEST_F(UltralightTest, LockAndOtpBitsAreOnlySet) {
    const Page page2 = card_->RawPage(2);
    EXPECT_EQ(WritePage(3, {0x01, 0, 0, 0x80}), kOk);
    EXPECT_EQ(WritePage(3, {0x02, 0, 0, 0x00}), kOk);
    EXPECT_EQ(card_->RawPage(3), (Page{0x03, 0, 0, 0x80}));
    // Lock page 4 (byte 2 bit 4) and page 8 (byte 3 bit 0); BCC1 and the internal byte stay.
    EXPECT_EQ(WritePage(2, {0x00, 0x00, 0x10, 0x01}), kOk);
    EXPECT_EQ(WritePage(2, {0x00, 0x00, 0x00, 0x00}), kOk);
    EXPECT_EQ(card_->RawPage(2), (Page{page2[0], page2[1], 0x10, 0x01}));
    const struct {
        uint8_t page;
        uint8_t status;
    } writes[] = {{4, kDenied}, {5, kOk}, {7, kOk}, {8, kDenied}, {9, kOk}, {15, kOk}};
    for (const auto& w : writes) {
        const Page before = card_->RawPage(w.page);
        EXPECT_EQ(WritePage(w.page, {0xEE, 0xEE, 0xEE, 0xEE}), w.status) << int(w.page);
        EXPECT_EQ(card_->RawPage(w.page) != before, w.status == kOk) << int(w.page);
    }
    // Block-lock bit 1 freezes the lock bits of pages 4-9; those of 10-15 and page 3 still set.
    EXPECT_EQ(WritePage(2, {0, 0, 0x02, 0x00}), kOk);
    EXPECT_EQ(WritePage(2, {0, 0, 0x28, 0x06}), kOk);  // pages 3, 5 / pages 9, 10
    EXPECT_EQ(card_->RawPage(2), (Page{page2[0], page2[1], 0x1A, 0x05}));
    EXPECT_EQ(WritePage(3, {0x04, 0, 0, 0}), kDenied);  // the OTP page is locked now
    EXPECT_EQ(card_->RawPage(3), (Page{0x03, 0, 0, 0x80}));
    EXPECT_EQ(WritePage(5, {0, 0, 0, 0}), kOk);
    EXPECT_EQ(WritePage(10, {0, 0, 0, 0}), kDenied);
}

}  // namespace
}  // namespace kestrel::sim
