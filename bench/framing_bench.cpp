// Cost of the host side of one reader exchange: CRC, framing, command buffers, checks.
#include <benchmark/benchmark.h>

#include <vector>

#include "link/block_framing_protocol.h"
#include "link/crc16.h"
#include "reader/standard_reader.h"
#include "support/frames.h"

namespace {

using kestrel::Result;

void BM_Crc16(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrel::link::Crc16Mcrf4xx(data.data(), data.size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(16)->Arg(256)->Arg(4096);

// A transport that answers every request at once with an activation answer carrying the
// request's sequence number, without any I/O.
class InstantReader : public kestrel::comm::CommInterface {
  public:
    Result Open() override { return 0; }
    Result Close() override { return 0; }
    Result Purge() override { return 0; }
    Result Write(const uint8_t* buffer, uint32_t length, uint32_t* written, uint32_t) override {
        answer_ =
            kestrel::test::Frame(buffer[1], 0x00, {0x44, 0x00, 0x00, 7, 0x04, 1, 2, 3, 4, 5, 6});
        at_ = 0;
        *written = length;
        return 0;
    }
    Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t) override {
        uint32_t n = 0;
        while (n < length && at_ < answer_.size()) buffer[n++] = answer_[at_++];
        *read = n;
        return 0;
    }

  private:
    std::vector<uint8_t> answer_;
    size_t at_ = 0;
};

void BM_ActivateIdleExchange(benchmark::State& state) {
    InstantReader comm;
    kestrel::link::BlockFramingProtocol link(comm);
    kestrel::reader::StandardReader reader(link);
    uint8_t uid[10];
    uint16_t atqa;
    uint8_t sak;
    for (auto _ : state) {
        uint8_t length = sizeof uid;
        benchmark::DoNotOptimize(reader.ActivateIdle(0, &atqa, &sak, uid, &length));
    }
}
BENCHMARK(BM_ActivateIdleExchange);

}  // namespace
