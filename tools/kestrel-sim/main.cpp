// kestrel-sim: a virtual 13.56 MHz reader with Type A cards, served over TCP or a
// pseudo-terminal. Lines on standard input change the cards in the field.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kestrel_sim/helpers/hex.h"
#include "kestrel_sim/helpers/image_file.h"
#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/reader_config.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/pty_server.h"
#include "kestrel_sim/transports/tcp_server.h"

namespace {

using kestrel::sim::Bytes;

const char kUsage[] =
    R"(Usage: kestrel-sim (--tcp HOST:PORT | --pty) [options]

A virtual contactless reader (ISO/IEC 14443 Type A and B, 13.56 MHz) that speaks the reader's
block frame protocol. Applications connect to it as to a network reader (--tcp) or a serial
reader (--pty, through the printed /dev/pts path).

Transport (exactly one):
  --tcp HOST:PORT      listen on HOST:PORT; port 0 picks a free port. One client at a time;
                       the next one is served after the first disconnects.
  --pty                create a pseudo-terminal in raw mode.

Options:
  --card TYPE[:UIDHEX[:FILE]]
                       put a card in the field (repeatable). Without --card the field holds
                       one classic1k card with a random UID. TYPE is one of
                         classic1k   4-byte UID, ATQA 0004, SAK 08, 1024-byte memory
                         classic4k   4-byte UID, ATQA 0002, SAK 18, 4096-byte memory
                         ultralight  7-byte UID, ATQA 0044, SAK 00, 64-byte memory
                         desfire     7-byte UID, ATQA 0344, SAK 20, ISO 14443-4, DESFire
                                     native commands, keys and key settings
                         typeb       ISO 14443 Type B card; UIDHEX is its 4-byte PUPI
                       Without a UID a random one of the right length is made (7-byte UIDs
                       start with the manufacturer byte 04).
                       FILE keeps the card's memory: a raw dump for the MIFARE types, a
                       versioned text state file for desfire. It is loaded when it exists
                       (a dump's size must fit the type; its UID must equal UIDHEX, or give
                       TYPE::FILE to take the UID from the file), written back on save, on
                       remove and when the program stops.
  --seed N             seed for random UIDs (default: random).
  --firmware TEXT      the firmware version text the reader reports (GetFWVersion);
                       at most 1024 characters. Default "kestrel-sim 1.0".
  --rfscan             the reader is of the derived type with RF scan: it knows the
                       commands E0 (on), E1 (off) and E8 (state); others answer them as
                       unknown commands.
  --log                print every frame in both directions to standard error, as hex with
                       the command name and the answer's status (and LED, buzzer and RF scan
                       changes in brackets).
  --no-stdin           do not read standard input; run until SIGINT or SIGTERM. For
                       scripts that start the program in the background.
  --help               print this text.

Output: the first line on standard output says where the reader listens, exactly
  listening on tcp HOST:PORT
  listening on pty /dev/pts/N
Then every command line on standard input gets exactly one line of answer:
  add TYPE[:UIDHEX[:FILE]]  a card enters the field -> added TYPE UID
  remove UIDHEX        the card leaves the field    -> removed UID
                       (a card with a FILE is saved to it first)
  save UIDHEX [FILE]   write the card's memory to FILE, or to its own file
                                                    -> saved UID to FILE
  list                 the cards and their states   -> N cards: TYPE UID STATE, ...
  quit                 stop                         -> bye
  help                 the list of commands
Failures answer "error: " and what is wrong. The program stops on quit, at the end of
standard input (unless --no-stdin), and on SIGINT or SIGTERM, after saving every card that
has a FILE; exit status 0, or 2 for a bad command line, 1 when the transport cannot be set
up or a card could not be saved.
)";

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
    errno = savedErrno;
}

struct Options {
    bool tcp = false;
    bool pty = false;
    std::string host;
    uint16_t port = 0;
    std::vector<std::string> cards;
    bool log = false;
    bool noStdin = false;
    bool seeded = false;
    bool firmwareGiven = false;
    std::string firmware;
    bool rfScan = false;
    uint32_t seed = 0;
    bool help = false;
};

bool ParsePort(const std::string& text, uint16_t* port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

bool ParseHostPort(const std::string& text, std::string* host, uint16_t* port) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        *host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        *host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    return !host->empty() && ParsePort(portText, port);
}

bool ParseArguments(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        auto takeValue = [&](const char* what) {
            if (hasValue) return true;
            if (i + 1 >= argc) {
                *error = arg + " needs " + what;
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto noValue = [&] {
            if (hasValue) *error = arg + " takes no value";
            return !hasValue;
        };
        if (arg == "--help" || arg == "-h") {
            if (!noValue()) return false;
            options->help = true;
        } else if (arg == "--tcp") {
            if (!takeValue("HOST:PORT")) return false;
            if (!ParseHostPort(value, &options->host, &options->port)) {
                *error = "--tcp needs HOST:PORT with a port from 0 to 65535, not '" + value + "'";
                return false;
            }
            options->tcp = true;
        } else if (arg == "--pty") {
            if (!noValue()) return false;
            options->pty = true;
        } else if (arg == "--card") {
            if (!takeValue("TYPE[:UIDHEX[:FILE]]")) return false;
            options->cards.push_back(value);
        } else if (arg == "--seed") {
            if (!takeValue("a number")) return false;
            char* end = nullptr;
            errno = 0;
            const unsigned long seed = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || seed > 0xFFFFFFFFul) {
                *error = "--seed needs a number from 0 to 4294967295, not '" + value + "'";
                return false;
            }
            options->seeded = true;
            options->seed = static_cast<uint32_t>(seed);
        } else if (arg == "--firmware") {
            if (!takeValue("a text")) return false;
            if (value.size() > kestrel::sim::ReaderConfig::kMaxFirmwareText) {
                *error = "--firmware takes at most " +
                         std::to_string(kestrel::sim::ReaderConfig::kMaxFirmwareText) +
                         " characters";
                return false;
            }
            options->firmwareGiven = true;
            options->firmware = value;
        } else if (arg == "--rfscan") {
            if (!noValue()) return false;
            options->rfScan = true;
        } else if (arg == "--log") {
            if (!noValue()) return false;
            options->log = true;
        } else if (arg == "--no-stdin") {
            if (!noValue()) return false;
            options->noStdin = true;
        } else {
            *error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    if (options->help) return true;
    if (options->tcp == options->pty) {
        *error = "choose exactly one of --tcp HOST:PORT and --pty";
        return false;
    }
    return true;
}

void Reply(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Describe(const kestrel::sim::CardInfo& card) {
    return card.type + " " + kestrel::sim::ToHex(card.uid) + " " +
           kestrel::sim::CardStateName(card.state);
}

// Takes the card out of the field, saving its memory to its file first if it has one. A card
// that cannot be saved stays in the field.
void RemoveCard(const std::string& argument, kestrel::sim::VirtualReader& reader) {
    const std::optional<Bytes> uid = kestrel::sim::ParseHex(argument);
    if (argument.empty() || !uid) {
        Reply("error: remove needs the card's UID in hex");
        return;
    }
    std::unique_ptr<kestrel::sim::Card> card = reader.TakeCard(*uid);
    if (!card) {
        Reply("error: no card with UID " + kestrel::sim::ToHex(*uid) + " in the field");
        return;
    }
    std::string error;
    if (!card->ImagePath().empty() &&
        !kestrel::sim::WriteImageFile(card->ImagePath(), card->SaveImage(), &error)) {
        reader.AddCard(std::move(card));
        Reply("error: " + error + "; the card stays in the field");
        return;
    }
    Reply("removed " + kestrel::sim::ToHex(*uid));
}

// Handles one line of standard input; false when the program should stop.
bool HandleLine(const std::string& rawLine, kestrel::sim::VirtualReader& reader,
                std::mt19937& random) {
    std::istringstream wordStream(rawLine);
    std::vector<std::string> words;
    for (std::string word; wordStream >> word;) words.push_back(word);
    if (words.empty()) return true;
    const std::string& verb = words[0];
    const std::string argument = words.size() > 1 ? words[1] : "";
    const size_t maxWords = verb == "save" ? 3 : 2;
    if (words.size() > maxWords) {
        Reply("error: '" + verb + "' takes at most " +
              (maxWords == 3 ? "two arguments" : "one argument"));
        return true;
    }
    if (verb == "quit") {
        Reply("bye");
        return false;
    }
    if (verb == "help") {
        Reply("commands: add TYPE[:UIDHEX[:FILE]], remove UIDHEX, save UIDHEX [FILE], list, quit");
    } else if (verb == "list") {
        const std::vector<kestrel::sim::CardInfo> cards = reader.ListCards();
        std::string line = std::to_string(cards.size()) + (cards.size() == 1 ? " card" : " cards");
        for (size_t i = 0; i < cards.size(); ++i) {
            line += (i == 0 ? ": " : ", ") + Describe(cards[i]);
        }
        Reply(line);
    } else if (verb == "add") {
        if (argument.empty()) {
            Reply("error: add needs TYPE or TYPE:UIDHEX");
            return true;
        }
        std::string error;
        std::unique_ptr<kestrel::sim::Card> card =
            kestrel::sim::ParseCard(argument, random, &error);
        if (!card) {
            Reply("error: " + error);
            return true;
        }
        const std::string description = card->Type() + " " + kestrel::sim::ToHex(card->Uid());
        if (!reader.AddCard(std::move(card), &error)) {
            Reply("error: " + error);
            return true;
        }
        Reply("added " + description);
    } else if (verb == "remove") {
        RemoveCard(argument, reader);
    } else if (verb == "save") {
        const std::optional<Bytes> uid = kestrel::sim::ParseHex(argument);
        std::string savedTo;
        std::string error;
        if (argument.empty() || !uid) {
            Reply("error: save needs the card's UID in hex");
        } else if (!kestrel::sim::SaveCardImage(reader, *uid, words.size() > 2 ? words[2] : "",
                                                &savedTo, &error)) {
            Reply("error: " + error);
        } else {
            Reply("saved " + kestrel::sim::ToHex(*uid) + " to " + savedTo);
        }
    } else {
        Reply("error: unknown command '" + verb + "' (add, remove, save, list, quit, help)");
    }
    return true;
}

// Writes every card that has an image file back to it; false when one could not be saved.
bool SaveCards(kestrel::sim::VirtualReader& reader) {
    bool ok = true;
    for (const kestrel::sim::CardInfo& card : reader.ListCards()) {
        if (card.imagePath.empty()) continue;
        std::string error;
        if (!kestrel::sim::SaveCardImage(reader, card.uid, "", nullptr, &error)) {
            std::fprintf(stderr, "kestrel-sim: card %s not saved: %s\n",
                         kestrel::sim::ToHex(card.uid).c_str(), error.c_str());
            ok = false;
        }
    }
    return ok;
}

// Reads command lines until quit, end of input or a signal.
void RunCommandLoop(kestrel::sim::VirtualReader& reader, std::mt19937& random, bool readStdin) {
    constexpr size_t kMaxLine = 4096;
    std::string pending;
    bool discarding = false;  // inside a line that was too long
    for (;;) {
        pollfd fds[2] = {{gSignalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int ready = ::poll(fds, readStdin ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        if (!readStdin || fds[1].revents == 0) continue;
        char buffer[1024];
        const ssize_t received = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) {
            if (!pending.empty() && !discarding) HandleLine(pending, reader, random);
            return;
        }
        for (ssize_t i = 0; i < received; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                if (discarding) {
                    Reply("error: line longer than " + std::to_string(kMaxLine) + " characters");
                } else if (!HandleLine(pending, reader, random)) {
                    return;
                }
                pending.clear();
                discarding = false;
            } else if (c != '\r' && !discarding) {
                pending.push_back(c);
                if (pending.size() > kMaxLine) {
                    pending.clear();
                    discarding = true;
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseArguments(argc, argv, &options, &error)) {
        std::fprintf(stderr, "kestrel-sim: %s\nTry 'kestrel-sim --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    std::mt19937 random(options.seeded ? options.seed : std::random_device{}());
    kestrel::sim::VirtualReader reader;
    reader.WithFirmware([&options](kestrel::sim::Firmware& firmware) {
        if (options.firmwareGiven) firmware.config().SetFirmwareVersion(options.firmware);
        firmware.config().SetRfScanSupported(options.rfScan);
    });
    if (options.cards.empty()) options.cards.push_back("classic1k");
    for (const std::string& cardText : options.cards) {
        std::unique_ptr<kestrel::sim::Card> card =
            kestrel::sim::ParseCard(cardText, random, &error);
        if (!card || !reader.AddCard(std::move(card), &error)) {
            std::fprintf(stderr, "kestrel-sim: --card %s: %s\n", cardText.c_str(), error.c_str());
            return 2;
        }
    }
    if (options.log) {
        reader.SetFrameLogger([](const kestrel::sim::FrameLogEntry& entry) {
            std::fprintf(stderr, "%s\n", kestrel::sim::FormatLogEntry(entry).c_str());
            std::fflush(stderr);
        });
    }

    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("kestrel-sim: pipe");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    kestrel::sim::TcpServer tcp(reader);
    kestrel::sim::PtyServer pty(reader);
    if (options.tcp) {
        if (!tcp.Start(options.host, options.port, &error)) {
            std::fprintf(stderr, "kestrel-sim: %s\n", error.c_str());
            return 1;
        }
        Reply("listening on tcp " + tcp.Address());
    } else {
        if (!pty.Start(&error)) {
            std::fprintf(stderr, "kestrel-sim: %s\n", error.c_str());
            return 1;
        }
        Reply("listening on pty " + pty.SlavePath());
    }

    RunCommandLoop(reader, random, !options.noStdin);
    tcp.Stop();
    pty.Stop();
    return SaveCards(reader) ? 0 : 1;
}
