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
// Version 3 adds key types and ISO names: pairs after an application's key count, a version
// after an AES key, an ISO file identifier after a file's access bytes:
//
//   application 16AE00 settings 0F keys 2 type aes isofileids 1 fileid E110 dfname A0000001
//   key 0 00102030405060708090A0B0B0A09080 version 10
//   file 1 standard comm 00 access EEEE fileid E104 data 00112233...
//
// A card is written in the lowest version that holds it, so that the files of earlier cards
// stay the same.
#include "kestrel_sim/cards/desfire/state_file.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>

#include "kestrel_sim/cards/card.h"
#include "kestrel_sim/helpers/hex.h"

namespace kestrel::sim::desfire {

namespace {

constexpr const char* kMagic = "kestrel-sim desfire state";
constexpr int kVersion = 3;
constexpr int kFirstVersion = 1;

const std::map<std::string, KeyType> kKeyTypes = {
    {"des", KeyType::kDes}, {"3k3des", KeyType::k3k3Des}, {"aes", KeyType::kAes}};

std::string KeyTypeName(KeyType type) {
    for (const auto& [name, value] : kKeyTypes) {
        if (value == type) return name;
    }
    return "?";
}

using Words = std::vector<std::string>;

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

// The lowest version that holds the card.
int VersionFor(const CardImage& image) {
    int version = image.capacity != kDefaultCapacity ? 2 : 1;
    for (const Application& application : image.applications) {
        if (!application.files.empty()) version = std::max(version, 2);
        if (application.keyType != KeyType::kDes || application.isoFileIds) return 3;
        for (const auto& [number, file] : application.files) {
            if (file.isoFileId) return 3;
        }
    }
    return version;
}

std::string Hex16(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return ToHex(bytes, 2);
}

std::optional<uint16_t> ParseHex16(const std::string& text) {
    const std::optional<Bytes> bytes = ParseHex(text);
    if (!bytes || bytes->size() != 2) return std::nullopt;
    return static_cast<uint16_t>(((*bytes)[0] << 8) | (*bytes)[1]);
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

void FormatFile(std::ostream& out, uint8_t number, const File& file) {
    out << "file " << int(number) << ' ' << TypeName(file.type) << " comm "
        << ToHex(&file.communication, 1) << " access "
        << ToHex(file.access.data(), file.access.size());
    if (file.isoFileId) out << " fileid " << Hex16(*file.isoFileId);
    if (file.type == file_type::kValue) {
        out << " lower " << file.lowerLimit << " upper " << file.upperLimit << " value "
            << file.value << " limited " << (file.limitedCreditEnabled ? 1 : 0) << " limitvalue "
            << file.limitedCreditValue << '\n';
    } else if (file.IsRecordFile()) {
        out << " recordsize " << file.recordSize << " maxrecords " << file.maxRecords << " records "
            << file.records.size() << '\n';
        for (const Bytes& record : file.records) out << "record " << ToHex(record) << '\n';
    } else {
        out << " data " << ToHex(file.data) << '\n';
    }
}

// The name-value pairs after a file's access bytes.
class FileValues {
  public:
    FileValues(const Words& words, size_t first) {
        for (size_t i = first; i + 1 < words.size(); i += 2) values_[words[i]] = words[i + 1];
    }
    size_t Count() const { return values_.size(); }
    // Takes a value out, so that Count tells what is left.
    std::optional<std::string> Take(const char* name) {
        const auto found = values_.find(name);
        if (found == values_.end()) return std::nullopt;
        std::string value = found->second;
        values_.erase(found);
        return value;
    }
    std::optional<int64_t> Number(const char* name, int64_t low, int64_t high) const {
        const auto found = values_.find(name);
        return found == values_.end() ? std::nullopt : ParseNumber(found->second, low, high);
    }
    std::optional<Bytes> Hex(const char* name) const {
        const auto found = values_.find(name);
        return found == values_.end() ? std::nullopt : ParseHex(found->second);
    }

  private:
    std::map<std::string, std::string> values_;
};

// Each of these reads the values of one kind of file into *file; what is wrong, else empty.
std::string ReadValueFile(const FileValues& values, File* file) {
    const auto lower = values.Number("lower", INT32_MIN, INT32_MAX);
    const auto upper = values.Number("upper", INT32_MIN, INT32_MAX);
    const auto value = values.Number("value", INT32_MIN, INT32_MAX);
    const auto limited = values.Number("limited", 0, 1);
    const auto limitValue = values.Number("limitvalue", 0, INT32_MAX);
    if (values.Count() != 5 || !lower || !upper || !value || !limited || !limitValue) {
        return "a value file needs: lower L upper U value V limited 0|1 limitvalue C";
    }
    if (*lower > *upper || *value < *lower || *value > *upper) {
        return "the value must lie within lower and upper";
    }
    file->lowerLimit = static_cast<int32_t>(*lower);
    file->upperLimit = static_cast<int32_t>(*upper);
    file->value = static_cast<int32_t>(*value);
    file->limitedCreditEnabled = *limited == 1;
    file->limitedCreditValue = static_cast<int32_t>(*limitValue);
    return {};
}

// *records: the number of record lines that follow.
std::string ReadRecordFile(const FileValues& values, File* file, size_t* records) {
    const auto size = values.Number("recordsize", 1, 0xFFFFFF);
    const auto max = values.Number("maxrecords", 1, 0xFFFFFF);
    const auto count = values.Number("records", 0, 0xFFFFFF);
    if (values.Count() != 3 || !size || !max || !count) {
        return "a record file needs: recordsize R maxrecords M records K";
    }
    const int64_t held = file->type == file_type::kCyclicRecord ? *max - 1 : *max;
    if (*count > held) return "more records than the file holds";
    file->recordSize = static_cast<uint32_t>(*size);
    file->maxRecords = static_cast<uint32_t>(*max);
    *records = static_cast<size_t>(*count);
    return {};
}

std::string ReadDataFile(const FileValues& values, File* file) {
    std::optional<Bytes> data = values.Hex("data");
    if (values.Count() != 1 || !data || data->empty()) {
        return "a data file needs: data HEX (at least one byte)";
    }
    file->data = std::move(*data);
    return {};
}

// Reads a state file one line at a time. Each item method takes the words of one line and
// returns what is wrong with it, or nothing.
class StateFileReader {
  public:
    // The first line that is not blank or a comment.
    std::string Header(const std::string& line);
    bool SawHeader() const { return version_ != 0; }
    std::string Item(const Words& words);
    // What the file lacks at its end, or nothing.
    std::string Finish() const;
    CardImage TakeImage() { return std::move(image_); }

  private:
    std::string CapacityLine(const Words& words);
    std::string UidLine(const Words& words);
    std::string ApplicationLine(const Words& words);
    std::string KeyLine(const Words& words);
    // The version 3 pairs of an application line.
    std::string ApplicationNames(const Words& words, Application* application) const;
    std::string FileLine(const Words& words);
    std::string RecordLine(const Words& words);

    bool KeysComplete() const {
        return image_.applications.empty() ||
               image_.applications.back().keys.size() == keysDeclared_;
    }
    bool RecordsComplete() const {
        return recordFile_ == nullptr || recordFile_->records.size() == recordsDeclared_;
    }

    CardImage image_;
    int version_ = 0;
    bool sawCapacity_ = false;
    size_t keysDeclared_ = 0;     // of the application being read
    File* recordFile_ = nullptr;  // the record file whose records follow
    size_t recordsDeclared_ = 0;
};

std::string StateFileReader::Header(const std::string& line) {
    const std::string magic = std::string(kMagic) + " ";
    if (line.rfind(magic, 0) != 0) return "not a DESFire state file";
    const std::string versionText = line.substr(magic.size());
    for (int known = kFirstVersion; known <= kVersion; ++known) {
        if (versionText == std::to_string(known)) version_ = known;
    }
    if (version_ == 0) {
        return "state file version " + versionText + " is not known (this card reads 1 to " +
               std::to_string(kVersion) + ")";
    }
    return {};
}

std::string StateFileReader::Item(const Words& words) {
    const std::string& keyword = words[0];
    const bool versionTwoItem = keyword == "capacity" || keyword == "file" || keyword == "record";
    if (versionTwoItem && version_ < 2) return "'" + keyword + "' needs state file version 2";
    if (keyword == "record") return RecordLine(words);
    if (!RecordsComplete()) return "the record file before has fewer records than it says";
    recordFile_ = nullptr;
    using Section = std::string (StateFileReader::*)(const Words&);
    static const std::map<std::string, Section> kSections = {
        {"capacity", &StateFileReader::CapacityLine},
        {"uid", &StateFileReader::UidLine},
        {"application", &StateFileReader::ApplicationLine},
        {"key", &StateFileReader::KeyLine},
        {"file", &StateFileReader::FileLine},
    };
    const auto section = kSections.find(keyword);
    if (section == kSections.end()) return "unknown item '" + keyword + "'";
    return (this->*section->second)(words);
}

std::string StateFileReader::CapacityLine(const Words& words) {
    if (sawCapacity_ || !image_.applications.empty()) {
        return "capacity comes once, before the applications";
    }
    const std::optional<int64_t> capacity =
        words.size() == 2 ? ParseNumber(words[1], 0, INT_MAX) : std::nullopt;
    if (!capacity || !IsCapacity(static_cast<size_t>(*capacity))) {
        return "capacity must be 2048, 4096 or 8192";
    }
    image_.capacity = static_cast<size_t>(*capacity);
    sawCapacity_ = true;
    return {};
}

std::string StateFileReader::UidLine(const Words& words) {
    if (!image_.uid.empty()) return "a second uid";
    std::optional<Bytes> uid = words.size() == 2 ? ParseHex(words[1]) : std::nullopt;
    if (!uid || uid->size() != 7) return "uid needs 7 bytes in hex";
    const std::string problem = CheckUid(*uid);
    if (!problem.empty()) return problem;
    image_.uid = std::move(*uid);
    return {};
}

std::string StateFileReader::ApplicationLine(const Words& words) {
    if (image_.uid.empty()) return "application before uid";
    if (!KeysComplete()) return "the application before has fewer keys than it says";
    if (image_.applications.size() > kMaxApplications) return "more than 28 applications";
    if (words.size() < 6 || words[2] != "settings" || words[4] != "keys" ||
        (words.size() > 6 && version_ < 3)) {
        return "application needs: application AID settings HH keys N";
    }
    const std::optional<Bytes> aid = ParseHex(words[1]);
    const std::optional<uint8_t> settings = ParseByte(words[3]);
    const std::optional<size_t> keys = ParseCount(words[5]);
    if (!aid || aid->size() != 3) return "an AID has 3 bytes in hex";
    if (!settings) return "settings need one byte in hex";
    if (!keys || *keys < 1 || *keys > kMaxKeys) return "keys must be 1 to 14";
    Application application;
    application.aid = {(*aid)[0], (*aid)[1], (*aid)[2]};
    application.keySettings = *settings;
    const std::string problem = ApplicationNames(words, &application);
    if (!problem.empty()) return problem;
    const bool cardLevel = application.aid == kCardLevel;
    if (image_.applications.empty() != cardLevel) {
        return "the card level (application 000000) comes first, and only once";
    }
    if (cardLevel && *keys != 1) return "the card level has 1 key";
    for (const Application& other : image_.applications) {
        if (other.aid == application.aid) return "application " + words[1] + " twice";
    }
    image_.applications.push_back(std::move(application));
    keysDeclared_ = *keys;
    return {};
}

std::string StateFileReader::ApplicationNames(const Words& words, Application* application) const {
    if (words.size() % 2 != 0) return "an application's names come in pairs";
    FileValues values(words, 6);
    const std::optional<std::string> type = values.Take("type");
    const std::optional<std::string> isoFileIds = values.Take("isofileids");
    const std::optional<std::string> fileId = values.Take("fileid");
    const std::optional<std::string> dfName = values.Take("dfname");
    if (values.Count() != 0) return "an application's names are type, isofileids, fileid, dfname";
    if (type) {
        const auto found = kKeyTypes.find(*type);
        if (found == kKeyTypes.end()) return "type must be des, 3k3des or aes";
        application->keyType = found->second;
    }
    if (isoFileIds && *isoFileIds != "0" && *isoFileIds != "1") return "isofileids must be 0 or 1";
    application->isoFileIds = isoFileIds == "1";
    if (fileId) {
        application->isoFileId = ParseHex16(*fileId);
        if (!application->isoFileId) return "fileid needs 2 bytes in hex";
    }
    if (dfName) {
        std::optional<Bytes> name = ParseHex(*dfName);
        if (!name || name->empty() || name->size() > kMaxDfName) return "dfname has 1 to 16 bytes";
        application->dfName = std::move(*name);
    }
    if ((fileId || dfName) && !application->isoFileIds) return "ISO names need isofileids 1";
    return {};
}

std::string StateFileReader::KeyLine(const Words& words) {
    if (image_.applications.empty()) return "key before application";
    if (!image_.applications.back().files.empty()) return "key after the files";
    Application& application = image_.applications.back();
    const bool aes = application.keyType == KeyType::kAes;
    if (words.size() != (aes ? 5 : 3) || (aes && words[3] != "version")) {
        return aes ? "an AES key needs: key N 32-HEX-DIGITS version HH" : "key needs: key N HEX";
    }
    const std::optional<size_t> number = ParseCount(words[1]);
    if (number && *number >= keysDeclared_) {
        return "key " + words[1] + ": the application declares " + std::to_string(keysDeclared_) +
               " keys";
    }
    if (!number || *number != application.keys.size()) {
        return "key " + words[1] + " out of order; expected key " +
               std::to_string(application.keys.size());
    }
    const std::optional<Bytes> bytes = ParseHex(words[2]);
    const size_t size = KeySize(application.keyType);
    if (!bytes || bytes->size() != size) {
        return "a key has " + std::to_string(size) + " bytes in hex";
    }
    const std::optional<uint8_t> version = aes ? ParseByte(words[4]) : uint8_t{0};
    if (!version) return "a key version is one byte in hex";
    Key key{};
    std::copy(bytes->begin(), bytes->end(), key.begin());
    application.keys.push_back(key);
    application.aesVersions.push_back(*version);
    return {};
}

std::string StateFileReader::FileLine(const Words& words) {
    if (image_.applications.size() < 2) return "file before an application";
    if (!KeysComplete()) return "the application before has fewer keys than it says";
    Application& application = image_.applications.back();
    if (words.size() < 7 || words[3] != "comm" || words[5] != "access" ||
        (words.size() - 7) % 2 != 0) {
        return "file needs: file N TYPE comm HH access HHHH, then its values";
    }
    const std::optional<int64_t> number = ParseNumber(words[1], 0, kMaxFileNumber);
    const auto type = kFileTypes.find(words[2]);
    const std::optional<uint8_t> comm = ParseByte(words[4]);
    const std::optional<Bytes> access = ParseHex(words[6]);
    if (!number) return "a file number is 0 to 15";
    if (type == kFileTypes.end()) {
        return "file type must be standard, backup, value, linear or cyclic";
    }
    if (!comm || (*comm != 0 && *comm != 1 && *comm != 3)) return "comm must be 00, 01 or 03";
    if (!access || access->size() != 2) return "access needs 2 bytes in hex";
    File file;
    file.type = type->second;
    file.communication = *comm;
    file.access = {(*access)[0], (*access)[1]};
    FileValues values(words, 7);
    if (const std::optional<std::string> fileId = values.Take("fileid")) {
        file.isoFileId = ParseHex16(*fileId);
        if (version_ < 3 || !file.isoFileId || !application.isoFileIds) {
            return "fileid needs version 3, an application with isofileids 1 and 2 bytes in hex";
        }
    }
    std::string problem;
    if (file.type == file_type::kValue) {
        problem = ReadValueFile(values, &file);
    } else if (file.IsRecordFile()) {
        problem = ReadRecordFile(values, &file, &recordsDeclared_);
    } else {
        problem = ReadDataFile(values, &file);
    }
    if (!problem.empty()) return problem;
    const auto [placed, added] = application.files.emplace(static_cast<uint8_t>(*number), file);
    if (!added) return "file " + words[1] + " twice";
    if (placed->second.IsRecordFile()) recordFile_ = &placed->second;
    return {};
}

std::string StateFileReader::RecordLine(const Words& words) {
    if (recordFile_ == nullptr || recordFile_->records.size() >= recordsDeclared_) {
        return "record without a record file that expects one";
    }
    std::optional<Bytes> record = words.size() == 2 ? ParseHex(words[1]) : std::nullopt;
    if (!record || record->size() != recordFile_->recordSize) {
        return "a record has the file's record size in hex";
    }
    recordFile_->records.push_back(std::move(*record));
    return {};
}

std::string StateFileReader::Finish() const {
    if (!SawHeader()) return "not a DESFire state file";
    if (image_.uid.empty()) return "no uid";
    if (image_.applications.empty()) return "no card level (application 000000)";
    if (!KeysComplete()) return "the last application has fewer keys than it says";
    if (!RecordsComplete()) return "the last record file has fewer records than it says";
    return {};
}

}  // namespace

std::string FormatStateFile(const CardImage& image) {
    std::ostringstream out;
    out << kMagic << ' ' << VersionFor(image) << '\n';
    out << "uid " << ToHex(image.uid) << '\n';
    if (image.capacity != kDefaultCapacity) out << "capacity " << image.capacity << '\n';
    for (const Application& application : image.applications) {
        out << "application " << ToHex(application.aid.data(), application.aid.size())
            << " settings " << ToHex(&application.keySettings, 1) << " keys "
            << application.keys.size();
        if (application.keyType != KeyType::kDes)
            out << " type " << KeyTypeName(application.keyType);
        if (application.isoFileIds) out << " isofileids 1";
        if (application.isoFileId) out << " fileid " << Hex16(*application.isoFileId);
        if (!application.dfName.empty()) out << " dfname " << ToHex(application.dfName);
        out << '\n';
        const size_t size = KeySize(application.keyType);
        for (size_t i = 0; i < application.keys.size(); ++i) {
            out << "key " << i << ' ' << ToHex(application.keys[i].data(), size);
            if (application.keyType == KeyType::kAes) {
                out << " version " << ToHex(&application.aesVersions[i], 1);
            }
            out << '\n';
        }
        for (const auto& [number, file] : application.files) FormatFile(out, number, file);
    }
    return out.str();
}

std::optional<CardImage> ParseStateFile(const std::string& text, std::string* error) {
    StateFileReader reader;
    std::istringstream lines(text);
    std::string line;
    for (int lineNumber = 1; std::getline(lines, line); ++lineNumber) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream wordStream(line);
        Words words;
        for (std::string word; wordStream >> word;) words.push_back(word);
        if (words.empty() || words[0][0] == '#') continue;
        const std::string problem = reader.SawHeader() ? reader.Item(words) : reader.Header(line);
        if (!problem.empty()) {
            if (error) *error = "line " + std::to_string(lineNumber) + ": " + problem;
            return std::nullopt;
        }
    }
    const std::string missing = reader.Finish();
    if (!missing.empty()) {
        if (error) *error = "end of file: " + missing;
        return std::nullopt;
    }
    return reader.TakeImage();
}

}  // namespace kestrel::sim::desfire
