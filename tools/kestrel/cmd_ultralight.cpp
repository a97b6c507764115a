// ul: MIFARE Ultralight pages.
#include <iostream>

#include "atomic_file.h"
#include "commands.h"
#include "interrupt.h"

namespace kestrel::tool {

namespace {

constexpr int kPages = 16;

// The UID of the Ultralight card in the field; a Failure for any other card.
Bytes ActivateUltralight(const Reader& reader) {
    uint8_t uid[7];
    const int32_t code = MifU_GetCard(reader.session(), uid);
    if (code == -1)
        throw Failure("the card in the field is not an Ultralight (its UID is not 7 bytes)");
    reader.Check(code, "activate the card");
    return Bytes(uid, uid + sizeof uid);
}

// Lock bytes (page 2, bytes 2-3) and OTP (page 3) in words.
Json ExplainLocks(const Bytes& memory) {
    const uint8_t lock0 = memory[10], lock1 = memory[11];
    Json locked = Json::array();
    for (int page = 3; page < kPages; ++page) {
        const bool bit = page < 8 ? (lock0 >> page & 1) != 0 : (lock1 >> (page - 8) & 1) != 0;
        if (bit) locked.push_back(page);
    }
    Json frozen = Json::array();
    if ((lock0 & 0x01) != 0) frozen.push_back("page 3 (OTP)");
    if ((lock0 & 0x02) != 0) frozen.push_back("pages 4-9");
    if ((lock0 & 0x04) != 0) frozen.push_back("pages 10-15");
    return {{"lockBytes", ToHex(&memory[10], 2)},
            {"lockedPages", locked},
            {"frozenLockBits", frozen},
            {"otp", ToHex(&memory[12], 4)}};
}

void Dump(const Tool& tool, const std::string& output) {
    std::unique_ptr<AtomicFile> file;
    if (!output.empty()) file = std::make_unique<AtomicFile>(output);
    Reader reader(tool.options);
    const Bytes uid = ActivateUltralight(reader);
    Bytes memory(kPages * 4);
    for (int page = 0; page < kPages; page += 4) {
        CheckInterrupt();
        reader.Check(
            MifU_Read16Bytes(reader.session(), static_cast<uint8_t>(page), &memory[page * 4]),
            "read pages " + std::to_string(page) + "-" + std::to_string(page + 3));
    }
    if (file) file->Commit(memory);
    if (!file && tool.options.raw) {
        WriteRawToStdout(memory);
        return;
    }
    Json pages = Json::array();
    for (int page = 0; page < kPages; ++page) pages.push_back(ToHex(&memory[page * 4], 4));
    Json doc = {{"uid", ToHex(uid)}, {"pages", pages}, {"locks", ExplainLocks(memory)}};
    if (file) doc["file"] = output;
    tool.options.output().Result(doc, [&] {
        static const char* kRoles[4] = {"UID 0-2, BCC0", "UID 3-6", "BCC1, internal, lock bytes",
                                        "OTP"};
        std::cout << "MIFARE Ultralight " << ToHex(uid) << '\n';
        for (int page = 0; page < kPages; ++page) {
            std::string row = HexAsciiRows(&memory[page * 4], 4, 4)[0].substr(6);
            std::printf("  page %2d: %s  %s\n", page, row.c_str(), page < 4 ? kRoles[page] : "");
        }
        const Json& locks = doc["locks"];
        std::cout << "locked pages:";
        for (const Json& p : locks["lockedPages"]) std::cout << ' ' << p.get<int>();
        if (locks["lockedPages"].empty()) std::cout << " none";
        std::cout << "\nlock bits frozen for:";
        for (const Json& p : locks["frozenLockBits"])
            std::cout << ' ' << p.get<std::string>() << ';';
        if (locks["frozenLockBits"].empty()) std::cout << " none";
        std::cout << "\nOTP bits set: " << locks["otp"].get<std::string>()
                  << " (they can be set, never cleared)\n";
        if (file) std::cout << "written to " << output << '\n';
    });
}

void Write(const Tool& tool, int page, const std::string& data) {
    const Bytes bytes = ReadDataArgument(data, "page data");
    if (bytes.size() != 4) throw UsageError("page data: a page is 4 bytes");
    Reader reader(tool.options);
    const Bytes uid = ActivateUltralight(reader);
    reader.Check(MifU_WritePage(reader.session(), static_cast<uint8_t>(page), bytes.data()),
                 "write page " + std::to_string(page));
    tool.options.output().Done({{"uid", ToHex(uid)}, {"page", page}, {"data", ToHex(bytes)}},
                               "page " + std::to_string(page) + " written: " + ToHex(bytes, " "));
}

}  // namespace

void AddUltralightCommands(CLI::App& app, Tool& tool) {
    CLI::App* ul = AddGroup(app, tool, "ul", "MIFARE Ultralight cards");
    auto output = std::make_shared<std::string>();
    CLI::App* d = AddCommand(*ul, tool, "dump", "read all 16 pages, lock and OTP bits explained",
                             [&tool, output] { Dump(tool, *output); });
    d->add_option("-o,--output", *output, "write the raw image (64 bytes) to this file");

    auto page = std::make_shared<int>(0);
    auto data = std::make_shared<std::string>();
    CLI::App* w = AddCommand(*ul, tool, "write", "write one page (4 bytes)",
                             [&tool, page, data] { Write(tool, *page, *data); });
    w->add_option("PAGE", *page, "page number")->required()->check(CLI::Range(0, 255));
    w->add_option("HEX", *data, "4 bytes of hex, or @FILE")->required();
}

}  // namespace kestrel::tool
