#include "desfire/random.h"

#include <openssl/rand.h>

#include <atomic>

namespace kestrel::desfire {
namespace {

std::atomic<RandomSource> gSource{&RAND_bytes};

}  // namespace

RandomSource SetRandomSource(RandomSource source) {
    return gSource.exchange(source != nullptr ? source : &RAND_bytes);
}

Result DfMakeRndA(uint8_t* rndA) {
    const RandomSource source = gSource.load();
    if (source(rndA, static_cast<int>(kRandomLength)) != 1) return KESTREL_ERR_DF_UNKNOWN;
    return KESTREL_OK;
}

}  // namespace kestrel::desfire
