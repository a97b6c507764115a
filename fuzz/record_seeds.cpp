// Records the seed corpora of the fuzz targets from the virtual reader's frame log. Each
// scenario of each family runs against an in-process virtual reader with the scenario's cards;
// the seed holds the operations with their arguments and, after each, the answers the reader's
// frame log shows for it, encoded as harness.h describes. Raw-line families get each seed twice:
// as line bytes and as USB reports.
//   fuzz_record_seeds FOLDER    writes FOLDER/<family>/seed-<n> (and usb-seed-<n>)
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "api/session.h"
#include "comm/usb_hid_interface.h"
#include "desfire/random.h"
#include "harness.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/firmware.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/in_process_link.h"
#include "support/sim_comm_interface.h"

namespace kestrel::fuzz {
namespace {

const Family* const kFamilies[] = {&kFraming, &kTypeA,  &kIso14443_4,
                                   &kDesfire, &kMifare, &kTypeBConfig};

struct Failure {
    std::string what;
};

void PutLength(Bytes& out, size_t length) {
    if (length >= 0x8000) throw Failure{"answer too long for the record encoding"};
    if (length >= 0x80) out.push_back(static_cast<uint8_t>(0x80 | length >> 8));
    out.push_back(static_cast<uint8_t>(length & 0xFF));
}

// The index of `name` in the family's table, or -1.
int Find(const Family& family, const std::string& name) {
    for (size_t i = 0; i < family.operations.size(); ++i) {
        if (name == family.operations[i].name) return static_cast<int>(i);
    }
    return -1;
}

// Runs a step, in `family` or (for set-up steps) the first family that has it; returns the
// index it had there.
uint8_t RunStep(const Family*& family, bool anyFamily, KestrelSession* session, const Step& step) {
    int index = Find(*family, step.operation);
    for (const Family* other : kFamilies) {
        if (index >= 0 || !anyFamily) break;
        if ((index = Find(*other, step.operation)) >= 0) family = other;
    }
    if (index < 0) throw Failure{std::string("no operation ") + step.operation};
    Input arguments(step.arguments.data(), step.arguments.size());
    RunOperation(*family, session, static_cast<uint8_t>(index), arguments);
    if (!arguments.Empty() || arguments.Missing() != 0) {
        throw Failure{std::string(step.operation) + ": the arguments do not match what it reads"};
    }
    return static_cast<uint8_t>(index);
}

struct Session {
    Session(sim::VirtualReader& reader, const Family& family) : link(reader) {
        session = CreateSession(0);
        api::ConnectWith(*session, std::make_unique<testsupport::SimCommInterface>(link),
                         family.readerType);
        NoPauses(session);
        if (family.prepare != nullptr) family.prepare(session);
    }
    ~Session() { ReleaseSession(session, 0); }
    sim::InProcessLink link;
    KestrelSession* session;
};

// The seeds of one scenario: the framed or line form, and for raw families the USB form.
std::vector<Bytes> Record(const Family& family, const Scenario& scenario) {
    sim::VirtualReader reader;
    reader.WithFirmware(
        [](sim::Firmware& firmware) { firmware.config().SetRfScanSupported(true); });
    std::mt19937 random(1);
    for (const std::string& text : scenario.cards) {
        std::string error;
        std::unique_ptr<sim::Card> card = sim::ParseCard(text, random, &error);
        // A fixed card random number too, so that recording again gives the same seeds.
        if (auto* desfire = dynamic_cast<sim::DesfireCard*>(card.get())) {
            desfire->SetFixedRndB(std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8});
        }
        if (!reader.AddCard(std::move(card), &error)) throw Failure{error};
    }
    {
        Session setup(reader, family);
        for (const Step& step : scenario.setup) {
            const Family* owner = &family;
            RunStep(owner, true, setup.session, step);
        }
    }
    if (scenario.waitingTimeExtensions > 0) {
        reader.RequestWaitingTimeExtensions(reader.ListCards().front().uid,
                                            scenario.waitingTimeExtensions, 1);
    }

    std::vector<Bytes> answers;
    reader.SetFrameLogger([&](const sim::FrameLogEntry& entry) {
        if (entry.direction == sim::LogDirection::kToHost) answers.push_back(entry.bytes);
    });
    const bool raw = family.transport == Transport::kRawLine;
    Bytes line = raw ? Bytes{0} : Bytes{};
    Bytes usb = {1};
    Session recorded(reader, family);
    for (const Step& step : scenario.steps) {
        const size_t before = answers.size();
        const Family* owner = &family;
        Bytes head = {RunStep(owner, false, recorded.session, step)};
        head.insert(head.end(), step.arguments.begin(), step.arguments.end());
        line.insert(line.end(), head.begin(), head.end());
        usb.insert(usb.end(), head.begin(), head.end());
        for (size_t i = before; i < answers.size(); ++i) {
            const Bytes& frame = answers[i];
            if (raw) {
                PutLength(line, frame.size());
                line.insert(line.end(), frame.begin(), frame.end());
                const size_t payload = comm::UsbHidInterface::kPayloadSize;
                usb.push_back(static_cast<uint8_t>((frame.size() + payload - 1) / payload));
                for (size_t at = 0; at < frame.size(); at += payload) {
                    usb.push_back(comm::UsbHidInterface::kReportSize);
                    usb.push_back(0);
                    Bytes report(payload, 0);
                    std::copy(frame.begin() + at,
                              frame.begin() + std::min(frame.size(), at + payload), report.begin());
                    usb.insert(usb.end(), report.begin(), report.end());
                }
            } else {
                line.push_back(frame[2]);
                PutLength(line, frame.size() - 7);
                line.insert(line.end(), frame.begin() + 5, frame.end() - 2);
            }
        }
    }
    reader.SetFrameLogger(nullptr);
    if (raw) return {line, usb};
    return {line};
}

}  // namespace
}  // namespace kestrel::fuzz

int main(int argc, char** argv) {
    using namespace kestrel::fuzz;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    kestrel::desfire::SetRandomSource(FixedRandom);
    try {
        for (const Family* family : kFamilies) {
            const std::filesystem::path folder = std::filesystem::path(argv[1]) / family->name;
            std::filesystem::create_directories(folder);
            for (size_t n = 0; n < family->seeds.size(); ++n) {
                const std::vector<Bytes> seeds = Record(*family, family->seeds[n]);
                for (size_t form = 0; form < seeds.size(); ++form) {
                    const std::string name =
                        (form == 0 ? "seed-" : "usb-seed-") + std::to_string(n);
                    std::ofstream(folder / name, std::ios::binary)
                        .write(reinterpret_cast<const char*>(seeds[form].data()),
                               static_cast<std::streamsize>(seeds[form].size()));
                }
            }
            std::printf("%s: %zu scenarios\n", family->name, family->seeds.size());
        }
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.what.c_str());
        return 1;
    }
    return 0;
}
