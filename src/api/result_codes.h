// Texts of the library's own result codes.
#pragma once

#include <cstdint>

namespace kestrel::api {

// The text of a code inside one of the library's ranges (1001-1998, 3001-3998, 5001-5998,
// 6001-6998, 7001-7998, 8001-8998, 0xA001-0xAFFE): the code's own text, or the range's
// catch-all text for a code that has none. nullptr for a code outside every range; such
// codes are operating-system error numbers. The texts are constant and never freed.
const char* TableText(int32_t code);

}  // namespace kestrel::api
