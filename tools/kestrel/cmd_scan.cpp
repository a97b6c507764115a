// scan and poll: what is in the field, once or as cards come and go.
#include <iostream>
#include <map>
#include <optional>

#include "card_info.h"
#include "commands.h"
#include "interrupt.h"

namespace kestrel::tool {

namespace {

// Codes by which a reader says "nothing answered" or "I cannot do that": the end of a search,
// not a failure of the command.
bool NothingThere(int32_t code) {
    return (code > 8000 && code < 9000 && code != KESTREL_ERR_SOCKET) ||
           (code > 7000 && code < 7005);
}

struct TypeACard {
    Bytes uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
};

// Activates the next idle Type A card; nullopt when none answers.
std::optional<TypeACard> ActivateTypeA(const Reader& reader) {
    uint8_t uid[10];
    uint8_t uidLength = sizeof uid;
    TypeACard card;
    const int32_t code = SelectIdleCard(reader.session(), uid, &uidLength, &card.atqa, &card.sak);
    if (NothingThere(code)) return std::nullopt;
    reader.Check(code, "activate a Type A card");
    card.uid.assign(uid, uid + uidLength);
    return card;
}

// Wakes a Type B card with a request of one time slot (every AFI); nullopt when none answers.
std::optional<Bytes> RequestTypeB(const Reader& reader) {
    uint8_t answer[64];
    uint16_t length = sizeof answer;
    const int32_t code = TypeB_RequestWakeUp(reader.session(), 0x00, 0x00, answer, &length);
    if (NothingThere(code)) return std::nullopt;
    reader.Check(code, "request Type B cards");
    return Bytes(answer, answer + length);
}

Json TypeAJson(const TypeACard& card) {
    const uint8_t atqa[2] = {static_cast<uint8_t>(card.atqa >> 8), static_cast<uint8_t>(card.atqa)};
    return {{"technology", "A"},
            {"uid", ToHex(card.uid)},
            {"atqa", ToHex(atqa, 2)},
            {"sak", ToHex(&card.sak, 1)},
            {"family", TypeAFamily(card.atqa, card.sak)}};
}

// An ISO/IEC 14443-4 card: RATS for its ATS, then the DESFire version if it answers one.
void DescribeIso14443_4(const Reader& reader, Json& card) {
    uint8_t ats[64];
    uint16_t atsLength = sizeof ats;
    // RF reset first: the card is active after its selection and must be idle for RATS.
    const int32_t code = V2_RequestATS(reader.session(), 0x80, &atsLength, ats);
    if (NothingThere(code)) return;
    reader.Check(code, "request the ATS");
    const Json decoded = DecodeAts(Bytes(ats, ats + atsLength));
    card["ats"] = decoded;
    if (!decoded.contains("fsc")) return;
    KestrelSession* session = reader.session();
    reader.Check(DF_InitData(session), "prepare a DESFire exchange");
    reader.Check(DF_SetFrameSize(session, decoded["fsc"].get<uint16_t>()), "set the frame size");
    uint8_t version[28];
    uint16_t versionLength = sizeof version;
    if (DF_GetVersion(session, version, &versionLength) == KESTREL_OK && versionLength == 28) {
        card["family"] = "MIFARE DESFire";
        card["desfire"] = DecodeDesfireVersion(Bytes(version, version + versionLength));
    }
    DF_FreeData(session);
}

void PrintCard(const Json& card) {
    if (card["technology"] == "A") {
        std::cout << card["family"].get<std::string>() << "\n  UID  "
                  << card["uid"].get<std::string>() << "\n  ATQA "
                  << card["atqa"].get<std::string>() << "\n  SAK  "
                  << card["sak"].get<std::string>() << '\n';
        if (card.contains("ats")) {
            const Json& ats = card["ats"];
            std::cout << "  ATS  " << ats["ats"].get<std::string>();
            if (ats.contains("fwi")) {
                std::cout << "  (frame size " << ats["fsc"].get<int>() << ", FWI "
                          << ats["fwi"].get<int>() << ", CID "
                          << (ats["cidSupported"].get<bool>() ? "yes" : "no") << ", NAD "
                          << (ats["nadSupported"].get<bool>() ? "yes" : "no")
                          << ", historical bytes " << ats["historicalBytes"].get<std::string>()
                          << ")";
            }
            std::cout << '\n';
        }
        if (card.contains("desfire")) {
            const Json& v = card["desfire"];
            std::cout << "  DESFire hardware " << v["hardware"]["version"].get<std::string>()
                      << ", software " << v["software"]["version"].get<std::string>() << ", "
                      << v["hardware"]["storageSize"].get<std::string>() << '\n';
        }
    } else {
        std::cout << "ISO 14443 Type B\n  PUPI " << card["pupi"].get<std::string>() << "\n  ATQB "
                  << card["atqb"].get<std::string>();
        if (!card.contains("malformed")) {
            std::cout << "  (AFI " << card["afi"].get<std::string>() << ", application data "
                      << card["applicationData"].get<std::string>() << ", frame size "
                      << card["maxFrameSize"].get<int>() << ", ISO 14443-4 "
                      << (card["iso14443_4"].get<bool>() ? "yes" : "no") << ", FWI "
                      << card["fwi"].get<int>() << ")";
        }
        std::cout << '\n';
    }
}

// Switches the field off and on: every card, halted ones too, is idle again.
void ResetField(const Reader& reader) {
    const int32_t code = RfReset(reader.session(), 10);
    if (!NothingThere(code)) reader.Check(code, "reset the field");
}

// Leaves the cards as they were found when polling ends, also on Ctrl-C: the polls halted
// every card they found.
struct FieldResetOnExit {
    const Reader& reader;
    ~FieldResetOnExit() { RfReset(reader.session(), 10); }
};

void Scan(const Tool& tool) {
    Reader reader(tool.options);
    ResetField(reader);
    Json cards = Json::array();
    if (std::optional<TypeACard> a = ActivateTypeA(reader)) {
        Json card = TypeAJson(*a);
        if ((a->sak & 0x20) != 0) DescribeIso14443_4(reader, card);
        cards.push_back(card);
    }
    if (std::optional<Bytes> atqb = RequestTypeB(reader)) {
        Json card = {{"technology", "B"}, {"family", "ISO 14443 Type B"}};
        card.update(DecodeAtqb(*atqb));
        if (!card.contains("pupi")) card["pupi"] = "";
        cards.push_back(card);
    }
    tool.options.output().Result({{"cards", cards}}, [&] {
        for (const Json& card : cards) PrintCard(card);
    });
    if (cards.empty()) throw Failure("scan: no card in the field", KESTREL_ERR_NO_CARD);
}

struct PollArgs {
    uint32_t intervalMs = 250;
    uint32_t count = 0;
};

// Everything in the field now, by UID (PUPI for Type B): an RF reset wakes every card, each
// one found is halted so that the next activation finds another.
std::map<std::string, Json> FieldNow(const Reader& reader) {
    std::map<std::string, Json> cards;
    ResetField(reader);
    for (int i = 0; i < 16; ++i) {
        std::optional<TypeACard> a = ActivateTypeA(reader);
        if (!a) break;
        cards[ToHex(a->uid)] = TypeAJson(*a);
        HaltCard(reader.session());
    }
    if (std::optional<Bytes> atqb = RequestTypeB(reader)) {
        const Json card = DecodeAtqb(*atqb);
        if (card.contains("pupi")) {
            cards[card["pupi"].get<std::string>()] = {
                {"technology", "B"}, {"uid", card["pupi"]}, {"family", "ISO 14443 Type B"}};
            TypeB_Halt(reader.session(), &(*atqb)[1]);
        }
    }
    return cards;
}

void Poll(const Tool& tool, const PollArgs& args) {
    const Output out = tool.options.output();
    Reader reader(tool.options);
    const FieldResetOnExit resetOnExit{reader};
    std::map<std::string, Json> present;
    auto report = [&](const char* event, const Json& card) {
        Json line = {{"event", event}, {"time", IsoTime()}};
        line.update(card);
        out.StreamLine(line, ClockTime() + "  " + event + "  " + card["uid"].get<std::string>() +
                                 "  " + card["family"].get<std::string>());
    };
    for (uint32_t round = 0; args.count == 0 || round < args.count; ++round) {
        if (round > 0) SleepInterruptibly(args.intervalMs);
        std::map<std::string, Json> now = FieldNow(reader);
        CheckInterrupt();
        for (const auto& [uid, card] : present) {
            if (now.count(uid) == 0) report("left", card);
        }
        for (const auto& [uid, card] : now) {
            if (present.count(uid) == 0) report("arrived", card);
        }
        present = std::move(now);
    }
}

}  // namespace

void AddScanCommands(CLI::App& app, Tool& tool) {
    AddCommand(app, tool, "scan",
               "activate what is in the field once: UID, ATQA, SAK, ATS or ATQB, card family",
               [&tool] { Scan(tool); });
    auto poll = std::make_shared<PollArgs>();
    CLI::App* p = AddCommand(app, tool, "poll",
                             "watch the field: one line per card arriving and leaving, until "
                             "Ctrl-C",
                             [&tool, poll] { Poll(tool, *poll); });
    p->add_option("--interval", poll->intervalMs, "milliseconds between polls (default 250)");
    p->add_option("--count", poll->count, "stop after this many polls (default: never)");
}

}  // namespace kestrel::tool
