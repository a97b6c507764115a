// df: DESFire cards: everything they show, files and their data, applications and keys.
#include <cstring>
#include <iostream>

#include "card_info.h"
#include "commands.h"
#include "desfire_card.h"
#include "interrupt.h"
#include "progress.h"

namespace kestrel::tool {

namespace {

// Data files move in pieces of this size, so that long transfers show progress.
constexpr uint32_t kChunk = 512;
constexpr uint32_t kProgressAbove = 1024;

// Options most df commands share.
struct DfArgs {
    std::string app, key, mode;
    int file = 0;
    std::string data;
    uint32_t offset = 0;
    int64_t length = -1;
    std::string operation = "get";
    int64_t amount = 0;
    uint32_t count = 0;
    bool clear = false;
    // create-app, create-file, change-key
    std::string settings = "0F";
    int keys = 1;
    std::string type, comm = "plain", access = "0,0,0,0";
    uint32_t size = 0, recordSize = 0, maxRecords = 0;
    int64_t lower = 0, upper = 0, value = 0;
    bool limitedCredit = false;
    int keyNumber = 0;
    std::string newKey, oldKey;
};

// Activates the card, selects `aid` and authenticates there when a key is given.
void Open(DesfireCard& card, const DfArgs& args, uint32_t aid) {
    card.Select(aid);
    if (!args.key.empty()) card.Authenticate(ParseDesfireKey(args.key));
}

int32_t Mode(const DesfireCard& card, const DfArgs& args, const FileSettings& file,
             std::initializer_list<int> rights) {
    const int32_t mode = args.mode.empty() ? card.ModeFor(file, rights) : ParseMode(args.mode);
    if (mode != DF_COMM_PLAIN && !card.authenticated()) {
        throw UsageError("file " + std::to_string(file.number) + " moves its data in mode " +
                         ModeName(mode) + ": give the key with --key KEYNO:HEX");
    }
    return mode;
}

void Commit(DesfireCard& card, const FileSettings& file) {
    if (file.needsCommit()) card.Check(DF_Commit(card.session()), "commit the transaction");
}

constexpr int kRead = 0, kWrite = 1, kReadWrite = 2;

Json ApplicationJson(DesfireCard& card, uint32_t aid, const DfArgs& args) {
    Json app = {{"aid", AidText(aid)}};
    card.Select(aid);
    if (!args.key.empty()) {
        try {
            card.Authenticate(ParseDesfireKey(args.key));
        } catch (const Failure& failure) {
            app["authentication"] = failure.what();
            card.Select(aid);
        }
    }
    const auto settings = card.KeySettings();
    app["keySettings"] =
        settings ? DescribeKeySettings(settings->first, settings->second, true) : Json(nullptr);
    if (settings) {
        Json keys = Json::array();
        for (uint8_t key = 0; key < (settings->second & 0x0F); ++key) {
            uint8_t version = 0;
            card.Check(DF_GetKeyVersion(card.session(), key, &version),
                       "read the version of key " + std::to_string(key));
            keys.push_back({{"number", key}, {"version", version}});
        }
        app["keys"] = keys;
    }
    Json files = Json::array();
    uint8_t ids[16];
    uint8_t count = 0;
    const int32_t listed = DF_GetFileIDs(card.session(), &count, ids);
    if (listed == KESTREL_ERR_DF_AUTHENTICATION || listed == KESTREL_ERR_DF_PERMISSION_DENIED) {
        app["files"] = nullptr;
        return app;
    }
    card.Check(listed, "list the files of application " + AidText(aid));
    for (uint8_t i = 0; i < count && i < 16; ++i) files.push_back(DescribeFile(card.File(ids[i])));
    app["files"] = files;
    return app;
}

void PrintApplication(const Json& app) {
    std::cout << "application " << app["aid"].get<std::string>();
    if (app["keySettings"].is_null()) {
        std::cout << ": key settings need authentication\n";
    } else {
        const Json& s = app["keySettings"];
        std::cout << ": key settings " << s["settings"].get<std::string>() << ", "
                  << s["keys"].get<int>() << " keys (versions";
        for (const Json& k : app["keys"]) std::cout << ' ' << k["version"].get<int>();
        std::cout << "), keys changed with " << s["changeKeysWith"].get<std::string>() << '\n';
    }
    if (app["files"].is_null()) {
        std::cout << "  files: listing needs authentication\n";
        return;
    }
    for (const Json& f : app["files"]) {
        const Json& a = f["access"];
        std::cout << "  file " << f["file"].get<int>() << ": " << f["type"].get<std::string>()
                  << ", " << f["communication"].get<std::string>() << ", read "
                  << a["read"].get<std::string>() << ", write " << a["write"].get<std::string>()
                  << ", read/write " << a["readWrite"].get<std::string>() << ", change "
                  << a["change"].get<std::string>();
        if (f.contains("size")) std::cout << ", " << f["size"].get<uint32_t>() << " bytes";
        if (f.contains("lowerLimit")) {
            std::cout << ", limits " << f["lowerLimit"].get<int32_t>() << " to "
                      << f["upperLimit"].get<int32_t>() << ", limited credit "
                      << (f["limitedCredit"].get<bool>() ? "on" : "off");
        }
        if (f.contains("recordSize")) {
            std::cout << ", " << f["records"].get<uint32_t>() << " of "
                      << f["maxRecords"].get<uint32_t>() << " records of "
                      << f["recordSize"].get<uint32_t>() << " bytes";
        }
        std::cout << '\n';
    }
}

void Info(const Tool& tool, const DfArgs& args) {
    Reader reader(tool.options);
    DesfireCard card(reader);
    const Bytes version = card.Version();
    Json doc = {{"version", DecodeDesfireVersion(version)}};
    doc["uid"] = doc["version"].value("uid", "");
    Open(card, args, 0);
    const std::optional<uint32_t> free = card.FreeMemory();
    doc["freeMemory"] = free ? Json(*free) : Json(nullptr);
    const auto settings = card.KeySettings();
    doc["cardKeySettings"] =
        settings ? DescribeKeySettings(settings->first, settings->second, false) : Json(nullptr);
    uint8_t masterVersion = 0;
    card.Check(DF_GetKeyVersion(card.session(), 0, &masterVersion),
               "read the version of the card master key");
    doc["cardMasterKeyVersion"] = masterVersion;

    Json apps = Json::array();
    uint32_t aids[28];
    uint16_t count = 28;
    const int32_t listed = DF_ListApps(card.session(), aids, &count);
    if (listed == KESTREL_ERR_DF_AUTHENTICATION || listed == KESTREL_ERR_DF_PERMISSION_DENIED) {
        doc["applications"] = nullptr;
    } else {
        card.Check(listed, "list the applications");
        for (uint16_t i = 0; i < count && i < 28; ++i) {
            CheckInterrupt();
            apps.push_back(ApplicationJson(card, aids[i], args));
        }
        doc["applications"] = apps;
    }

    tool.options.output().Result(doc, [&] {
        const Json& v = doc["version"];
        std::cout << "MIFARE DESFire " << doc["uid"].get<std::string>() << '\n';
        if (!v.contains("malformed")) {
            for (const char* part : {"hardware", "software"}) {
                const Json& p = v[part];
                std::cout << "  " << part << ": vendor " << p["vendor"].get<std::string>()
                          << ", type " << p["type"].get<std::string>() << "/"
                          << p["subtype"].get<std::string>() << ", version "
                          << p["version"].get<std::string>() << ", storage "
                          << p["storageSize"].get<std::string>() << ", protocol "
                          << p["protocol"].get<std::string>() << '\n';
            }
            std::cout << "  production: batch " << v["batch"].get<std::string>() << ", week "
                      << v["productionWeek"].get<std::string>() << " of "
                      << v["productionYear"].get<std::string>() << '\n';
        }
        if (!doc["freeMemory"].is_null()) {
            std::cout << "  free memory: " << doc["freeMemory"].get<uint32_t>() << " bytes\n";
        }
        if (settings) {
            const Json& s = doc["cardKeySettings"];
            std::cout << "  card key settings " << s["settings"].get<std::string>()
                      << ": master key " << (s["masterKeyChangeable"].get<bool>() ? "" : "not ")
                      << "changeable, listing "
                      << (s["listWithoutMasterKey"].get<bool>() ? "free" : "needs the master key")
                      << ", create/delete "
                      << (s["createDeleteWithoutMasterKey"].get<bool>() ? "free"
                                                                        : "needs the master key")
                      << ", settings " << (s["settingsChangeable"].get<bool>() ? "" : "not ")
                      << "changeable; master key version " << doc["cardMasterKeyVersion"].get<int>()
                      << '\n';
        } else {
            std::cout << "  card key settings need authentication (--key)\n";
        }
        if (doc["applications"].is_null()) {
            std::cout << "  applications: listing needs authentication (--key)\n";
            return;
        }
        if (apps.empty()) std::cout << "  no applications\n";
        for (const Json& app : apps) PrintApplication(app);
    });
}

void List(const Tool& tool, const DfArgs& args) {
    Reader reader(tool.options);
    DesfireCard card(reader);
    if (args.app.empty()) {
        Open(card, args, 0);
        Json apps = Json::array();
        for (uint32_t aid : card.Applications()) apps.push_back(AidText(aid));
        tool.options.output().Result({{"applications", apps}}, [&] {
            for (const Json& aid : apps) std::cout << aid.get<std::string>() << '\n';
        });
        return;
    }
    const uint32_t aid = ParseAid(args.app);
    Open(card, args, aid);
    Json files = Json::array();
    for (uint8_t id : card.FileIds()) files.push_back(DescribeFile(card.File(id)));
    const Json app = {{"aid", AidText(aid)}, {"files", files}};
    tool.options.output().Result(app, [&] {
        for (const Json& f : files) {
            std::cout << "file " << f["file"].get<int>() << "  " << f["type"].get<std::string>()
                      << "  " << f["communication"].get<std::string>() << '\n';
        }
    });
}

// The file to work on, after selecting its application and authenticating.
FileSettings OpenFile(DesfireCard& card, const DfArgs& args) {
    Open(card, args, ParseAid(args.app));
    return card.File(static_cast<uint8_t>(args.file));
}

void PrintData(const Tool& tool, Json doc, const Bytes& data) {
    if (tool.options.raw) {
        WriteRawToStdout(data);
        return;
    }
    doc["data"] = ToHex(data);
    tool.options.output().Result(doc, [&] {
        for (const std::string& row : HexAsciiRows(data.data(), data.size(), 16)) {
            std::cout << row << '\n';
        }
    });
}

void Read(const Tool& tool, const DfArgs& args) {
    Reader reader(tool.options);
    DesfireCard card(reader);
    const FileSettings file = OpenFile(card, args);
    if (!file.isData()) {
        throw UsageError("file " + std::to_string(args.file) + " is a " +
                         DescribeFile(file)["type"].get<std::string>() +
                         " file: use df value or df records");
    }
    if (args.offset > file.size()) throw UsageError("--offset is beyond the file's size");
    const uint32_t length =
        args.length < 0 ? file.size() - args.offset : static_cast<uint32_t>(args.length);
    const int32_t mode = Mode(card, args, file, {kRead, kReadWrite});
    Bytes data(length);
    Progress progress(length, "bytes", tool.options.quiet || length <= kProgressAbove);
    for (uint32_t done = 0; done < length;) {
        CheckInterrupt();
        uint32_t piece = std::min(kChunk, length - done);
        card.Check(
            DF_ReadData(card.session(), file.number, mode, static_cast<int32_t>(args.offset + done),
                        &piece, &data[done], card.sessionKey()),
            "read file " + std::to_string(file.number) + " at " +
                std::to_string(args.offset + done));
        if (piece == 0)
            throw Failure("read file " + std::to_string(file.number) + ": the card sent no data");
        done += std::min(piece, std::min(kChunk, length - done));
        progress.Update(done);
    }
    PrintData(tool,
              {{"aid", AidText(ParseAid(args.app))},
               {"file", file.number},
               {"offset", args.offset},
               {"length", length},
               {"mode", ModeName(mode)}},
              data);
}

void Write(const Tool& tool, const DfArgs& args) {
    const Bytes data = ReadDataArgument(args.data, "DATA");
    if (data.empty()) throw UsageError("DATA: no bytes to write");
    Reader reader(tool.options);
    DesfireCard card(reader);
    const FileSettings file = OpenFile(card, args);
    if (!file.isData()) throw UsageError("df write writes standard and backup files");
    const int32_t mode = Mode(card, args, file, {kWrite, kReadWrite});
    const uint32_t length = static_cast<uint32_t>(data.size());
    Progress progress(length, "bytes", tool.options.quiet || length <= kProgressAbove);
    for (uint32_t done = 0; done < length;) {
        CheckInterrupt();
        const uint32_t piece = std::min(kChunk, length - done);
        card.Check(DF_WriteData(card.session(), file.number, mode,
                                static_cast<int32_t>(args.offset + done), piece, &data[done],
                                card.sessionKey()),
                   "write file " + std::to_string(file.number) + " at " +
                       std::to_string(args.offset + done));
        done += piece;
        progress.Update(done);
    }
    Commit(card, file);
    tool.options.output().Done(
        {{"aid", AidText(ParseAid(args.app))},
         {"file", file.number},
         {"offset", args.offset},
         {"length", length},
         {"mode", ModeName(mode)}},
        std::to_string(length) + " bytes written to file " + std::to_string(file.number));
}

void Value(const Tool& tool, const DfArgs& args) {
    if (args.operation != "get" && (args.amount < 0 || args.amount > INT32_MAX)) {
        throw UsageError("AMOUNT must be 0 to 2147483647");
    }
    Reader reader(tool.options);
    DesfireCard card(reader);
    const FileSettings file = OpenFile(card, args);
    if (!file.isValue())
        throw UsageError("file " + std::to_string(args.file) + " is not a value file");
    const int32_t amount = static_cast<int32_t>(args.amount);
    if (args.operation != "get") {
        const bool credit = args.operation == "credit";
        const bool limited = args.operation == "limited-credit";
        const int32_t mode =
            Mode(card, args, file,
                 credit    ? std::initializer_list<int>{kReadWrite}
                 : limited ? std::initializer_list<int>{kWrite, kReadWrite}
                           : std::initializer_list<int>{kRead, kWrite, kReadWrite});
        const uint8_t operation = credit    ? DF_VALUE_CREDIT
                                  : limited ? DF_VALUE_LIMITED_CREDIT
                                            : DF_VALUE_DEBIT;
        card.Check(
            DF_ChangeValue(card.session(), file.number, mode, amount, operation, card.sessionKey()),
            args.operation + " " + std::to_string(amount));
        Commit(card, file);
    }
    const int32_t mode = Mode(card, args, file, {kRead, kWrite, kReadWrite});
    uint32_t value = 0;
    card.Check(DF_GetValue(card.session(), file.number, mode, &value, card.sessionKey()),
               "read the value of file " + std::to_string(file.number));
    int32_t signedValue;
    std::memcpy(&signedValue, &value, sizeof signedValue);
    tool.options.output().Result(
        {{"aid", AidText(ParseAid(args.app))}, {"file", file.number}, {"value", signedValue}},
        [&] { std::cout << signedValue << '\n'; });
}

void Records(const Tool& tool, const DfArgs& args) {
    Reader reader(tool.options);
    DesfireCard card(reader);
    const FileSettings file = OpenFile(card, args);
    if (!file.isRecord())
        throw UsageError("file " + std::to_string(args.file) + " is not a record file");
    const Json where = {{"aid", AidText(ParseAid(args.app))}, {"file", file.number}};
    if (args.clear || !args.data.empty()) {
        if (args.clear) {
            card.Check(DF_ClearRecords(card.session(), file.number), "clear the records");
        } else {
            const Bytes data = ReadDataArgument(args.data, "--write");
            const int32_t mode = Mode(card, args, file, {kWrite, kReadWrite});
            card.Check(
                DF_WriteRecord(card.session(), file.number, mode, 0,
                               static_cast<uint32_t>(data.size()), data.data(), card.sessionKey()),
                "write a record");
        }
        Commit(card, file);
        tool.options.output().Done(where, args.clear ? "records cleared" : "record written");
        return;
    }
    const int32_t mode = Mode(card, args, file, {kRead, kReadWrite});
    // Always a count (the records the file holds from the offset on, unless --count says
    // otherwise) and the buffer's capacity: the library refuses an answer that does not fit.
    const uint32_t held = file.records() > args.offset ? file.records() - args.offset : 0;
    uint32_t count = args.count != 0 ? args.count : held;
    Bytes buffer(static_cast<size_t>(count) * file.recordSize());
    uint32_t length = static_cast<uint32_t>(buffer.size());
    if (count != 0) {
        card.Check(
            DF_ReadRecordsEx(card.session(), file.number, mode, static_cast<int32_t>(args.offset),
                             &count, buffer.data(), &length, file.recordSize(), card.sessionKey()),
            "read the records");
    }
    count = file.recordSize() != 0 ? length / file.recordSize() : 0;
    Json records = Json::array();
    Bytes all;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* record = &buffer[static_cast<size_t>(i) * file.recordSize()];
        records.push_back(ToHex(record, file.recordSize()));
        all.insert(all.end(), record, record + file.recordSize());
    }
    if (tool.options.raw) {
        WriteRawToStdout(all);
        return;
    }
    Json doc = where;
    doc["mode"] = ModeName(mode);
    doc["records"] = records;
    tool.options.output().Result(doc, [&] {
        for (const Json& r : records) std::cout << r.get<std::string>() << '\n';
    });
}

void CreateApp(const Tool& tool, const DfArgs& args) {
    const uint32_t aid = ParseAid(args.app);
    const Bytes settings = ParseHexOfSize(args.settings, 1, "--settings");
    Reader reader(tool.options);
    DesfireCard card(reader);
    Open(card, args, 0);
    card.Check(DF_CreateApp(card.session(), aid, settings[0], static_cast<uint8_t>(args.keys)),
               "create application " + AidText(aid));
    tool.options.output().Done(
        {{"aid", AidText(aid)}, {"keySettings", ToHex(settings)}, {"keys", args.keys}},
        "application " + AidText(aid) + " created");
}

void CreateFile(const Tool& tool, const DfArgs& args) {
    const std::array<uint8_t, 4> rights = ParseAccessRights(args.access);
    const uint8_t comm = static_cast<uint8_t>(ParseMode(args.comm));
    const uint8_t number = static_cast<uint8_t>(args.file);
    Reader reader(tool.options);
    DesfireCard card(reader);
    Open(card, args, ParseAid(args.app));
    KestrelSession* s = card.session();
    int32_t code;
    if (args.type == "standard" || args.type == "backup") {
        if (args.size == 0) throw UsageError("--size: the file's size in bytes");
        code = args.type == "standard"
                   ? DF_CreateStdFile(s, number, comm, rights.data(), args.size)
                   : DF_CreateBackupFile(s, number, comm, rights.data(), args.size);
    } else if (args.type == "value") {
        code = DF_CreateValueFile(s, number, comm, rights.data(), static_cast<uint32_t>(args.lower),
                                  static_cast<uint32_t>(args.upper),
                                  static_cast<uint32_t>(args.value), args.limitedCredit ? 1 : 0);
    } else {
        if (args.recordSize == 0 || args.maxRecords == 0) {
            throw UsageError("--record-size and --max-records are needed for record files");
        }
        // DF_CreateRecordFile sends 0xC1 for "cyclic" and 0xC0 for "linear", the opposite of
        // what cards take those bytes for (0xC0 creates a cyclic file): ask for the other
        // kind, so that the card gets the file the user named.
        const uint8_t cyclicFlag = args.type == "cyclic" ? 0 : 1;
        code = DF_CreateRecordFile(s, number, comm, rights.data(), args.recordSize, args.maxRecords,
                                   cyclicFlag);
    }
    card.Check(code, "create file " + std::to_string(number));
    tool.options.output().Done(
        {{"aid", AidText(ParseAid(args.app))}, {"file", number}, {"type", args.type}},
        args.type + " file " + std::to_string(number) + " created");
}

void Delete(const Tool& tool, const DfArgs& args, bool fileGiven) {
    const uint32_t aid = ParseAid(args.app);
    Reader reader(tool.options);
    DesfireCard card(reader);
    if (fileGiven) {
        Open(card, args, aid);
        card.Check(DF_DeleteFile(card.session(), static_cast<uint8_t>(args.file)),
                   "delete file " + std::to_string(args.file));
        tool.options.output().Done({{"aid", AidText(aid)}, {"file", args.file}},
                                   "file " + std::to_string(args.file) + " deleted");
        return;
    }
    Open(card, args, 0);
    card.Check(DF_DeleteApp(card.session(), aid), "delete application " + AidText(aid));
    tool.options.output().Done({{"aid", AidText(aid)}}, "application " + AidText(aid) + " deleted");
}

void Format(const Tool& tool, const DfArgs& args) {
    if (args.key.empty()) throw UsageError("df format needs the card master key: --key 0:HEX");
    Reader reader(tool.options);
    DesfireCard card(reader);
    Open(card, args, 0);
    card.Check(DF_FormatCard(card.session()), "format the card");
    tool.options.output().Done({{"formatted", true}}, "card formatted: every application deleted");
}

void ChangeKey(const Tool& tool, const DfArgs& args) {
    if (args.key.empty()) throw UsageError("df change-key needs --key KEYNO:HEX to authenticate");
    const auto newKey = ParseDesfireKeyValue(args.newKey, "NEWKEY");
    const auto oldKey =
        ParseDesfireKeyValue(args.oldKey.empty() ? std::string(32, '0') : args.oldKey, "--old-key");
    const DesfireKey auth = ParseDesfireKey(args.key);
    const uint32_t aid = ParseAid(args.app);
    Reader reader(tool.options);
    DesfireCard card(reader);
    Open(card, args, aid);
    const uint8_t number = static_cast<uint8_t>(args.keyNumber);
    if (number == auth.number) {
        card.Check(DF_ChangeCurKey(card.session(), number, newKey.data(), card.sessionKey()),
                   "change key " + std::to_string(number));
    } else {
        card.Check(
            DF_ChangeKey(card.session(), number, oldKey.data(), newKey.data(), card.sessionKey()),
            "change key " + std::to_string(number));
    }
    tool.options.output().Done(
        {{"aid", AidText(aid)}, {"key", number}},
        "key " + std::to_string(number) + " of application " + AidText(aid) + " changed");
}

}  // namespace

void AddDesfireCommands(CLI::App& app, Tool& tool) {
    CLI::App* df = AddGroup(app, tool, "df", "MIFARE DESFire cards");
    const char* keyHelp = "authenticate with this key first: KEYNO:HEX (8 or 16 bytes)";
    const char* modeHelp = "communication mode: plain, mac or enc (default: the file's own)";
    auto add = [&](const char* name, const char* description, auto body) {
        auto args = std::make_shared<DfArgs>();
        CLI::App* c =
            AddCommand(*df, tool, name, description, [&tool, args, body] { body(tool, *args); });
        c->add_option("--key", args->key, keyHelp);
        return std::make_pair(c, args);
    };
    auto appFile = [](CLI::App* c, DfArgs& a) {
        c->add_option("APP", a.app, "application id, up to 6 hex digits")->required();
        c->add_option("FILE", a.file, "file number")->required()->check(CLI::Range(0, 31));
    };

    add("info", "everything the card shows: version, key settings, applications, files",
        [](const Tool& t, const DfArgs& a) { Info(t, a); });
    {
        auto [c, a] = add("ls", "the applications, or the files of APP",
                          [](const Tool& t, const DfArgs& x) { List(t, x); });
        c->add_option("APP", a->app, "application id");
    }
    {
        auto [c, a] = add("read", "read a standard or backup file",
                          [](const Tool& t, const DfArgs& x) { Read(t, x); });
        appFile(c, *a);
        c->add_option("--offset", a->offset, "first byte");
        c->add_option("--length", a->length, "bytes to read (default: to the end)");
        c->add_option("--mode", a->mode, modeHelp);
    }
    {
        auto [c, a] = add("write", "write a standard or backup file (committed)",
                          [](const Tool& t, const DfArgs& x) { Write(t, x); });
        appFile(c, *a);
        c->add_option("DATA", a->data, "hex or @FILE")->required();
        c->add_option("--offset", a->offset, "first byte");
        c->add_option("--mode", a->mode, modeHelp);
    }
    {
        auto [c, a] = add("value", "read a value file, or credit/debit it (committed)",
                          [](const Tool& t, const DfArgs& x) { Value(t, x); });
        appFile(c, *a);
        c->add_option("OPERATION", a->operation, "get (default), credit, debit, limited-credit")
            ->check(CLI::IsMember({"get", "credit", "debit", "limited-credit"}));
        c->add_option("AMOUNT", a->amount, "amount to credit or debit");
        c->add_option("--mode", a->mode, modeHelp);
    }
    {
        auto [c, a] = add("records", "read the records of a record file, write one or clear them",
                          [](const Tool& t, const DfArgs& x) { Records(t, x); });
        appFile(c, *a);
        c->add_option("--offset", a->offset, "records back from the newest");
        c->add_option("--count", a->count, "records to read (default: all)");
        c->add_option("--write", a->data, "append this record (hex or @FILE; committed)");
        c->add_flag("--clear", a->clear, "delete every record (committed)");
        c->add_option("--mode", a->mode, modeHelp);
    }
    {
        auto [c, a] = add("create-app", "create an application (at the card level)",
                          [](const Tool& t, const DfArgs& x) { CreateApp(t, x); });
        c->add_option("APP", a->app, "application id")->required();
        c->add_option("--settings", a->settings, "key settings byte in hex (default 0F)");
        c->add_option("--keys", a->keys, "number of keys (default 1)")->check(CLI::Range(1, 14));
    }
    {
        auto [c, a] = add("create-file", "create a file in an application",
                          [](const Tool& t, const DfArgs& x) { CreateFile(t, x); });
        appFile(c, *a);
        c->add_option("--type", a->type, "standard, backup, value, linear or cyclic")
            ->required()
            ->check(CLI::IsMember({"standard", "backup", "value", "linear", "cyclic"}));
        c->add_option("--comm", a->comm, "plain (default), mac or enc");
        c->add_option("--access", a->access,
                      "rights R,W,RW,C: key numbers, free or never (default 0,0,0,0)");
        c->add_option("--size", a->size, "standard and backup files: size in bytes");
        c->add_option("--record-size", a->recordSize, "record files: bytes per record");
        c->add_option("--max-records", a->maxRecords, "record files: number of records");
        c->add_option("--lower", a->lower, "value files: lower limit");
        c->add_option("--upper", a->upper, "value files: upper limit");
        c->add_option("--value", a->value, "value files: initial value");
        c->add_flag("--limited-credit", a->limitedCredit, "value files: allow limited credit");
    }
    {
        auto fileGiven = std::make_shared<bool>(false);
        auto args = std::make_shared<DfArgs>();
        CLI::App* c = AddCommand(*df, tool, "delete", "delete an application, or a file of it",
                                 [&tool, args, fileGiven] { Delete(tool, *args, *fileGiven); });
        c->add_option("--key", args->key, keyHelp);
        c->add_option("APP", args->app, "application id")->required();
        c->add_option("FILE", args->file, "file number")
            ->check(CLI::Range(0, 31))
            ->each([fileGiven](const std::string&) { *fileGiven = true; });
    }
    add("format", "delete every application (needs the card master key)",
        [](const Tool& t, const DfArgs& x) { Format(t, x); });
    {
        auto [c, a] = add("change-key", "change a key of an application (000000: the card)",
                          [](const Tool& t, const DfArgs& x) { ChangeKey(t, x); });
        c->add_option("APP", a->app, "application id")->required();
        c->add_option("KEYNO", a->keyNumber, "key to change")->required()->check(CLI::Range(0, 13));
        c->add_option("NEWKEY", a->newKey, "new key, 8 or 16 bytes of hex")->required();
        c->add_option("--old-key", a->oldKey, "current value of another key (default zeros)");
    }
}

}  // namespace kestrel::tool
