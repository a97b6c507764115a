// A CommInterface that plays a script: each write is compared with the request the test
// expects and answered with the bytes the test lists.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comm/comm_interface.h"
#include "support/frames.h"

namespace kestrel::test {

class ScriptedComm : public comm::CommInterface {
  public:
    struct Step {
        std::optional<Bytes> expectRequest;  // nullopt: accept any request
        Bytes answer;                        // bytes made readable after the write
        Result writeResult = KESTREL_OK;
    };

    // Expects `request` to be written and answers with `answer`.
    void Expect(Bytes request, Bytes answer) {
        steps_.push_back({std::move(request), std::move(answer), KESTREL_OK});
    }
    // Accepts whatever is written and answers with `answer`.
    void Answer(Bytes answer) { steps_.push_back({std::nullopt, std::move(answer), KESTREL_OK}); }
    // The next write fails with `result`.
    void FailWrite(Result result) { steps_.push_back({std::nullopt, {}, result}); }

    Result Open() override {
        ++opens;
        isOpen = openResult == KESTREL_OK;
        return openResult;
    }
    Result Close() override {
        ++closes;
        isOpen = false;
        return KESTREL_OK;
    }
    Result Purge() override {
        ++purges;
        incoming.clear();
        return KESTREL_OK;
    }
    Result Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                 uint32_t timeOutMs) override {
        Bytes request(buffer, buffer + length);
        requests.push_back(request);
        writeTimeOuts.push_back(timeOutMs);
        if (steps_.empty()) {
            surprises.push_back("unexpected write");
            return KESTREL_ERR_RS232_WRITE;
        }
        Step step = std::move(steps_.front());
        steps_.pop_front();
        if (step.writeResult != KESTREL_OK) return step.writeResult;
        if (step.expectRequest && *step.expectRequest != request) {
            surprises.push_back("request differs from the script");
        }
        incoming.insert(incoming.end(), step.answer.begin(), step.answer.end());
        if (written != nullptr) *written = length;
        return KESTREL_OK;
    }
    // Serial-line behaviour: a read returns what is there, a short count after the time-out.
    Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) override {
        readTimeOuts.push_back(timeOutMs);
        uint32_t n = 0;
        while (n < length && !incoming.empty()) {
            buffer[n++] = incoming.front();
            incoming.pop_front();
        }
        *read = n;
        return KESTREL_OK;
    }

    // True when every scripted step was used and nothing unexpected happened.
    bool Done() const { return steps_.empty() && surprises.empty(); }

    std::vector<Bytes> requests;
    std::vector<uint32_t> writeTimeOuts;
    std::vector<uint32_t> readTimeOuts;
    std::vector<std::string> surprises;
    std::deque<uint8_t> incoming;
    Result openResult = KESTREL_OK;
    bool isOpen = false;
    int opens = 0;
    int closes = 0;
    int purges = 0;

  private:
    std::deque<Step> steps_;
};

}  // namespace kestrel::test
