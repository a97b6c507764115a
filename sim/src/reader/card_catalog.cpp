#include "kestrel_sim/reader/card_catalog.h"

#include "kestrel_sim/cards/classic/classic_card.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/cards/typeb/typeb_card.h"
#include "kestrel_sim/cards/ultralight/ultralight_card.h"
#include "kestrel_sim/helpers/hex.h"
#include "kestrel_sim/helpers/image_file.h"

namespace kestrel::sim {

const std::vector<CardProfile>& CardProfiles() {
    static const std::vector<CardProfile> kProfiles = {
        {"classic1k", 4, 0x0004, 0x08, classic::kBlocks1K * classic::kBlockSize},
        {"classic4k", 4, 0x0002, 0x18, classic::kBlocks4K * classic::kBlockSize},
        {"ultralight", 7, 0x0044, 0x00, ultralight::kPages * ultralight::kPageSize},
        {"desfire", 7, 0x0344, 0x20, 0, true},
        // Type B: the 4 bytes are the PUPI; no ATQA or SAK.
        {"typeb", 4, 0x0000, 0x00, 0},
    };
    return kProfiles;
}

const CardProfile* FindCardProfile(const std::string& name) {
    for (const CardProfile& profile : CardProfiles()) {
        if (name == profile.name) return &profile;
    }
    return nullptr;
}

Bytes RandomUid(size_t length, std::mt19937& random) {
    std::uniform_int_distribution<int> byteValue(0, 255);
    Bytes uid(length);
    for (;;) {
        for (uint8_t& b : uid) b = static_cast<uint8_t>(byteValue(random));
        if (length > 4) uid[0] = 0x04;
        if (CheckUid(uid).empty()) return uid;
    }
}

std::unique_ptr<Card> MakeCard(const CardProfile& profile, Bytes uid) {
    const std::string type = profile.name;
    if (type == "classic1k" || type == "classic4k") {
        return std::make_unique<ClassicCard>(
            type, std::move(uid), profile.atqa, profile.sak,
            type == "classic1k" ? classic::kBlocks1K : classic::kBlocks4K);
    }
    if (type == "ultralight") {
        return std::make_unique<UltralightCard>(type, std::move(uid), profile.atqa, profile.sak);
    }
    if (type == "desfire") return std::make_unique<DesfireCard>(std::move(uid));
    if (type == "typeb") return std::make_unique<TypeBCard>(std::move(uid));
    return std::make_unique<Card>(type, std::move(uid), profile.atqa, profile.sak);
}

Bytes UidInImage(const CardProfile& profile, const Bytes& image) {
    if (profile.stateFile) {
        const std::optional<desfire::CardImage> state =
            desfire::ParseStateFile(std::string(image.begin(), image.end()), nullptr);
        return state ? state->uid : Bytes{};
    }
    if (profile.imageSize == 0 || image.size() != profile.imageSize) return {};
    if (profile.uidLength == 4) return Bytes(image.begin(), image.begin() + 4);  // block 0
    // Ultralight: UID0..2 and BCC0 in page 0, UID3..6 in page 1.
    return {image[0], image[1], image[2], image[4], image[5], image[6], image[7]};
}

namespace {

bool Fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

// The UID of "TYPE:UIDHEX"; an empty text gives a random one where `randomWhenEmpty`.
bool ParseUid(const CardProfile& profile, const std::string& uidText, bool randomWhenEmpty,
              std::mt19937& random, Bytes* uid, std::string* error) {
    if (uidText.empty() && randomWhenEmpty) {
        *uid = RandomUid(profile.uidLength, random);
        return true;
    }
    auto parsed = ParseHex(uidText);
    if (!parsed) return Fail(error, "UID '" + uidText + "' is not an even number of hex digits");
    if (parsed->size() != profile.uidLength) {
        return Fail(error, std::string(profile.name) + " needs a " +
                               std::to_string(profile.uidLength) + "-byte UID, '" + uidText +
                               "' has " + std::to_string(parsed->size()) + " bytes");
    }
    const std::string problem = CheckUid(*parsed);
    if (!problem.empty()) return Fail(error, problem);
    *uid = std::move(*parsed);
    return true;
}

}  // namespace

std::unique_ptr<Card> ParseCard(const std::string& text, std::mt19937& random, std::string* error) {
    const size_t colon = text.find(':');
    const std::string typeName = text.substr(0, colon);
    const CardProfile* profile = FindCardProfile(typeName);
    if (profile == nullptr) {
        std::string known;
        for (const CardProfile& p : CardProfiles())
            known += (known.empty() ? "" : ", ") + std::string(p.name);
        if (error) *error = "unknown card type '" + typeName + "' (known: " + known + ")";
        return nullptr;
    }
    if (colon == std::string::npos)
        return MakeCard(*profile, RandomUid(profile->uidLength, random));
    const std::string rest = text.substr(colon + 1);
    const size_t fileColon = rest.find(':');
    const std::string uidText = rest.substr(0, fileColon);
    if (fileColon == std::string::npos) {
        Bytes uid;
        if (!ParseUid(*profile, uidText, false, random, &uid, error)) return nullptr;
        return MakeCard(*profile, std::move(uid));
    }

    const std::string path = rest.substr(fileColon + 1);
    if (profile->imageSize == 0 && !profile->stateFile) {
        Fail(error, typeName + " cards have no memory image to keep in a file");
        return nullptr;
    }
    if (path.empty()) {
        Fail(error, "the image file name after the second ':' is empty");
        return nullptr;
    }
    Bytes image;
    std::string problem;
    constexpr size_t kLongestFile = 1 << 20;  // longer files are not dumps at all
    const ImageFileStatus read = ReadImageFile(path, kLongestFile, &image, &problem);
    if (read == ImageFileStatus::kFailed) {
        Fail(error, problem);
        return nullptr;
    }
    if (read == ImageFileStatus::kRead && !profile->stateFile &&
        image.size() != profile->imageSize) {
        Fail(error, path + " has " + std::to_string(image.size()) + " bytes, not the " +
                        std::to_string(profile->imageSize) + " of a " + typeName + " image");
        return nullptr;
    }
    Bytes uid;
    if (read == ImageFileStatus::kRead && uidText.empty()) {
        uid = UidInImage(*profile, image);
        if (uid.empty() && profile->stateFile) {
            // The card's own parser says what is wrong with the file.
            MakeCard(*profile, RandomUid(profile->uidLength, random))->LoadImage(image, &problem);
            Fail(error, path + ": " + problem);
            return nullptr;
        }
        problem = CheckUid(uid);
        if (!problem.empty()) {
            Fail(error, path + ": " + problem);
            return nullptr;
        }
    } else if (!ParseUid(*profile, uidText, true, random, &uid, error)) {
        return nullptr;
    }
    std::unique_ptr<Card> card = MakeCard(*profile, std::move(uid));
    if (read == ImageFileStatus::kRead && !card->LoadImage(image, &problem)) {
        Fail(error, path + ": " + problem);
        return nullptr;
    }
    card->SetImagePath(path);
    return card;
}

bool SaveCardImage(VirtualReader& reader, const Bytes& uid, const std::string& path,
                   std::string* savedTo, std::string* error) {
    Bytes image;
    std::string target = path;
    std::string problem;
    reader.WithFirmware([&](Firmware& firmware) {
        const Card* card = firmware.field().Find(uid);
        if (card == nullptr) {
            problem = "no card with UID " + ToHex(uid) + " in the field";
        } else if (card->ImageSize() == 0) {
            problem = card->Type() + " cards have no memory image";
        } else {
            if (target.empty()) target = card->ImagePath();
            if (target.empty()) problem = "card " + ToHex(uid) + " has no image file; name one";
            image = card->SaveImage();
        }
    });
    if (problem.empty()) WriteImageFile(target, image, &problem);
    if (!problem.empty()) {
        if (error) *error = problem;
        return false;
    }
    if (savedTo) *savedTo = target;
    return true;
}

}  // namespace kestrel::sim
