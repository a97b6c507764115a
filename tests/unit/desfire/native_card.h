// A reader whose ISO/IEC 14443-4 exchange is played by the test, for the DESFire layer: each
// TclExchange hands the native command to the test's card and returns the card's response
// the way the block protocol does (the response must fit the capacity, else
// KESTREL_ERR_READING_TOO_MUCH; the block number is handed back toggled on success only).
// The block protocol itself is not run here.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/link_protocol.h"
#include "reader/reader.h"
#include "support/frames.h"

namespace kestrel::test {

// A link protocol that is never used: the reader below answers without it.
class UnusedLink : public link::LinkProtocol {
  public:
    Result Exchange(link::ReaderCommand&, uint32_t) override {
        ADD_FAILURE() << "the DESFire layer went past the reader";
        return KESTREL_ERR_COMMAND_NOT_SUPPORTED;
    }
};

class NativeCardReader : public reader::Reader {
  public:
    // One TclExchange as the DESFire layer made it.
    struct Exchange {
        Bytes command;
        uint16_t capacity;
        uint16_t frameSize;
        uint8_t cid, nad, cidFlag, nadFlag;
        const uint8_t* blockNumberAddress;
        uint8_t blockNumber;
        uint32_t timeOut;
    };
    // The card: answers one native command into `response`; a non-zero result stands for a
    // failed exchange.
    using Card = std::function<Result(const Bytes& command, Bytes& response)>;

    explicit NativeCardReader(link::LinkProtocol& link) : Reader(link) {}

    // Script steps, used while no `card` function is set.
    void Expect(Bytes command, Bytes response) {
        script_.push_back({std::move(command), std::move(response), KESTREL_OK});
    }
    void Answer(Bytes response) { script_.push_back({std::nullopt, std::move(response), 0}); }
    void Fail(Result result) { script_.push_back({std::nullopt, {}, result}); }
    bool Done() const { return script_.empty() && surprises.empty(); }

    Result TclExchange(const uint8_t* request, uint16_t requestLength, uint8_t* answer,
                       uint16_t* answerLength, uint16_t frameSize, uint8_t cid, uint8_t nad,
                       uint8_t cidFlag, uint8_t nadFlag, uint8_t* blockNumber,
                       uint32_t cardTimeOut) override {
        const Bytes command(request, request + requestLength);
        exchanges.push_back({command, *answerLength, frameSize, cid, nad, cidFlag, nadFlag,
                             blockNumber, *blockNumber, cardTimeOut});
        Bytes response;
        const Result r = card ? card(command, response) : Play(command, response);
        if (r != KESTREL_OK) return r;
        if (response.size() > *answerLength) return KESTREL_ERR_READING_TOO_MUCH;
        std::copy(response.begin(), response.end(), answer);
        *answerLength = static_cast<uint16_t>(response.size());
        *blockNumber = static_cast<uint8_t>((*blockNumber & 1) ^ 1);
        return KESTREL_OK;
    }

    Result ActivateIdle(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                        uint8_t* uidLength) override {
        calls.push_back(Describe("ActivateIdle", option, *uidLength));
        if (activateResult != KESTREL_OK) return activateResult;
        *atqa = 0x0344;
        *sak = cardSak;
        const uint8_t cardUid[7] = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
        std::copy(cardUid, cardUid + 7, uid);
        *uidLength = 7;
        return KESTREL_OK;
    }
    Result RequestATS(uint8_t parameter, uint8_t* ats, uint16_t* atsLength) override {
        calls.push_back(Describe("RequestATS", parameter, *atsLength));
        if (atsResult != KESTREL_OK) return atsResult;
        const uint8_t cardAts[6] = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};  // FSCI 5: 64 bytes
        std::copy(cardAts, cardAts + 6, ats);
        *atsLength = 6;
        return KESTREL_OK;
    }
    Result TclPing(uint16_t capacity, uint8_t cid, uint8_t cidFlag, const uint8_t* blockNumber,
                   uint32_t cardTimeOut) override {
        calls.push_back(Describe("TclPing", capacity, cid) + " " + std::to_string(cidFlag) + " " +
                        std::to_string(cardTimeOut));
        pingBlockNumber = blockNumber;
        return pingResult;
    }

    Card card;
    std::vector<Exchange> exchanges;
    std::vector<std::string> calls;  // the other slots
    std::vector<std::string> surprises;
    Result activateResult = KESTREL_OK;
    Result atsResult = KESTREL_OK;
    Result pingResult = KESTREL_OK;
    uint8_t cardSak = 0x20;
    const uint8_t* pingBlockNumber = nullptr;

  private:
    struct Step {
        std::optional<Bytes> command;
        Bytes response;
        Result result;
    };

    static std::string Describe(const char* slot, unsigned first, unsigned second) {
        return std::string(slot) + " " + std::to_string(first) + " " + std::to_string(second);
    }

    Result Play(const Bytes& command, Bytes& response) {
        if (script_.empty()) {
            surprises.push_back("unexpected command");
            return KESTREL_ERR_OPERATION_ABORTED;
        }
        Step step = std::move(script_.front());
        script_.pop_front();
        if (step.command && *step.command != command) {
            surprises.push_back("command differs from the script");
        }
        response = std::move(step.response);
        return step.result;
    }

    std::deque<Step> script_;
};

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Bytes from hex text such as "0A 1B".
inline Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2) {
        if (text[i] != ' ')
            out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// `value` on n bytes, low byte first.
inline Bytes Le(uint32_t value, size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return out;
}

// n bytes counting up from `from`.
inline Bytes Ramp(uint8_t from, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}

}  // namespace kestrel::test
