// Exported functions: the interfaces a reader can be connected by, and the readers present.
#include "api/guard.h"
#include "comm/reader_enumeration.h"
#include "comm/usb_hid_interface.h"
#include "platform/serial_lines.h"

namespace {

// Callback results are 8-bit truth values: any non-zero byte means go on.
bool GoOn(uint8_t answer) {
    return answer != 0;
}

}  // namespace

KESTREL_EXPORT int32_t KESTREL_CALL GetSupportedCommInterfaces(CommInterfaceCallback callback,
                                                               uintptr_t context) {
    if (callback == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    static constexpr struct {
        const char* description;
        int32_t type;
    } kInterfaces[] = {
        {"RS232 interface", INTERFACE_RS232},
        {"USB interface", INTERFACE_USB},
        {"TCP interface", INTERFACE_TCP},
    };
    for (const auto& entry : kInterfaces) {
        if (!GoOn(callback(context, entry.description, entry.type))) break;
    }
    return KESTREL_OK;
}

KESTREL_EXPORT int32_t KESTREL_CALL EnumReaders(uint32_t productId, int32_t interfaceType,
                                                EnumReadersCallback callback, uintptr_t context) {
    if (interfaceType != INTERFACE_RS232 && interfaceType != INTERFACE_USB) {
        return KESTREL_ERR_INTERFACE_NOT_SUPPORTED;
    }
    if (callback == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    return kestrel::api::Guarded(KESTREL_OK, [&]() -> int32_t {
        const kestrel::comm::ReaderNameSink sink = [&](const char* name) {
            return GoOn(callback(context, name));
        };
        if (interfaceType == INTERFACE_RS232) {
            kestrel::comm::EnumerateSerialReaders(kestrel::platform::ListSerialLines(), sink);
            return KESTREL_OK;
        }
        return kestrel::comm::EnumerateUsbReaders(productId, kestrel::comm::CurrentHidBackend(),
                                                  sink);
    });
}
