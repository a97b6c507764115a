// MIFARE DESFire cards: the native command set over ISO/IEC 14443-4, also wrapped in ISO/IEC
// 7816-4 APDUs; legacy DES and two-key triple DES authentication, ISO and AES authentication
// with CMAC secure messaging, DES, two-key and three-key triple DES and AES keys, key settings
// and key versions, applications with ISO names, files (standard, backup, value, linear and
// cyclic record files) and transactions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kestrel_sim/cards/desfire/application.h"
#include "kestrel_sim/cards/desfire/codes.h"
#include "kestrel_sim/cards/desfire/session.h"
#include "kestrel_sim/cards/desfire/state_file.h"
#include "kestrel_sim/cards/desfire/transaction.h"
#include "kestrel_sim/cards/iso14443_4/iso14443_4_card.h"

namespace kestrel::sim {

namespace desfire {

// What a native command answers: the data of each answer frame and the status of the last;
// every frame before the last goes out with status 0xAF and waits for the host's 0xAF.
struct NativeAnswer {
    uint8_t status = status::kOk;
    std::vector<Bytes> frames;
};
NativeAnswer Status(uint8_t statusByte);
// `data` cut into answer frames of at most kMaxFrameData bytes.
NativeAnswer Frames(const Bytes& data);

}  // namespace desfire

// A DESFire card with a 7-byte UID (ATQA 0x0344, SAK 0x20, ATS 06 75 77 81 02 80). Native
// commands arrive as ISO/IEC 14443-4 messages, one native frame each: the command byte and its
// data; the answer is the status byte and the data. A message with class byte 0x90 is a native
// frame wrapped in an APDU (INS = command, P1 = P2 = 0, Lc, data, Le): its answer is the data,
// then 0x91 and the status. It starts in the factory state: the card
// level only, key settings 0x0F, card master key 16 zero bytes (version 0).
class DesfireCard : public Iso14443_4Card {
  public:
    static const Bytes kAts;

    explicit DesfireCard(Bytes uid);

    // The command from its first frame on, all its continuation data appended.
    using NativeHandler = std::function<desfire::NativeAnswer(DesfireCard& card, const Bytes&)>;
    // The length (command byte included) a command collects before it runs, read from its
    // first frame; up to the length of that frame means it runs at once. A longer command is
    // collected over frames the host starts with 0xAF, each answered with 0xAF.
    using CommandLength = std::function<size_t(const Bytes& firstFrame)>;
    // Adds or replaces a native command (the built-in ones are registered the same way).
    void RegisterNativeCommand(uint8_t code, NativeHandler handler, CommandLength length = {});

    // The card's state, for tests and for preparing a card.
    const std::vector<desfire::Application>& Applications() const { return applications_; }
    const desfire::Application* FindApplication(const desfire::Aid& aid) const;
    desfire::Application* FindApplication(const desfire::Aid& aid);
    // Adds an application with `keyCount` keys of `type`, all zero bytes. False and *error for
    // the AID 000000, an AID already there, or a key count outside 1 to 14.
    bool AddApplication(const desfire::Aid& aid, uint8_t keySettings, size_t keyCount,
                        std::string* error = nullptr,
                        desfire::KeyType type = desfire::KeyType::kDes);
    const desfire::Application& SelectedApplication() const { return applications_[selected_]; }
    // The key number of the current authentication, and its session key (16 bytes, 24 after
    // an authentication with a three-key triple DES key).
    std::optional<uint8_t> AuthenticatedKey() const { return session_.KeyNumber(); }
    const Bytes& SessionKey() const { return session_.SessionKey(); }
    // True while the authentication in force is an ISO or AES one (CMAC secure messaging).
    bool SecureMessaging() const { return session_.Secure(); }

    // EEPROM size: 2048, 4096 (the default) or 8192 bytes; false for any other value. The card
    // refuses applications and files beyond it (0x0E) and reports it in GetVersion. A smaller
    // capacity than the card uses already is refused as well.
    bool SetCapacity(size_t bytes);
    size_t Capacity() const { return capacity_; }
    size_t FreeMemory() const;

    // Tests: the next answer that carries protected data goes out spoiled once: a MAC or CMAC
    // with one bit flipped, or a cryptogram whose CRC has one bit flipped before encipherment;
    // `what` chooses which of them waits (kEither: whichever comes first). The host finds a
    // wrong MAC or CRC. After a legacy authentication MACs and CRCs come with reads in a MACed
    // or enciphered communication mode; under secure messaging every answer 0x00 carries a
    // CMAC or an enciphered CRC.
    void SpoilNextProtectedAnswer(desfire::Spoil what = desfire::Spoil::kEither) {
        session_.SpoilNext(what);
    }
    bool SpoilPending() const { return session_.SpoilPending(); }

    // Tests: the card takes this RndB in every authentication instead of a random one
    // (nullopt: random again). Exchanges with 16-byte random numbers take 16 bytes of `rndB`
    // (zeros after its end).
    void SetFixedRndB(std::optional<std::array<uint8_t, 8>> rndB) {
        fixedRndB_ = rndB ? std::optional<Bytes>(Bytes(rndB->begin(), rndB->end())) : std::nullopt;
    }
    void SetFixedRndB(Bytes rndB) { fixedRndB_ = std::move(rndB); }

    void OnActivated() override;
    void OnDeactivated() override;

    // The state file (FormatStateFile of the UID and the applications).
    size_t ImageSize() const override { return SaveImage().size(); }
    Bytes SaveImage() const override;
    bool LoadImage(const Bytes& image, std::string* error) override;

  protected:
    Bytes HandleMessage(const Bytes& message) override;

  private:
    struct NativeCommand {
        NativeHandler handler;
        CommandLength length;
    };
    using Continuation = std::function<desfire::NativeAnswer(const Bytes& frame)>;

    // Framing (desfire_card.cpp): a native frame, or one wrapped in an APDU; runs a whole
    // command between its secure messaging steps; sends the first frame of an answer and keeps
    // the rest for the host's 0xAF frames; collects a command of `total` bytes over the host's
    // 0xAF frames, then runs it.
    Bytes HandleNative(const Bytes& message);
    Bytes HandleWrapped(const Bytes& apdu);
    desfire::NativeAnswer Run(const NativeCommand& command, const Bytes& message);
    Bytes Reply(desfire::NativeAnswer answer);
    Continuation Collect(uint8_t code, Bytes command, size_t total);
    // Back to the card level with no authentication, transaction or pending frames.
    void Reset();
    desfire::Application& Selected() { return applications_[selected_]; }
    size_t UsedMemory() const;
    desfire::NativeAnswer GetVersion(const Bytes& command);
    desfire::NativeAnswer GetCardUid(const Bytes& command);
    desfire::NativeAnswer FreeMemoryCommand(const Bytes& command);

    // Applications (applications.cpp).
    desfire::NativeAnswer SelectApplication(const Bytes& command);
    desfire::NativeAnswer CreateApplication(const Bytes& command);
    desfire::NativeAnswer DeleteApplication(const Bytes& command);
    desfire::NativeAnswer GetApplicationIds(const Bytes& command);
    desfire::NativeAnswer GetDfNames(const Bytes& command);
    // Status 0 when the selected level (the card level for `cardLevel`, else an application)
    // may list its directory: free listing (key settings bit 1) or its master key.
    uint8_t MayList(bool cardLevel) const;
    desfire::NativeAnswer FormatPicc(const Bytes& command);

    // Keys and key settings (keys.cpp).
    desfire::NativeAnswer GetKeySettings(const Bytes& command);
    desfire::NativeAnswer ChangeKeySettings(const Bytes& command);
    desfire::NativeAnswer GetKeyVersion(const Bytes& command);
    desfire::NativeAnswer ChangeKey(const Bytes& command);
    desfire::NativeAnswer ChangeKeySecure(const Bytes& command);
    // Status 0 when the authentication in force may change key `keyNumber` of the selected
    // application; else the status that refuses it.
    uint8_t MayChangeKey(uint8_t keyNumber) const;

    // Authentication (authentication.cpp): the legacy, ISO and AES exchanges.
    bool DrawRndB(uint8_t* out, size_t length);
    desfire::NativeAnswer Authenticate(const Bytes& command);
    desfire::NativeAnswer FinishAuthentication(uint8_t keyNumber, const desfire::Key& key,
                                               const std::array<uint8_t, 8>& rndB,
                                               const Bytes& frame);
    desfire::NativeAnswer StartSecureAuthentication(uint8_t keyNumber, desfire::Key& key);
    desfire::NativeAnswer FinishSecureAuthentication(uint8_t keyNumber, desfire::KeyType type,
                                                     const desfire::Key& key, const Bytes& rndB,
                                                     std::array<uint8_t, 16>& iv,
                                                     const Bytes& frame);

    // The file directory and access rights (files.cpp). The rights a command may use (any
    // one lets it run), as bits.
    static constexpr uint8_t kReadRight = 0x01;
    static constexpr uint8_t kWriteRight = 0x02;
    static constexpr uint8_t kReadWriteRight = 0x04;
    enum class FileKind { kData, kValue, kRecord };
    struct OpenedFile {
        const desfire::File* file = nullptr;  // null when `status` refuses the command
        uint8_t mode = 0;                     // the communication mode the data travels in
        uint8_t status = 0;
    };
    // Status 0 and *mode when the authentication or free access grants one of the file's
    // `rights` (k...Right bits).
    uint8_t Grant(const desfire::File& file, uint8_t rights, uint8_t* mode) const;
    desfire::File* FindFile(uint8_t number);
    // The file `number` for a command on files of `kind` using one of `rights`, or the status
    // that refuses it: an unknown file first, then a file of another kind, then the right.
    OpenedFile OpenFile(uint8_t number, FileKind kind, uint8_t rights);
    // The length of a write command whose data may span frames (WriteData, WriteRecord).
    size_t DataCommandLength(const Bytes& firstFrame, bool record);
    desfire::NativeAnswer CreateFile(const Bytes& command);
    desfire::NativeAnswer DeleteFile(const Bytes& command);
    desfire::NativeAnswer GetFileIds(const Bytes& command);
    desfire::NativeAnswer GetIsoFileIds(const Bytes& command);

    desfire::NativeAnswer GetFileSettings(const Bytes& command);
    desfire::NativeAnswer ChangeFileSettings(const Bytes& command);

    // Standard and backup files (data_files.cpp), value files (value_files.cpp), record files
    // (record_files.cpp).
    desfire::NativeAnswer ReadData(const Bytes& command);
    desfire::NativeAnswer WriteData(const Bytes& command);
    desfire::NativeAnswer GetValue(const Bytes& command);
    desfire::NativeAnswer ChangeValue(const Bytes& command);
    desfire::NativeAnswer WriteRecord(const Bytes& command);
    desfire::NativeAnswer ReadRecords(const Bytes& command);
    desfire::NativeAnswer ClearRecordFile(const Bytes& command);

    // Transactions (transactions.cpp).
    desfire::Transaction::Change& Changed(uint8_t number);
    // The copy a transaction changes (backup files) or the file itself (standard files).
    desfire::File& Writable(uint8_t number);
    desfire::NativeAnswer CommitTransaction(const Bytes& command);
    desfire::NativeAnswer AbortTransaction(const Bytes& command);

    std::map<uint8_t, NativeCommand> commands_;
    size_t capacity_ = desfire::kDefaultCapacity;
    std::vector<desfire::Application> applications_;
    size_t selected_ = 0;
    desfire::Session session_;
    desfire::Transaction transaction_;  // of the selected application
    Continuation continuation_;         // what the next 0xAF frame continues
    std::optional<Bytes> fixedRndB_;
};

}  // namespace kestrel::sim
