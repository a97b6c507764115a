// apdu: ISO/IEC 14443-4 activation, then command APDUs and their answers.
#include <iostream>

#include "card_info.h"
#include "commands.h"
#include "interrupt.h"

namespace kestrel::tool {

namespace {

struct ApduArgs {
    std::vector<std::string> apdus;
    std::string pps;
    uint32_t cardTimeoutMs = 1000;
};

void Apdu(const Tool& tool, const ApduArgs& args) {
    std::vector<Bytes> apdus;
    for (const std::string& text : args.apdus) apdus.push_back(ReadDataArgument(text, "APDU"));
    int dsi = -1, dri = -1;
    if (!args.pps.empty()) {
        const size_t colon = args.pps.find(':');
        if (colon == std::string::npos)
            throw UsageError("--pps: DSI:DRI expected, for example 1:1");
        dsi = static_cast<int>(ParseNumber(args.pps.substr(0, colon), 3, "DSI"));
        dri = static_cast<int>(ParseNumber(args.pps.substr(colon + 1), 3, "DRI"));
    }

    Reader reader(tool.options);
    uint8_t ats[64];
    uint16_t atsLength = sizeof ats;
    // FSDI 8: the tool takes frames of up to 256 bytes; CID 0.
    reader.Check(V2_RequestATS(reader.session(), 0x80, &atsLength, ats),
                 "activate the card and request its ATS");
    const Json decodedAts = DecodeAts(Bytes(ats, ats + atsLength));
    if (dsi >= 0) {
        reader.Check(ISO4PPS_Request(reader.session(), 0, static_cast<uint8_t>(dsi),
                                     static_cast<uint8_t>(dri)),
                     "send PPS");
    }
    ApduContext context{};
    context.frameSize = decodedAts.value("fsc", 32);
    context.cardTimeOut = args.cardTimeoutMs;

    Json exchanges = Json::array();
    Bytes rawAnswers;
    Bytes response(65535);
    for (const Bytes& apdu : apdus) {
        CheckInterrupt();
        uint16_t responseLength = static_cast<uint16_t>(response.size());
        uint16_t statusWord = 0;
        reader.Check(R7XSend_APDU(reader.session(), &context, apdu.data(),
                                  static_cast<uint16_t>(apdu.size()), response.data(),
                                  &responseLength, &statusWord),
                     "send APDU " + ToHex(apdu));
        const uint8_t sw[2] = {static_cast<uint8_t>(statusWord >> 8),
                               static_cast<uint8_t>(statusWord)};
        exchanges.push_back({{"apdu", ToHex(apdu)},
                             {"response", ToHex(response.data(), responseLength)},
                             {"sw", ToHex(sw, 2)}});
        rawAnswers.insert(rawAnswers.end(), response.begin(), response.begin() + responseLength);
        rawAnswers.insert(rawAnswers.end(), sw, sw + 2);
    }
    if (tool.options.raw) {
        WriteRawToStdout(rawAnswers);
        return;
    }
    tool.options.output().Result({{"ats", decodedAts}, {"exchanges", exchanges}}, [&] {
        std::cout << "ATS " << decodedAts["ats"].get<std::string>() << '\n';
        for (const Json& e : exchanges) {
            std::cout << ">> " << e["apdu"].get<std::string>() << "\n<< "
                      << e["response"].get<std::string>()
                      << (e["response"].get<std::string>().empty() ? "" : " ") << "SW "
                      << e["sw"].get<std::string>() << '\n';
        }
    });
}

}  // namespace

void AddApduCommand(CLI::App& app, Tool& tool) {
    auto args = std::make_shared<ApduArgs>();
    CLI::App* a = AddCommand(app, tool, "apdu",
                             "activate an ISO 14443-4 card (RATS, PPS when asked), then send each "
                             "APDU and show its answer and status word",
                             [&tool, args] { Apdu(tool, *args); });
    a->add_option("HEX", args->apdus, "command APDUs: hex (blanks allowed) or @FILE")->required();
    a->add_option("--pps", args->pps, "send PPS with these divisor integers, DSI:DRI (0-3)");
    a->add_option("--card-timeout", args->cardTimeoutMs, "card time-out in ms (default 1000)");
}

}  // namespace kestrel::tool
