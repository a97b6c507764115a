// The entry point of one fuzz target; KESTREL_FUZZ_FAMILY names its family.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kestrel::fuzz::Run(kestrel::fuzz::KESTREL_FUZZ_FAMILY, data, size);
}
