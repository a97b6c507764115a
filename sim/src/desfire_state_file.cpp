// The DESFire card's state file: versioned text, one item per line.
//
//   kestrel-sim desfire state 1
//   uid 04AABBCCDDEEFF
//   application 000000 settings 0F keys 1
//   key 0 00000000000000000000000000000000
//   application 563412 settings EF keys 2
//   key 0 ...
//   key 1 ...
#include <sstream>

#include "kestrel_sim/desfire.h"
#include "kestrel_sim/hex.h"

namespace kestrel::sim::desfire {

namespace {

constexpr const char* kMagic = "kestrel-sim desfire state";
constexpr int kVersion = 1;

std::optional<uint8_t> ParseByte(const std::string& text) {
    const std::optional<Bytes> bytes = ParseHex(text);
    if (!bytes || bytes->size() != 1) return std::nullopt;
    return (*bytes)[0];
}

std::optional<size_t> ParseCount(const std::string& text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<size_t>(c - '0');
    }
    return value;
}

}  // namespace

std::string FormatStateFile(const CardImage& image) {
    std::ostringstream out;
    out << kMagic << ' ' << kVersion << '\n';
    out << "uid " << ToHex(image.uid) << '\n';
    for (const Application& application : image.applications) {
        out << "application " << ToHex(application.aid.data(), application.aid.size())
            << " settings " << ToHex(&application.keySettings, 1) << " keys "
            << application.keys.size() << '\n';
        for (size_t i = 0; i < application.keys.size(); ++i) {
            out << "key " << i << ' '
                << ToHex(application.keys[i].data(), application.keys[i].size()) << '\n';
        }
    }
    return out.str();
}

std::optional<CardImage> ParseStateFile(const std::string& text, std::string* error) {
    CardImage image;
    std::istringstream lines(text);
    std::string line;
    int lineNumber = 0;
    bool sawHeader = false;
    size_t keysDeclared = 0;  // of the application being read
    auto fail = [&](const std::string& message) -> std::optional<CardImage> {
        if (error) *error = "line " + std::to_string(lineNumber) + ": " + message;
        return std::nullopt;
    };
    auto keysComplete = [&]() {
        return image.applications.empty() || image.applications.back().keys.size() == keysDeclared;
    };

    while (std::getline(lines, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream wordStream(line);
        std::vector<std::string> words;
        for (std::string word; wordStream >> word;) words.push_back(word);
        if (words.empty() || words[0][0] == '#') continue;

        if (!sawHeader) {
            const std::string magic = std::string(kMagic) + " ";
            if (line.rfind(magic, 0) != 0) return fail("not a DESFire state file");
            const std::string version = line.substr(magic.size());
            if (version != std::to_string(kVersion)) {
                return fail("state file version " + version + " is not known (this card reads " +
                            std::to_string(kVersion) + ")");
            }
            sawHeader = true;
            continue;
        }
        const std::string& keyword = words[0];
        if (keyword == "uid") {
            if (!image.uid.empty()) return fail("a second uid");
            std::optional<Bytes> uid = words.size() == 2 ? ParseHex(words[1]) : std::nullopt;
            if (!uid || uid->size() != 7) return fail("uid needs 7 bytes in hex");
            const std::string problem = CheckUid(*uid);
            if (!problem.empty()) return fail(problem);
            image.uid = std::move(*uid);
        } else if (keyword == "application") {
            if (image.uid.empty()) return fail("application before uid");
            if (!keysComplete()) return fail("the application before has fewer keys than it says");
            if (words.size() != 6 || words[2] != "settings" || words[4] != "keys") {
                return fail("application needs: application AID settings HH keys N");
            }
            const std::optional<Bytes> aid = ParseHex(words[1]);
            const std::optional<uint8_t> settings = ParseByte(words[3]);
            const std::optional<size_t> keys = ParseCount(words[5]);
            if (!aid || aid->size() != 3) return fail("an AID has 3 bytes in hex");
            if (!settings) return fail("settings need one byte in hex");
            if (!keys || *keys < 1 || *keys > kMaxKeys) return fail("keys must be 1 to 14");
            Application application;
            application.aid = {(*aid)[0], (*aid)[1], (*aid)[2]};
            application.keySettings = *settings;
            const bool cardLevel = application.aid == kCardLevel;
            if (image.applications.empty() != cardLevel) {
                return fail("the card level (application 000000) comes first, and only once");
            }
            if (cardLevel && *keys != 1) return fail("the card level has 1 key");
            for (const Application& other : image.applications) {
                if (other.aid == application.aid) return fail("application " + words[1] + " twice");
            }
            image.applications.push_back(std::move(application));
            keysDeclared = *keys;
        } else if (keyword == "key") {
            if (image.applications.empty()) return fail("key before application");
            Application& application = image.applications.back();
            if (words.size() != 3) return fail("key needs: key N 32-HEX-DIGITS");
            const std::optional<size_t> number = ParseCount(words[1]);
            if (number && *number >= keysDeclared) {
                return fail("key " + words[1] + ": the application declares " +
                            std::to_string(keysDeclared) + " keys");
            }
            if (!number || *number != application.keys.size()) {
                return fail("key " + words[1] + " out of order; expected key " +
                            std::to_string(application.keys.size()));
            }
            const std::optional<Bytes> bytes = ParseHex(words[2]);
            if (!bytes || bytes->size() != 16) return fail("a key has 16 bytes in hex");
            Key key{};
            std::copy(bytes->begin(), bytes->end(), key.begin());
            application.keys.push_back(key);
        } else {
            return fail("unknown item '" + keyword + "'");
        }
    }
    std::string missing;
    if (!sawHeader) {
        missing = "not a DESFire state file";
    } else if (image.uid.empty()) {
        missing = "no uid";
    } else if (image.applications.empty()) {
        missing = "no card level (application 000000)";
    } else if (!keysComplete()) {
        missing = "the last application has fewer keys than it says";
    }
    if (!missing.empty()) {
        if (error) *error = "end of file: " + missing;
        return std::nullopt;
    }
    return image;
}

}  // namespace kestrel::sim::desfire
