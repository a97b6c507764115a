// MIFARE DESFire cards: the native command set over ISO/IEC 14443-4, with legacy DES and
// two-key triple DES authentication, keys, key settings and key versions, applications.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kestrel_sim/iso14443_4.h"

namespace kestrel::sim {

namespace desfire {

// Status bytes: the first byte of every answer frame.
namespace status {
constexpr uint8_t kOk = 0x00;
constexpr uint8_t kNoChanges = 0x0C;
constexpr uint8_t kOutOfEeprom = 0x0E;
constexpr uint8_t kIllegalCommand = 0x1C;
constexpr uint8_t kIntegrityError = 0x1E;  // a CRC in an enciphered cryptogram is wrong
constexpr uint8_t kNoSuchKey = 0x40;
constexpr uint8_t kLengthError = 0x7E;
constexpr uint8_t kPermissionDenied = 0x9D;  // the card's configuration forbids the command
constexpr uint8_t kParameterError = 0x9E;
constexpr uint8_t kApplicationNotFound = 0xA0;
constexpr uint8_t kAuthenticationError = 0xAE;  // the authentication state does not allow it
constexpr uint8_t kAdditionalFrame = 0xAF;
constexpr uint8_t kBoundaryError = 0xBE;
constexpr uint8_t kCommandAborted = 0xCA;
constexpr uint8_t kDuplicateError = 0xDE;
constexpr uint8_t kFileNotFound = 0xF0;
}  // namespace status

// Native command codes.
namespace command {
constexpr uint8_t kAuthenticate = 0x0A;
constexpr uint8_t kGetKeySettings = 0x45;
constexpr uint8_t kChangeKeySettings = 0x54;
constexpr uint8_t kSelectApplication = 0x5A;
constexpr uint8_t kGetVersion = 0x60;
constexpr uint8_t kGetKeyVersion = 0x64;
constexpr uint8_t kAdditionalFrame = 0xAF;
constexpr uint8_t kChangeKey = 0xC4;
}  // namespace command

// Bits of a key-settings byte.
namespace key_settings {
constexpr uint8_t kMasterKeyChangeable = 0x01;
// Card level: application list and key settings without the card master key; application
// level: file list, file settings and key settings without the application master key.
constexpr uint8_t kFreeDirectoryList = 0x02;
constexpr uint8_t kFreeCreateDelete = 0x04;
constexpr uint8_t kConfigurationChangeable = 0x08;
// Application level, upper nibble: which key changes the keys other than the master key.
// 0 to 13: that key; kChangeKeySameKey: each key itself; kChangeKeyFrozen: none.
constexpr int kChangeKeyShift = 4;
constexpr uint8_t kChangeKeySameKey = 0x0E;
constexpr uint8_t kChangeKeyFrozen = 0x0F;
}  // namespace key_settings

constexpr uint8_t kFactoryKeySettings = 0x0F;
constexpr size_t kMaxKeys = 14;       // keys of one application
constexpr size_t kMaxFrame = 60;      // command byte and data of one native frame
constexpr size_t kMaxFrameData = 59;  // data bytes of one answer frame (behind the status)
constexpr size_t kMaxCommand = 8192;  // longest command the card collects over 0xAF frames

using Key = std::array<uint8_t, 16>;   // K1 = bytes 0-7, K2 = bytes 8-15
using Aid = std::array<uint8_t, 3>;    // in the order the bytes travel (lowest first)
constexpr Aid kCardLevel = {0, 0, 0};  // AID 000000: the card itself

// A DES or triple DES key carries its version in the lowest bits of bytes 0 to 7 (the DES
// parity bits), byte 0 holding the version's highest bit.
uint8_t KeyVersion(const Key& key);
// Equal halves: the key is a single DES key.
bool IsSingleDes(const Key& key);

// An application, or the card level (AID 000000, one key). Files come with the application
// commands.
struct Application {
    Aid aid = kCardLevel;
    uint8_t keySettings = kFactoryKeySettings;
    std::vector<Key> keys;  // 1 to kMaxKeys
};

// What a native command answers: the data of each answer frame and the status of the last;
// every frame before the last goes out with status 0xAF and waits for the host's 0xAF.
struct NativeAnswer {
    uint8_t status = status::kOk;
    std::vector<Bytes> frames;
};
NativeAnswer Status(uint8_t statusByte);
// `data` cut into answer frames of at most kMaxFrameData bytes.
NativeAnswer Frames(const Bytes& data);

// The card's state as its file holds it.
struct CardImage {
    Bytes uid;
    std::vector<Application> applications;  // the card level first
};
// The state file: versioned text, see docs/virtual-reader.md.
std::string FormatStateFile(const CardImage& image);
// nullopt and *error (with the line number) when the text is not a state file of a version
// this card reads or breaks a rule of it.
std::optional<CardImage> ParseStateFile(const std::string& text, std::string* error);

}  // namespace desfire

// A DESFire card with a 7-byte UID (ATQA 0x0344, SAK 0x20, ATS 06 75 77 81 02 80). Native
// commands arrive as ISO/IEC 14443-4 messages, one native frame each: the command byte and its
// data; the answer is the status byte and the data. It starts in the factory state: the card
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
    // Adds an application with `keyCount` keys of 16 zero bytes. False and *error for the AID
    // 000000, an AID already there, or a key count outside 1 to 14.
    bool AddApplication(const desfire::Aid& aid, uint8_t keySettings, size_t keyCount,
                        std::string* error = nullptr);
    const desfire::Application& SelectedApplication() const { return applications_[selected_]; }
    // The key number of the current authentication, and its session key.
    std::optional<uint8_t> AuthenticatedKey() const { return authenticatedKey_; }
    const desfire::Key& SessionKey() const { return sessionKey_; }

    // Tests: the card takes this RndB in every authentication instead of a random one
    // (nullopt: random again).
    void SetFixedRndB(std::optional<std::array<uint8_t, 8>> rndB) { fixedRndB_ = rndB; }

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

    // Sends the first frame of an answer and keeps the rest for the host's 0xAF frames.
    Bytes Reply(desfire::NativeAnswer answer);
    // Collects a command of `total` bytes over the host's 0xAF frames, then runs it.
    Continuation Collect(uint8_t code, Bytes command, size_t total);
    void EndSession();
    desfire::Application& Selected() { return applications_[selected_]; }

    desfire::NativeAnswer GetVersion(const Bytes& command);
    desfire::NativeAnswer Authenticate(const Bytes& command);
    desfire::NativeAnswer FinishAuthentication(uint8_t keyNumber, const desfire::Key& key,
                                               const std::array<uint8_t, 8>& rndB,
                                               const Bytes& frame);
    desfire::NativeAnswer SelectApplication(const Bytes& command);
    desfire::NativeAnswer GetKeySettings(const Bytes& command);
    desfire::NativeAnswer ChangeKeySettings(const Bytes& command);
    desfire::NativeAnswer GetKeyVersion(const Bytes& command);
    desfire::NativeAnswer ChangeKey(const Bytes& command);

    std::map<uint8_t, NativeCommand> commands_;
    std::vector<desfire::Application> applications_;
    size_t selected_ = 0;
    std::optional<uint8_t> authenticatedKey_;
    desfire::Key sessionKey_{};
    Continuation continuation_;  // what the next 0xAF frame continues
    std::optional<std::array<uint8_t, 8>> fixedRndB_;
};

}  // namespace kestrel::sim
