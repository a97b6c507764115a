// A card channel played by the test, for the DESFire layer: each Exchange hands the native
// command to the test's card and returns the card's response the way the block protocol does
// (the response must fit the capacity, else KESTREL_ERR_READING_TOO_MUCH; the block number is
// handed back toggled on success only). The block protocol itself is not run here.
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

#include "iso14443_4/card_channel.h"
#include "link/link_protocol.h"
#include "support/frames.h"

namespace kestrel::test {

// A link protocol that is never used: the session's reader stands idle behind the played card.
class UnusedLink : public link::LinkProtocol {
  public:
    Result Exchange(link::ReaderCommand&, uint32_t) override {
        ADD_FAILURE() << "the DESFire layer went past the card channel";
        return KESTREL_ERR_COMMAND_NOT_SUPPORTED;
    }
};

class NativeCard : public iso14443_4::CardChannel {
  public:
    // One Exchange as the DESFire layer made it.
    struct Sent {
        Bytes command;
        uint16_t capacity;
        uint16_t frameSize;
        const uint8_t* blockNumberAddress;
        uint8_t blockNumber;
        uint32_t timeOut;
    };
    // The card: answers one native command into `response`; a non-zero result stands for a
    // failed exchange.
    using Card = std::function<Result(const Bytes& command, Bytes& response)>;

    // Script steps, used while no `card` function is set.
    void Expect(Bytes command, Bytes response) {
        script_.push_back({std::move(command), std::move(response), KESTREL_OK});
    }
    void Answer(Bytes response) { script_.push_back({std::nullopt, std::move(response), 0}); }
    void Fail(Result result) { script_.push_back({std::nullopt, {}, result}); }
    bool Done() const { return script_.empty() && surprises.empty(); }

    Result Exchange(uint8_t* blockNumber, uint16_t frameSize, const uint8_t* request,
                    uint16_t requestLength, uint8_t* answer, uint16_t* answerLength,
                    uint32_t cardTimeOut) override {
        const Bytes command(request, request + requestLength);
        exchanges.push_back(
            {command, *answerLength, frameSize, blockNumber, *blockNumber, cardTimeOut});
        Bytes response;
        const Result r = card ? card(command, response) : Play(command, response);
        if (r != KESTREL_OK) return r;
        if (response.size() > *answerLength) return KESTREL_ERR_READING_TOO_MUCH;
        std::copy(response.begin(), response.end(), answer);
        *answerLength = static_cast<uint16_t>(response.size());
        *blockNumber = static_cast<uint8_t>((*blockNumber & 1) ^ 1);
        return KESTREL_OK;
    }
    Result Activate(iso14443_4::AtsActivation activation, uint8_t parameter, uint8_t* ats,
                    uint16_t* atsLength) override {
        calls.push_back(Describe("Activate", static_cast<unsigned>(activation), parameter) + " " +
                        std::to_string(*atsLength));
        if (activateResult != KESTREL_OK) return activateResult;
        const uint8_t cardAts[6] = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};  // FSCI 5: 64 bytes
        std::copy(cardAts, cardAts + 6, ats);
        *atsLength = 6;
        return KESTREL_OK;
    }
    Result Ping(const uint8_t* blockNumber, uint16_t capacity, uint32_t cardTimeOut) override {
        calls.push_back(Describe("Ping", capacity, cardTimeOut));
        pingBlockNumber = blockNumber;
        return pingResult;
    }
    Result Deselect(uint16_t capacity) override {
        calls.push_back(Describe("Deselect", capacity, 0));
        return KESTREL_OK;
    }

    Card card;
    std::vector<Sent> exchanges;
    std::vector<std::string> calls;  // the other operations
    std::vector<std::string> surprises;
    Result activateResult = KESTREL_OK;
    Result pingResult = KESTREL_OK;
    const uint8_t* pingBlockNumber = nullptr;

  private:
    struct Step {
        std::optional<Bytes> command;
        Bytes response;
        Result result;
    };

    static std::string Describe(const char* operation, unsigned first, unsigned second) {
        return std::string(operation) + " " + std::to_string(first) + " " + std::to_string(second);
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
