// The DESFire card's state file: versioned text, one item per line.
//
//   kestrel-sim desfire state 1
//   uid 04AABBCCDDEEFF
//   application 000000 settings 0F keys 1
//   key 0 00000000000000000000000000000000
//   application 563412 settings EF keys 2
//   key 0 ...
//   key 1 ...
//
// Version 2 adds the card's capacity and the files of the applications:
//
//   capacity 8192
//   file 1 standard comm 00 access EE12 data 00112233...
//   file 2 value comm 03 access 0012 lower -100 upper 1000 value 10 limited 1 limitvalue 0
//   file 3 cyclic comm 01 access 1234 recordsize 16 maxrecords 5 records 1
//   record 000102...
//
// A card without files and with the default capacity is written as version 1, so that the
// files of earlier cards stay the same.
#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>

#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/hex.h"

namespace kestrel::sim::desfire {

namespace {

constexpr const char* kMagic = "kestrel-sim desfire state";
constexpr int kVersion = 2;
constexpr int kFirstVersion = 1;

const std::map<std::string, uint8_t> kFileTypes = {{"standard", file_type::kStandard},
                                                   {"backup", file_type::kBackup},
                                                   {"value", file_type::kValue},
                                                   {"linear", file_type::kLinearRecord},
                                                   {"cyclic", file_type::kCyclicRecord}};

std::string TypeName(uint8_t type) {
    for (const auto& [name, value] : kFileTypes) {
        if (value == type) return name;
    }
    return "?";
}

std::optional<int64_t> ParseNumber(const std::string& text, int64_t low, int64_t high) {
    if (text.empty() || text.size() > 11) return std::nullopt;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || value < low || value > high) return std::nullopt;
    return value;
}

bool HasFilesOrCapacity(const CardImage& image) {
    if (image.capacity != kDefaultCapacity) return true;
    for (const Application& application : image.applications) {
        if (!application.files.empty()) return true;
    }
    return false;
}

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
    out << kMagic << ' ' << (HasFilesOrCapacity(image) ? kVersion : kFirstVersion) << '\n';
    out << "uid " << ToHex(image.uid) << '\n';
    if (image.capacity != kDefaultCapacity) out << "capacity " << image.capacity << '\n';
    for (const Application& application : image.applications) {
        out << "application " << ToHex(application.aid.data(), application.aid.size())
            << " settings " << ToHex(&application.keySettings, 1) << " keys "
            << application.keys.size() << '\n';
        for (size_t i = 0; i < application.keys.size(); ++i) {
            out << "key " << i << ' '
                << ToHex(application.keys[i].data(), application.keys[i].size()) << '\n';
        }
        for (const auto& [number, file] : application.files) {
            out << "file " << int(number) << ' ' << TypeName(file.type) << " comm "
                << ToHex(&file.communication, 1) << " access "
                << ToHex(file.access.data(), file.access.size());
            if (file.type == file_type::kValue) {
                out << " lower " << file.lowerLimit << " upper " << file.upperLimit << " value "
                    << file.value << " limited " << (file.limitedCreditEnabled ? 1 : 0)
                    << " limitvalue " << file.limitedCreditValue << '\n';
            } else if (file.IsRecordFile()) {
                out << " recordsize " << file.recordSize << " maxrecords " << file.maxRecords
                    << " records " << file.records.size() << '\n';
                for (const Bytes& record : file.records) out << "record " << ToHex(record) << '\n';
            } else {
                out << " data " << ToHex(file.data) << '\n';
            }
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
    int version = 0;
    bool sawCapacity = false;
    File* recordFile = nullptr;  // the record file whose records follow
    size_t recordsDeclared = 0;
    auto fail = [&](const std::string& message) -> std::optional<CardImage> {
        if (error) *error = "line " + std::to_string(lineNumber) + ": " + message;
        return std::nullopt;
    };
    auto keysComplete = [&]() {
        return image.applications.empty() || image.applications.back().keys.size() == keysDeclared;
    };
    auto recordsComplete = [&]() {
        return recordFile == nullptr || recordFile->records.size() == recordsDeclared;
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
            const std::string versionText = line.substr(magic.size());
            for (int known = kFirstVersion; known <= kVersion; ++known) {
                if (versionText == std::to_string(known)) version = known;
            }
            if (version == 0) {
                return fail("state file version " + versionText +
                            " is not known (this card reads 1 to " + std::to_string(kVersion) +
                            ")");
            }
            sawHeader = true;
            continue;
        }
        const std::string& keyword = words[0];
        const bool versionTwoItem =
            keyword == "capacity" || keyword == "file" || keyword == "record";
        if (versionTwoItem && version < 2) {
            return fail("'" + keyword + "' needs state file version 2");
        }
        if (keyword != "record" && !recordsComplete()) {
            return fail("the record file before has fewer records than it says");
        }
        if (keyword != "record") recordFile = nullptr;
        if (keyword == "capacity") {
            if (sawCapacity || !image.applications.empty()) {
                return fail("capacity comes once, before the applications");
            }
            const std::optional<int64_t> capacity =
                words.size() == 2 ? ParseNumber(words[1], 0, INT_MAX) : std::nullopt;
            if (!capacity || !IsCapacity(static_cast<size_t>(*capacity))) {
                return fail("capacity must be 2048, 4096 or 8192");
            }
            image.capacity = static_cast<size_t>(*capacity);
            sawCapacity = true;
        } else if (keyword == "file") {
            if (image.applications.size() < 2) return fail("file before an application");
            if (!keysComplete()) return fail("the application before has fewer keys than it says");
            Application& application = image.applications.back();
            if (words.size() < 7 || words[3] != "comm" || words[5] != "access" ||
                (words.size() - 7) % 2 != 0) {
                return fail("file needs: file N TYPE comm HH access HHHH, then its values");
            }
            const std::optional<int64_t> number = ParseNumber(words[1], 0, kMaxFileNumber);
            const auto type = kFileTypes.find(words[2]);
            const std::optional<uint8_t> comm = ParseByte(words[4]);
            const std::optional<Bytes> access = ParseHex(words[6]);
            if (!number) return fail("a file number is 0 to 15");
            if (type == kFileTypes.end()) {
                return fail("file type must be standard, backup, value, linear or cyclic");
            }
            if (!comm || (*comm != 0 && *comm != 1 && *comm != 3)) {
                return fail("comm must be 00, 01 or 03");
            }
            if (!access || access->size() != 2) return fail("access needs 2 bytes in hex");
            std::map<std::string, std::string> values;
            for (size_t i = 7; i + 1 < words.size(); i += 2) values[words[i]] = words[i + 1];
            File file;
            file.type = type->second;
            file.communication = *comm;
            file.access = {(*access)[0], (*access)[1]};
            auto number32 = [&](const char* name, int64_t low, int64_t high) {
                const auto found = values.find(name);
                return found == values.end() ? std::nullopt : ParseNumber(found->second, low, high);
            };
            std::string expected;
            if (file.type == file_type::kValue) {
                expected = "lower L upper U value V limited 0|1 limitvalue C";
                const auto lower = number32("lower", INT32_MIN, INT32_MAX);
                const auto upper = number32("upper", INT32_MIN, INT32_MAX);
                const auto value = number32("value", INT32_MIN, INT32_MAX);
                const auto limited = number32("limited", 0, 1);
                const auto limitValue = number32("limitvalue", 0, INT32_MAX);
                if (values.size() != 5 || !lower || !upper || !value || !limited || !limitValue) {
                    return fail("a value file needs: " + expected);
                }
                if (*lower > *upper || *value < *lower || *value > *upper) {
                    return fail("the value must lie within lower and upper");
                }
                file.lowerLimit = static_cast<int32_t>(*lower);
                file.upperLimit = static_cast<int32_t>(*upper);
                file.value = static_cast<int32_t>(*value);
                file.limitedCreditEnabled = *limited == 1;
                file.limitedCreditValue = static_cast<int32_t>(*limitValue);
            } else if (file.IsRecordFile()) {
                const auto size = number32("recordsize", 1, 0xFFFFFF);
                const auto max = number32("maxrecords", 1, 0xFFFFFF);
                const auto count = number32("records", 0, 0xFFFFFF);
                if (values.size() != 3 || !size || !max || !count) {
                    return fail("a record file needs: recordsize R maxrecords M records K");
                }
                const int64_t held = file.type == file_type::kCyclicRecord ? *max - 1 : *max;
                if (*count > held) return fail("more records than the file holds");
                file.recordSize = static_cast<uint32_t>(*size);
                file.maxRecords = static_cast<uint32_t>(*max);
                recordsDeclared = static_cast<size_t>(*count);
            } else {
                const auto found = values.find("data");
                std::optional<Bytes> data =
                    found == values.end() ? std::nullopt : ParseHex(found->second);
                if (values.size() != 1 || !data || data->empty()) {
                    return fail("a data file needs: data HEX (at least one byte)");
                }
                file.data = std::move(*data);
            }
            const uint8_t key = static_cast<uint8_t>(*number);
            if (!application.files.emplace(key, std::move(file)).second) {
                return fail("file " + words[1] + " twice");
            }
            if (application.files[key].IsRecordFile()) recordFile = &application.files[key];
        } else if (keyword == "record") {
            if (recordFile == nullptr || recordFile->records.size() >= recordsDeclared) {
                return fail("record without a record file that expects one");
            }
            std::optional<Bytes> record = words.size() == 2 ? ParseHex(words[1]) : std::nullopt;
            if (!record || record->size() != recordFile->recordSize) {
                return fail("a record has the file's record size in hex");
            }
            recordFile->records.push_back(std::move(*record));
        } else if (keyword == "uid") {
            if (!image.uid.empty()) return fail("a second uid");
            std::optional<Bytes> uid = words.size() == 2 ? ParseHex(words[1]) : std::nullopt;
            if (!uid || uid->size() != 7) return fail("uid needs 7 bytes in hex");
            const std::string problem = CheckUid(*uid);
            if (!problem.empty()) return fail(problem);
            image.uid = std::move(*uid);
        } else if (keyword == "application") {
            if (image.uid.empty()) return fail("application before uid");
            if (!keysComplete()) return fail("the application before has fewer keys than it says");
            if (image.applications.size() > kMaxApplications) {
                return fail("more than 28 applications");
            }
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
            if (!image.applications.back().files.empty()) return fail("key after the files");
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
    } else if (!recordsComplete()) {
        missing = "the last record file has fewer records than it says";
    }
    if (!missing.empty()) {
        if (error) *error = "end of file: " + missing;
        return std::nullopt;
    }
    return image;
}

}  // namespace kestrel::sim::desfire
