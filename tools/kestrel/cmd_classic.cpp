// mfc: MIFARE Classic dumps, restores, access conditions and value blocks.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "acl.h"
#include "atomic_file.h"
#include "classic_card.h"
#include "commands.h"
#include "progress.h"

namespace kestrel::tool {

namespace {

// What a dump learned of one sector.
struct SectorResult {
    std::optional<ClassicKey> keyA, keyB;
    bool keyBReadable = false;  // key B was read as data: it is no key of this sector
    std::vector<int> unread;
};

// Reads one sector into `image`: finds key A among the keys, reads the trailer to learn
// which key reads which block, reads what key A may, then looks for key B when blocks remain
// or the trailer keeps key B secret. Unread blocks stay zero.
SectorResult DumpSector(ClassicCard& card, int sector, const std::vector<ClassicKey>& keys,
                        Bytes& image) {
    SectorResult result;
    const int first = FirstBlock(sector), trailer = TrailerBlock(sector);
    std::vector<bool> done(static_cast<size_t>(trailer - first + 1), false);
    bool aclKnown = false;
    uint8_t* trailerBytes = &image[static_cast<size_t>(trailer) * kBlockSize];

    auto readBlocks = [&](uint8_t keyType, const ClassicKey& key) {
        for (int block = trailer; block >= first; --block) {  // the trailer first
            const size_t index = static_cast<size_t>(block - first);
            if (done[index]) continue;
            if (block != trailer && aclKnown &&
                !MayReadData(trailerBytes + 6, AccessGroup(sector, block), keyType)) {
                continue;
            }
            if (card.Read(block, &image[static_cast<size_t>(block) * kBlockSize])) {
                done[index] = true;
                if (block == trailer) aclKnown = AccessBitsConsistent(trailerBytes + 6);
            } else if (!card.Authenticate(block, keyType, key)) {
                return;
            }
        }
    };

    result.keyA = card.FindKey(first, KEY_TYPE_A, keys);
    if (result.keyA) readBlocks(KEY_TYPE_A, *result.keyA);
    // Key B read through key A is data; the card would refuse it as a key.
    const bool keyBRead = result.keyA && done.back() && aclKnown && KeyBReadable(trailerBytes + 6);
    const bool blocksLeft = std::find(done.begin(), done.end(), false) != done.end();
    if (blocksLeft || !keyBRead) {
        result.keyB = card.FindKey(first, KEY_TYPE_B, keys);
        if (result.keyB) readBlocks(KEY_TYPE_B, *result.keyB);
    }
    if (keyBRead) {
        result.keyBReadable = true;
        result.keyB.emplace();
        std::copy(trailerBytes + 10, trailerBytes + 16, result.keyB->begin());
    }
    if (done.back()) {
        // The card shows key A as zeros, and key B unless it is readable: put the keys that
        // opened the sector in their place, so that the image restores as it was.
        std::memset(trailerBytes, 0, 6);
        if (result.keyA) std::copy(result.keyA->begin(), result.keyA->end(), trailerBytes);
        if (!result.keyBReadable) {
            std::memset(trailerBytes + 10, 0, 6);
            if (result.keyB) std::copy(result.keyB->begin(), result.keyB->end(), trailerBytes + 10);
        }
    }
    for (size_t i = 0; i < done.size(); ++i) {
        if (!done[i]) result.unread.push_back(first + static_cast<int>(i));
    }
    return result;
}

Json KeyJson(const std::optional<ClassicKey>& key) {
    return key ? Json(ToHex(key->data(), key->size())) : Json(nullptr);
}

void PrintImage(const Bytes& image, const ClassicLayout& layout, const Json& sectors,
                const std::vector<int>& unread) {
    for (int sector = 0; sector < layout.sectors; ++sector) {
        const Json& s = sectors[static_cast<size_t>(sector)];
        std::cout << "sector " << sector << "  key A "
                  << (s["keyA"].is_null() ? "unknown" : s["keyA"].get<std::string>()) << "  key B "
                  << (s["keyB"].is_null() ? "unknown" : s["keyB"].get<std::string>())
                  << (s["keyBReadable"].get<bool>() ? " (readable: data, not a key)" : "") << '\n';
        for (int block = FirstBlock(sector); block <= TrailerBlock(sector); ++block) {
            const uint8_t* data = &image[static_cast<size_t>(block) * kBlockSize];
            std::string row = HexAsciiRows(data, kBlockSize, kBlockSize)[0].substr(6);
            if (std::find(unread.begin(), unread.end(), block) != unread.end()) {
                row = "-- not read --";
            } else if (block == TrailerBlock(sector)) {
                row += "  trailer";
            } else if (std::optional<int32_t> value = DecodeValueBlock(data)) {
                row += "  value " + std::to_string(*value);
            }
            std::printf("  %3d: %s\n", block, row.c_str());
        }
    }
}

struct DumpArgs {
    std::string keyFile, output;
};

void Dump(const Tool& tool, const DumpArgs& args) {
    const Output out = tool.options.output();
    const std::vector<ClassicKey> keys = LoadClassicKeys(args.keyFile);
    std::unique_ptr<AtomicFile> file;
    if (!args.output.empty()) file = std::make_unique<AtomicFile>(args.output);

    Reader reader(tool.options);
    ClassicCard card(reader);
    const ClassicLayout& layout = card.layout();
    Bytes image(layout.bytes(), 0);
    Json sectors = Json::array();
    std::vector<int> unread;
    {
        Progress progress(static_cast<uint64_t>(layout.sectors), "sectors", tool.options.quiet);
        for (int sector = 0; sector < layout.sectors; ++sector) {
            const SectorResult r = DumpSector(card, sector, keys, image);
            sectors.push_back({{"sector", sector},
                               {"keyA", KeyJson(r.keyA)},
                               {"keyB", KeyJson(r.keyB)},
                               {"keyBReadable", r.keyBReadable},
                               {"unreadBlocks", r.unread}});
            unread.insert(unread.end(), r.unread.begin(), r.unread.end());
            progress.Update(static_cast<uint64_t>(sector + 1));
        }
    }
    if (file) file->Commit(image);

    Json doc = {{"uid", ToHex(card.uid())},
                {"type", layout.name},
                {"sectors", sectors},
                {"unreadBlocks", unread}};
    if (file) {
        doc["file"] = args.output;
    } else if (!tool.options.raw) {
        Json blocks = Json::array();
        for (int block = 0; block < layout.blocks; ++block) {
            blocks.push_back(ToHex(&image[static_cast<size_t>(block) * kBlockSize], kBlockSize));
        }
        doc["blocks"] = blocks;
    }
    if (!file && tool.options.raw) {
        WriteRawToStdout(image);
    } else {
        out.Result(doc, [&] {
            if (!file) PrintImage(image, layout, sectors, unread);
            std::cout << layout.name << " " << ToHex(card.uid()) << ": "
                      << layout.blocks - static_cast<int>(unread.size()) << " of " << layout.blocks
                      << " blocks read";
            if (file) std::cout << ", written to " << args.output;
            std::cout << '\n';
            for (const Json& s : sectors) {
                if (s["keyA"].is_null() && s["keyB"].is_null()) {
                    std::cout << "sector " << s["sector"].get<int>()
                              << ": no key of the list opens it\n";
                }
            }
            if (!unread.empty()) {
                std::cout << "blocks not read (zero in the image):";
                for (int block : unread) std::cout << ' ' << block;
                std::cout << '\n';
            }
        });
    }
}

struct RestoreArgs {
    std::string image, keyFile;
    bool withTrailers = false, withBlock0 = false, force = false;
};

Bytes LoadImage(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw UsageError("cannot read image " + path);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The keys that may open one sector for a restore: the keys of the image's own trailer first
// (most often they are the card's), then the listed keys as A and as B. A key that failed to
// authenticate once is not tried again in this sector.
class SectorKeys {
  public:
    SectorKeys(const uint8_t* imageTrailer, const std::vector<ClassicKey>& listed) {
        Add(KEY_TYPE_A, imageTrailer);
        Add(KEY_TYPE_B, imageTrailer + 10);
        for (uint8_t type : {KEY_TYPE_A, KEY_TYPE_B}) {
            for (const ClassicKey& key : listed) Add(type, key.data());
        }
        opens_.assign(candidates_.size(), true);
    }

    // Writes the block under the key the card is authenticated with, else under the next
    // candidate that opens the sector; false when none lets it be written.
    bool Write(ClassicCard& card, int block, const uint8_t* data) {
        bool ok = current_ && card.Write(block, data);
        for (size_t i = 0; !ok && i < candidates_.size(); ++i) {
            if (!opens_[i] || current_ == i) continue;
            current_.reset();
            if (!card.Authenticate(block, candidates_[i].first, candidates_[i].second)) {
                opens_[i] = false;
                continue;
            }
            current_ = i;
            ok = card.Write(block, data);
        }
        if (!ok) current_.reset();
        return ok;
    }

  private:
    void Add(uint8_t type, const uint8_t* bytes) {
        std::pair<uint8_t, ClassicKey> candidate{type, {}};
        std::copy(bytes, bytes + 6, candidate.second.begin());
        if (std::find(candidates_.begin(), candidates_.end(), candidate) == candidates_.end()) {
            candidates_.push_back(candidate);
        }
    }

    std::vector<std::pair<uint8_t, ClassicKey>> candidates_;
    std::vector<bool> opens_;
    std::optional<size_t> current_;  // the candidate the card is authenticated with
};

void Restore(const Tool& tool, const RestoreArgs& args) {
    const Output out = tool.options.output();
    const Bytes image = LoadImage(args.image);
    const ClassicLayout imageLayout = LayoutForImage(image.size(), args.image);
    const std::vector<ClassicKey> listed = LoadClassicKeys(args.keyFile);
    auto blockAt = [&](int block) { return &image[static_cast<size_t>(block) * kBlockSize]; };

    // Trailers are checked before anything is written.
    if (args.withTrailers && !args.force) {
        for (int sector = 0; sector < imageLayout.sectors; ++sector) {
            const std::string reason = TrailerLockReason(blockAt(TrailerBlock(sector)) + 6);
            if (!reason.empty()) {
                throw UsageError("the trailer of sector " + std::to_string(sector) + " in " +
                                 args.image + " is refused: " + reason +
                                 " (--force writes it all the same)");
            }
        }
    }

    Reader reader(tool.options);
    ClassicCard card(reader);
    if (card.layout().blocks != imageLayout.blocks) {
        throw UsageError(args.image + " is a " + imageLayout.name + " image, the card a " +
                         card.layout().name);
    }
    if (!std::equal(card.uid().begin(), card.uid().end(), image.begin())) {
        out.Note("note: the image was made from card " + ToHex(image.data(), 4) +
                 ", this card is " + ToHex(card.uid()));
    }

    std::vector<int> failed;
    int written = 0;
    {
        Progress progress(static_cast<uint64_t>(imageLayout.sectors), "sectors",
                          tool.options.quiet);
        for (int sector = 0; sector < imageLayout.sectors; ++sector) {
            const int first = FirstBlock(sector), trailer = TrailerBlock(sector);
            SectorKeys keys(blockAt(trailer), listed);
            for (int block = first; block <= trailer; ++block) {
                if ((block == 0 && !args.withBlock0) || (block == trailer && !args.withTrailers)) {
                    continue;
                }
                if (keys.Write(card, block, blockAt(block))) {
                    ++written;
                } else {
                    failed.push_back(block);
                }
            }
            progress.Update(static_cast<uint64_t>(sector + 1));
        }
    }
    const Json doc = {{"uid", ToHex(card.uid())},
                      {"image", args.image},
                      {"blocksWritten", written},
                      {"failedBlocks", failed}};
    out.Done(doc, std::to_string(written) + " blocks written to " + ToHex(card.uid()));
    if (!failed.empty()) {
        std::string list;
        for (int block : failed) list += " " + std::to_string(block);
        throw Failure("blocks not written (no key of the list may write them):" + list +
                      " (last: " + DescribeCode(card.lastRefusal()) + ")");
    }
}

struct AclArgs {
    int sector = -1;
    std::string decode, keyFile;
};

void Acl(const Tool& tool, const AclArgs& args) {
    const Output out = tool.options.output();
    Bytes access;
    int sector = args.sector < 0 ? 0 : args.sector;
    if (!args.decode.empty()) {
        access = ParseHex(args.decode, "--decode");
        if (access.size() == kBlockSize) access.erase(access.begin(), access.begin() + 6);
        if (access.size() == 3) access.push_back(0);
        if (access.size() < 4) {
            throw UsageError("--decode: 3 or 4 access bytes, or a whole trailer of 16 bytes");
        }
        access.resize(4);
    } else {
        if (args.sector < 0) throw UsageError("give a SECTOR, or --decode HEX");
        const std::vector<ClassicKey> keys = LoadClassicKeys(args.keyFile);
        Reader reader(tool.options);
        ClassicCard card(reader);
        if (sector >= card.layout().sectors) {
            throw UsageError("the card has sectors 0-" + std::to_string(card.layout().sectors - 1));
        }
        uint8_t trailer[kBlockSize];
        card.WithAnyKey(TrailerBlock(sector), keys,
                        "read the trailer of sector " + std::to_string(sector),
                        [&] { return card.Read(TrailerBlock(sector), trailer); });
        access.assign(trailer + 6, trailer + 10);
    }
    Json doc = DescribeAccess(access.data(), FirstBlock(sector), BlocksInSector(sector));
    if (args.sector >= 0) doc["sector"] = sector;
    out.Result(doc, [&] {
        if (args.sector >= 0) std::cout << "sector " << sector << ": ";
        for (const std::string& line : AccessText(doc)) std::cout << line << '\n';
    });
}

struct ValueArgs {
    std::string operation;
    int block = 0;
    int64_t amount = 0;
    bool amountGiven = false;
    std::string keyFile;
};

void Value(const Tool& tool, const ValueArgs& args) {
    const Output out = tool.options.output();
    if (args.operation != "get" && !args.amountGiven) {
        throw UsageError("value " + args.operation + " needs an AMOUNT");
    }
    if (args.amount < INT32_MIN || args.amount > INT32_MAX) {
        throw UsageError("AMOUNT must fit 32 bits (signed)");
    }
    const int32_t amount = static_cast<int32_t>(args.amount);
    const std::vector<ClassicKey> keys = LoadClassicKeys(args.keyFile);
    Reader reader(tool.options);
    ClassicCard card(reader);
    const int block = args.block;
    if (block >= card.layout().blocks)
        throw UsageError("the card has blocks 0-" + std::to_string(card.layout().blocks - 1));
    const std::string what = "value " + args.operation + " of block " + std::to_string(block);

    std::string keyUsed;
    if (args.operation == "set") {
        const Bytes data = EncodeValueBlock(amount, static_cast<uint8_t>(block));
        keyUsed =
            card.WithAnyKey(block, keys, what, [&] { return card.Write(block, data.data()); });
    } else if (args.operation != "get") {
        const uint8_t operation = args.operation == "inc" ? VALUE_OP_INCREMENT : VALUE_OP_DECREMENT;
        keyUsed = card.WithAnyKey(block, keys, what,
                                  [&] { return card.ProcessValue(operation, block, amount); });
    }
    uint8_t data[kBlockSize];
    const std::string readKey = card.WithAnyKey(block, keys, "read block " + std::to_string(block),
                                                [&] { return card.Read(block, data); });
    uint8_t address = 0;
    const std::optional<int32_t> value = DecodeValueBlock(data, &address);
    if (!value) {
        throw Failure("block " + std::to_string(block) +
                      " is not a value block: " + ToHex(data, kBlockSize, " "));
    }
    Json doc = {{"block", block},
                {"value", *value},
                {"address", address},
                {"key", keyUsed.empty() ? readKey : keyUsed}};
    out.Result(doc, [&] {
        std::cout << "block " << block << ": value " << *value << " (address byte "
                  << static_cast<int>(address) << ", key " << doc["key"].get<std::string>()
                  << ")\n";
    });
}

}  // namespace

void AddClassicCommands(CLI::App& app, Tool& tool) {
    CLI::App* mfc = AddGroup(app, tool, "mfc", "MIFARE Classic 1K/4K cards");
    const char* keyHelp =
        "key file: one key of 12 hex digits per line, # comments (default: the well-known "
        "transport keys)";

    auto dump = std::make_shared<DumpArgs>();
    CLI::App* d = AddCommand(*mfc, tool, "dump", "read every block the keys open into an image",
                             [&tool, dump] { Dump(tool, *dump); });
    d->add_option("-k,--keys", dump->keyFile, keyHelp);
    d->add_option("-o,--output", dump->output,
                  "write the raw image (1024 or 4096 bytes) to this file instead of showing it");

    auto restore = std::make_shared<RestoreArgs>();
    CLI::App* r = AddCommand(*mfc, tool, "restore", "write an image back to the card",
                             [&tool, restore] { Restore(tool, *restore); });
    r->add_option("FILE", restore->image, "raw image of 1024 or 4096 bytes")->required();
    r->add_option("-k,--keys", restore->keyFile, keyHelp);
    r->add_flag("--with-trailers", restore->withTrailers, "also write the sector trailers");
    r->add_flag("--with-block0", restore->withBlock0, "also write block 0 (manufacturer block)");
    r->add_flag("--force", restore->force, "write trailers that would lock a sector for ever");

    auto acl = std::make_shared<AclArgs>();
    CLI::App* a = AddCommand(*mfc, tool, "acl", "a sector's access conditions in words",
                             [&tool, acl] { Acl(tool, *acl); });
    a->add_option("SECTOR", acl->sector,
                  "sector to read from the card (with --decode: its "
                  "geometry)")
        ->check(CLI::Range(0, 39));
    a->add_option("--decode", acl->decode, "access bytes 6-9 of a trailer, or the whole trailer");
    a->add_option("-k,--keys", acl->keyFile, keyHelp);

    auto value = std::make_shared<ValueArgs>();
    CLI::App* v = AddCommand(*mfc, tool, "value", "read, set, increment or decrement a value block",
                             [&tool, value] { Value(tool, *value); });
    v->add_option("OPERATION", value->operation, "get, set, inc or dec")
        ->required()
        ->check(CLI::IsMember({"get", "set", "inc", "dec"}));
    v->add_option("BLOCK", value->block, "block number")->required()->check(CLI::Range(1, 255));
    v->add_option("AMOUNT", value->amount, "value (set) or amount (inc, dec)")
        ->each([value](const std::string&) { value->amountGiven = true; });
    v->add_option("-k,--keys", value->keyFile, keyHelp);
}

}  // namespace kestrel::tool
