// Generators for the host's random number in tests.
#pragma once

#include "desfire/random.h"

namespace kestrel::test {

// Puts a generator in place for one test and the previous one back afterwards.
class ScopedRandomSource {
  public:
    explicit ScopedRandomSource(desfire::RandomSource source)
        : previous_(desfire::SetRandomSource(source)) {}
    ~ScopedRandomSource() { desfire::SetRandomSource(previous_); }
    ScopedRandomSource(const ScopedRandomSource&) = delete;
    ScopedRandomSource& operator=(const ScopedRandomSource&) = delete;

  private:
    desfire::RandomSource previous_;
};

// The host random number of the genuine-card trace: A0 A1 ... A7.
inline int TraceRandom(unsigned char* buffer, int length) {
    for (int i = 0; i < length; ++i) buffer[i] = static_cast<unsigned char>(0xA0 + i);
    return 1;
}

inline int FailingRandom(unsigned char* /*buffer*/, int /*length*/) {
    return 0;
}

}  // namespace kestrel::test
