// What the MIFARE functions need from a reader: Type A activation and the MIFARE primitives.
#pragma once

#include <type_traits>

#include "reader/mifare_primitives.h"
#include "reader/typea.h"

namespace kestrel::mifare {

struct MifareReader {
    // Any reader class with both capabilities.
    template <typename R,
              typename = std::enable_if_t<std::is_base_of_v<reader::TypeA, R> &&
                                          std::is_base_of_v<reader::MifarePrimitives, R>>>
    MifareReader(R& r) : typeA(r), primitives(r) {}  // NOLINT: converts implicitly on purpose

    reader::TypeA& typeA;
    reader::MifarePrimitives& primitives;
};

}  // namespace kestrel::mifare
