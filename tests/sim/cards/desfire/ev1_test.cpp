// The virtual DESFire card's secure messaging after ISO and AES authentication: its ciphers
// against NIST SP 800-38B, a genuine card's trace replayed byte for byte (natively and wrapped in
// APDUs), the APDU wrapping's faults, GetCardUID and the spoiled-answer hooks, and the state
// file's key types and ISO names. The rest is reached through the library's own tests.
#include <gtest/gtest.h>

#include "kestrel_sim/cards/desfire/crypto.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/crc.h"
#include "kestrel_sim/helpers/hex.h"
#include "sim/iso_host.h"

namespace kestrel::sim {
namespace {

namespace df = desfire;

Bytes H(const std::string& hex) {
    return ParseHex(hex).value_or(Bytes{0xEE, 0xEE});  // a typo in a table shows as a failure
}

df::Key KeyOf(const std::string& hex) {
    const Bytes bytes = H(hex);
    df::Key key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

// NIST SP 800-38B, appendix D.1 (AES-128) and D.4 (three-key TDEA, the corrected tags of the
// errata: the first printing had wrong tags for the 8- and 20-byte messages).
TEST(DesfireCrypto, CmacOfTheNistExamples) {
    const std::string message =
        "6BC1BEE22E409F96E93D7E117393172AAE2D8A571E03AC9C9EB76FAC45AF8E51"
        "30C81C46A35CE411E5FBC1191A0A52EFF69F2445DF4F9B17AD2B417BE66C3710";
    const std::string aes = "2B7E151628AED2A6ABF7158809CF4F3C";
    const std::string tdea = "8AA83BF8CBDA10620BC1BF19FBB6CD58BC313D4A371CA8B5";
    const struct {
        df::KeyType type;
        const std::string& key;
        size_t length;
        const char* tag;
    } cases[] = {
        {df::KeyType::kAes, aes, 0, "BB1D6929E95937287FA37D129B756746"},
        {df::KeyType::kAes, aes, 16, "070A16B46B4D4144F79BDD9DD04A287C"},
        {df::KeyType::kAes, aes, 40, "DFA66747DE9AE63030CA32611497C827"},
        {df::KeyType::kAes, aes, 64, "51F0BEBF7E3B9D92FC49741779363CFE"},
        {df::KeyType::k3k3Des, tdea, 0, "B7A688E122FFAF95"},
        {df::KeyType::k3k3Des, tdea, 8, "8E8F293136283797"},
        {df::KeyType::k3k3Des, tdea, 20, "743DDBE0CE2DC2ED"},
        {df::KeyType::k3k3Des, tdea, 32, "33E6B1092400EAE5"},
    };
    const Bytes data = H(message);
    for (const auto& c : cases) {
        uint8_t iv[16] = {};
        ASSERT_TRUE(df::Cmac(c.type, KeyOf(c.key), iv, data.data(), c.length));
        const Bytes tag = H(c.tag);
        EXPECT_EQ(Bytes(iv, iv + tag.size()), tag) << c.tag;
    }
}

TEST(DesfireCrypto, Crc32HasNoFinalInversion) {
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32Desfire(digits.data(), digits.size()), 0x340BC6D9u);  // ~0xCBF43926
}

class Ev1Test : public ::testing::Test {
  protected:
    static inline const Bytes kUid = {0x04, 0x44, 0x0F, 0x32, 0x76, 0x31, 0x80};

    Ev1Test() : host_(reader_) {
        auto card = std::make_unique<DesfireCard>(kUid);
        card_ = card.get();
        reader_.AddCard(std::move(card));
        EXPECT_TRUE(host_.Activate(0x00, true));
        host_.SetCardFrameSize(64);
    }

    // A native command, or the same wrapped in an APDU with its answer unwrapped again.
    Bytes Send(const Bytes& native) {
        if (!wrapped_) return host_.Native(native);
        Bytes apdu = {df::kWrappedClass, native[0], 0x00, 0x00};
        if (native.size() > 1) apdu.push_back(static_cast<uint8_t>(native.size() - 1));
        apdu.insert(apdu.end(), native.begin() + 1, native.end());
        apdu.push_back(0x00);
        const Bytes answer = host_.Native(apdu);
        if (answer.size() < 2 || answer[answer.size() - 2] != df::kWrappedStatus) return answer;
        return Concat({{answer.back()}, Bytes(answer.begin(), answer.end() - 2)});
    }

    static Bytes Concat(std::initializer_list<Bytes> parts) { return test::Concat(parts); }

    VirtualReader reader_;
    test::IsoHost host_;
    DesfireCard* card_ = nullptr;
    bool wrapped_ = false;
};

// A genuine card's exchanges after its applications were made (from the public page "DESFire
// EV1 Communication Examples" of github.com/sotechcllc/RFDoorLock): ISO authentication with
// DES, two-key and three-key triple DES keys, AES authentication with zero and other keys,
// ChangeKey of the authenticated and of another key of every type, ChangeKeySettings, and file
// commands, each answer with its CMAC. RndB is the card's random number where the step begins
// an authentication.
struct TraceStep {
    const char* rndB;
    const char* command;
    const char* answer;
};
const TraceStep kTrace[] = {
    {"", "5A16DE00", "00"},
    {"3B3DFE628164BFDA", "1A00", "AF8476D1CF3024B7C7"},
    {"", "AFDAC67AB743763DC9FAF8A0AE504E80C5", "0013E9E4FA4388BF16"},
    {"", "45", "000F0225DD8D7731B1CFD5"},
    {"", "5427882805FC3FD49D", "00A628378374270ACD"},
    {"", "45", "000D02613FB2D3F453D2E4"},
    {"", "5A16DE00", "00"},
    {"4C647E5672E2A651", "1A00", "AFDE50F92310CAF5A5"},
    {"", "AFE00616668704D5549C8D6A13A0F8FCED", "001D9D2954697DE760"},
    {"", "C400BEDE0FC6ED347DCF0D51C717DF75D97D2C5A2BA6CAC7479D", "00"},
    {"BCD8299747332DAF", "1A00", "AFB295579926155AE3"},
    {"", "AF70F349740C945DAE159BA9FEDBCC461A", "00B8FD7FE56B241FC4"},
    {"", "C40094E4F709DC2A2B07552610A1966E5C49EC90F616EDECA55B", "00"},
    {"A40E79E0F52F63AF", "1A00", "AF9414819CC8BB62C3"},
    {"", "AF937E6B1854A6D92E0FD975D9909001E8", "00E055D11DD9535060"},
    {"", "6400", "00103345AA95F2D956CF"},
    {"", "C400FC9E20FD77191E2AAB0CFD53D9999984BC59E886BFEB42D0", "00"},
    {"CBE9525FB7DF5C3A", "1A00", "AF53A670D78C0DFFD6"},
    {"", "AFB308408B575A2025253D49D693CCC29C", "00525BB01E5B70B794"},
    {"", "C4014EB669E48DCA584749542E1BE89CB4C7845A38C57D19DE59", "002EAD04DCF121E0FE"},
    {"", "C401FA7BEFA6782C93E8D69CF7352CFD33DF5BC8AC4FBA4906FC", "00CB0A506405512893"},
    {"608BECD60A7E4934", "1A01", "AF87D3AC1E09570AAD"},
    {"", "AFD82E8C092631FE15257D67629FC929D5", "00C4132CEF0D13F812"},
    {"", "5A24DE00", "00"},
    {"316E6D76A449F925BA304FB2653656A2", "1A00", "AFBC1C570BC948156187132364E4DCE176"},
    {"", "AFDDDC9A77597F03A40C7FAA362F45A8EADBE46A115D98198CBF36A6E51B39D87C",
     "007244D935ED9A1306CD8C841A7C1DE39A"},
    {"", "C400F4F865F318CB9DE80B2B165145021F4F3AFEF1244FEA42FC997726FDE750741D", "00"},
    {"F4D65642AEEB3D12FB8AC6FE46CE7A2F", "1A00", "AFFA2FB9A17B359D034DF3EB1C4179207E"},
    {"", "AF7BF9E1AC2D7C2836112E642D398FBAEF5CA61CC3A629FA8BD52F43F9D931C043",
     "001E3051B59BA31E4CEF64BBE8721B7BD6"},
    {"", "C4000A9BE77E7203CD8D3EB13D5F2C1F11FFE897ECAC1FE054CE4287685F3CE2162E", "00"},
    {"5814D2513D9EC06668C0CC1B59237AFD", "1A00", "AFEDFAC076F7F75F3FA930D8365A7C9206"},
    {"", "AFB4F5266DBF4BF93970BC386E94F4FA59884E94F9F113B1BFB5A54E5A1BA08892",
     "0065F4F5DADE89E12E2405FCE14D5CD798"},
    {"", "6400", "0010AD4A52B1E31CC741"},
    {"", "C400E6D4F3409549F638364D6E64694EC051D60847159E1040C16B613618C797F707", "00"},
    {"E59426666D9009A7158EDE04436BDA5E", "1A00", "AF8F3154AFA86DA533EABE28859E5D5742"},
    {"", "AF1DD98B71B9006198B8B80043FF296386775ED2C2DBC877BBD952FD06F5F87361",
     "00AECD4704210BCAAFE1533D483FBEF3F8"},
    {"", "C4010170A4721342A8C4C5C4DB5BA1F1AEDFE9CEF73BB46BAC44B8C11498CA17D945",
     "00DC85C9A5A753B17A"},
    {"", "C401E3E2DD9F1E2C8DB578652F78C30C533EADE1E663625E0F74DD13D4F9B9B3E43C",
     "00FA142DEBA3080191"},
    {"41C40C7F0E89710D08A394E304D115E8", "1A01", "AF660B0E97E23B9C0F93FD82D0F069C298"},
    {"", "AF46D182F6B3C5C458EC1EC8BD43F0CA898CC9CD77F9BBC87F4E60617C1FF94266",
     "008018B80E2246BD1C1C05A067CD8E6E17"},
    {"", "5A16AE00", "00"},
    {"C05DDD714FD788A6B7B754F3C4D066E8", "AA00", "AFB969FDFE56FD91FC9DE6F6F213B8FD1E"},
    {"", "AF36AAD7DF6E436BA08D18613830A70D5AD43E3D3F4A8D47541EEE623A934E4774",
     "00800DB680BC146BD121D6578F2D2E2059"},
    {"", "C400E9F85E219496C2B58C1090DC3935FAE9E840CF61B383D9531946256B1F110C10", "00"},
    {"271047125A2AA58178F5C51B1177A19B", "AA00", "AFCCC8316C2B2613FE9A189BAC9CC89D03"},
    {"", "AFC02E061E72E17726489CAEEC997C523758BF863EFE7671C55B4665D06ACCD97B",
     "0072ACCC0BDEA482B53185BB5AD0086246"},
    {"", "C4002945E3760E60F4A4046BB8A505B31CF559A3A2E05213BC82942CA6AB5DBCECF5", "00"},
    {"910368457E2E9AA167355BFB544B9931", "AA00", "AF3E2BE626C05E7798EE518355A751648E"},
    {"", "AFFABF71BB0DC45B8F31BAEDDFF7F3439652D4094DF12C17EF0C94353E6D7770C8",
     "001CE6C574E24923D404E18B6A240C1B08"},
    {"", "6400", "00108A8FA36F55CD210D"},
    {"", "C400635375E4919F8AF2E9E86B1C1BA55B0C0807EAF484D7A7EF6E0C3084160F5A61", "00"},
    {"D81000444B976F48340DCDE34D7AB17C", "AA00", "AFEDDAF0C5D9A7CF42B8808BE2013899A1"},
    {"", "AFD8105F874E2CA57B76C354A8066B0D7880B0C4EC399DBF253438DB46D75F8F60",
     "00459C76B71AB9F1736413F5ACD73E7DF9"},
    {"", "C401E7ECCB6BD1CA64BC161A12B1C024F71430337408C8A87EACAB7A1FF18951FCA3",
     "002128D3CD9C9ACFFF"},
    {"", "C4012841938C40A4BC2C33064482FEADA5F43EC535D34255B0286C2352CD173863C7",
     "00CAF3BF0B2836E9DE"},
    {"626FFBD45CAF334ACCA45599304F5B17", "AA01", "AFB351CB2465D4F33AC627FD6E87A168F2"},
    {"", "AF044B6CAC343A0865895149649CA8DDE1F5AC4EC67BD208900AF02F049E05F0B0",
     "00A2EE144B1012FBEB7B2F11132D95A454"},
    {"", "CD05001100500000", "00A75316AD1596B953"},
    {"", "6F", "00052D5FF67FFEC9D2D3"},
    {"", "F505", "00000011005000002AAC7517024E09DC"},
    {"",
     "3D05000000340000000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F2021222324252"
     "62728292A2B2C2D2E2F30313233",
     "00765C9DAA50ECB62F"},
    {"", "3D053400001C00003435363738393A3B3C3D3E3F404142434445464748494A4B4C4D4E4F",
     "003E0AED986B8B0F37"},
    {"", "BD05000000300000",
     "00000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F202122232425262728292A2B2C2"
     "D2E2F4C65F1F842262BAC"},
    {"", "BD05300000200000",
     "00303132333435363738393A3B3C3D3E3F404142434445464748494A4B4C4D4E4FF02205CF913C03C9"},
    {"", "DF05", "001BEF0D32B6D1D7F9"},
    {"", "6F", "00FC194EA93E3EF8E7"},
    {"", "5A000000", "00"},
    {"144A72D25B227062", "1A00", "AF4415939B21D8EEE8"},
    {"", "AF89D611809D605F8C917A18BF26DE2D6F", "0021696214FDDA2504"},
    {"", "FC", "003C28C112182E3BE8"},
};

class TraceTest : public Ev1Test, public ::testing::WithParamInterface<bool> {
  protected:
    // The card as the trace found it: applications 00DE16 (DES keys), 00DE24 (three-key
    // triple DES) and 00AE16 (AES), two keys each, key settings 0x0F.
    void SetUp() override {
        wrapped_ = GetParam();
        ASSERT_TRUE(card_->AddApplication({0x16, 0xDE, 0x00}, 0x0F, 2));
        ASSERT_TRUE(
            card_->AddApplication({0x24, 0xDE, 0x00}, 0x0F, 2, nullptr, df::KeyType::k3k3Des));
        ASSERT_TRUE(card_->AddApplication({0x16, 0xAE, 0x00}, 0x0F, 2, nullptr, df::KeyType::kAes));
    }
    // Replays the trace from step `begin` up to step `end`; false at the first answer that
    // differs.
    bool Replay(size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            const TraceStep& step = kTrace[i];
            if (*step.rndB != '\0') card_->SetFixedRndB(H(step.rndB));
            const std::string answer = ToHex(Send(H(step.command)));
            EXPECT_EQ(answer, step.answer) << "step " << i << ": " << step.command;
            if (answer != step.answer) return false;
        }
        return true;
    }
    static size_t StepOf(const std::string& command, size_t from = 0) {
        for (size_t i = from; i < std::size(kTrace); ++i) {
            if (kTrace[i].command == command) return i;
        }
        ADD_FAILURE() << command << " is not in the trace";
        return 0;
    }
};

INSTANTIATE_TEST_SUITE_P(NativeAndWrapped, TraceTest, ::testing::Bool());

TEST_P(TraceTest, CardAnswersAsTheGenuineCard) {
    // Up to FormatPICC, which ends the trace: the keys and settings the exchanges changed.
    const size_t format = StepOf("FC");
    ASSERT_TRUE(Replay(0, format));
    const df::Application* aes = card_->FindApplication({0x16, 0xAE, 0x00});
    EXPECT_EQ(aes->keys[1], KeyOf("10182028303840485058606870788088"));
    EXPECT_EQ(aes->KeyVersionOf(1), 0x10);
    EXPECT_EQ(card_->FindApplication({0x24, 0xDE, 0x00})->keys[1],
              KeyOf("101820293038404850586068707880889098A0A8B0B8C0C8"));
    EXPECT_EQ(card_->FindApplication({0x16, 0xDE, 0x00})->keySettings, 0x0D);
    EXPECT_TRUE(card_->SecureMessaging());
    EXPECT_TRUE(Replay(format, std::size(kTrace)));
    EXPECT_EQ(card_->Applications().size(), 1u);
}

// From the AES session where the trace reads key version 0x10: the chain and session key the
// trace prints, GetCardUID enciphered, and the spoiled-answer hooks.
TEST_P(TraceTest, GetCardUidAndSpoiledAnswers) {
    const size_t getKeyVersion = StepOf("6400", StepOf("5A16AE00"));
    ASSERT_TRUE(Replay(0, getKeyVersion));
    const df::Key session = KeyOf("90F7A20191036845EC63DECD544B9931");
    // A CRC fault waits for an enciphered answer: the CMAC of GetKeyVersion stays intact.
    card_->SpoilNextProtectedAnswer(df::Spoil::kCrc);
    ASSERT_EQ(ToHex(Send(H(kTrace[getKeyVersion].command))), kTrace[getKeyVersion].answer);
    EXPECT_TRUE(card_->SpoilPending());
    Bytes chain = H("8A8FA36F55CD210DD8054658AC70D99A");  // the whole CMAC the trace prints

    // GetCardUID: UID, CRC32 over UID and status 00, zero padding, enciphered on the chain.
    for (const bool spoiled : {true, false}) {
        const Bytes answer = Send({df::command::kGetCardUid});
        ASSERT_EQ(answer.size(), 17u);
        EXPECT_EQ(answer[0], 0x00);
        const uint8_t code = df::command::kGetCardUid;
        ASSERT_TRUE(df::Cmac(df::KeyType::kAes, session, chain.data(), &code, 1));
        Bytes plain(16);
        ASSERT_TRUE(df::CbcDecipher(df::KeyType::kAes, session, chain.data(), answer.data() + 1,
                                    plain.data(), 16));
        EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 7), kUid);
        Bytes crc = H("99CE1AD4");  // CRC32 of UID and 00, as a host computes it
        crc[0] ^= spoiled ? 0x01 : 0x00;
        EXPECT_EQ(Bytes(plain.begin() + 7, plain.begin() + 11), crc) << spoiled;
        EXPECT_EQ(Bytes(plain.begin() + 11, plain.end()), Bytes(5, 0x00));
        EXPECT_FALSE(card_->SpoilPending());
    }

    // A CMAC fault: one bit of the next CMAC, whatever the command.
    card_->SpoilNextProtectedAnswer(df::Spoil::kMac);
    const Bytes command = {df::command::kGetKeyVersion, 0x00};
    ASSERT_TRUE(df::Cmac(df::KeyType::kAes, session, chain.data(), command.data(), 2));
    const Bytes covered = {0x10, 0x00};  // the version, then the status
    ASSERT_TRUE(df::Cmac(df::KeyType::kAes, session, chain.data(), covered.data(), 2));
    Bytes expected = Concat({{0x00, 0x10}, Bytes(chain.begin(), chain.begin() + 8)});
    expected.back() ^= 0x01;
    EXPECT_EQ(Send(command), expected);
    EXPECT_FALSE(card_->SpoilPending());
}

TEST_F(Ev1Test, WrappedFramesAndTheirFaults) {
    const struct {
        const char* apdu;
        const char* answer;
    } cases[] = {
        {"9060000000",
         "04010100021805"
         "91AF"},  // GetVersion, first frame
        {"90AF000000",
         "04010100061805"
         "91AF"},                          // continued wrapped
        {"905A00000300000000", "9100"},    // Lc, data, Le
        {"905A000003000000", "9100"},      // Lc, data, no Le
        {"905A000003010203", "91A0"},      // a DESFire status
        {"906401000100", "6A86"},          // P1 not zero
        {"905A0000030000", "6700"},        // Lc beyond the data
        {"905A0000030000000000", "6700"},  // more than Lc and Le
        {"9064", "6700"},                  // shorter than a header
        {"90AF000000", "911C"},            // nothing to continue
    };
    for (const auto& c : cases) EXPECT_EQ(ToHex(host_.Native(H(c.apdu))), c.answer) << c.apdu;
}

// State file version 3: key types, AES key versions and ISO names survive a save and a load;
// what only version 3 may say is refused in older versions.
TEST(DesfireStateFile, KeyTypesAndIsoNames) {
    const std::string text =
        "kestrel-sim desfire state 3\n"
        "uid 04440F32763180\n"
        "application 000000 settings 0F keys 1 type aes\n"
        "key 0 000102030405060708090A0B0C0D0E0F version 42\n"
        "application 16AE00 settings 0F keys 1 type 3k3des isofileids 1 fileid E110 dfname "
        "D2760000850101\n"
        "key 0 101820293038404850586068707880889098A0A8B0B8C0C8\n"
        "file 1 standard comm 03 access EEEE fileid E104 data 0011\n";
    std::string error;
    const std::optional<df::CardImage> image = df::ParseStateFile(text, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->applications[0].keyType, df::KeyType::kAes);
    EXPECT_EQ(image->applications[0].KeyVersionOf(0), 0x42);
    EXPECT_EQ(image->applications[1].files.at(1).isoFileId, 0xE104);
    EXPECT_EQ(df::FormatStateFile(*image), text);

    const std::string head = "kestrel-sim desfire state 3\nuid 04440F32763180\n";
    const struct {
        std::string text;
        const char* error;
    } refused[] = {
        {"kestrel-sim desfire state 2\nuid 04440F32763180\n"
         "application 000000 settings 0F keys 1 type aes\n",
         "line 3: application needs"},
        {head + "application 000000 settings 0F keys 1 type aes\nkey 0 " + std::string(32, '0') +
             "\n",
         "line 4: an AES key needs: key N 32-HEX-DIGITS version HH"},
        {head + "application 000000 settings 0F keys 1 type 3k3des\nkey 0 " + std::string(32, '0') +
             "\n",
         "line 4: a key has 24 bytes in hex"},
        {head + "application 000000 settings 0F keys 1 type rsa\n", "line 3: type must be"},
        {head + "application 000000 settings 0F keys 1 fileid E110\n",
         "line 3: ISO names need isofileids 1"},
    };
    for (const auto& c : refused) {
        EXPECT_FALSE(df::ParseStateFile(c.text, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

}  // namespace
}  // namespace kestrel::sim
