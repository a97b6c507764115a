// GetErrorText: the library's own texts for its ranges, the operating system's otherwise.
#include "KestrelAPI.h"
#include "api/result_codes.h"
#include "platform/system_message.h"

namespace {

// One buffer per thread for operating-system texts, so that threads asking at the same
// time do not overwrite each other's text. Texts longer than 1022 characters are cut.
constexpr size_t kSystemTextSize = 1024;
thread_local char systemText[kSystemTextSize];

constexpr char kNoSystemText[] = "unknown error";

}  // namespace

KESTREL_EXPORT const char* KESTREL_CALL GetErrorText(int32_t code) {
    if (const char* text = kestrel::api::TableText(code)) return text;
    if (!kestrel::platform::SystemMessage(code, systemText, kSystemTextSize - 1)) {
        return kNoSystemText;
    }
    return systemText;
}
