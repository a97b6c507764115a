// Exported functions: the interfaces a reader can be connected by, and the readers present.
#include "api/guard.h"
#include "api/transports.h"

namespace {

// Callback results are 8-bit truth values: any non-zero byte means go on.
bool GoOn(uint8_t answer) {
    return answer != 0;
}

}  // namespace

KESTREL_EXPORT int32_t KESTREL_CALL GetSupportedCommInterfaces(CommInterfaceCallback callback,
                                                               uintptr_t context) {
    if (callback == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    for (const kestrel::api::Transport& transport : kestrel::api::kTransports) {
        if (!GoOn(callback(context, transport.description, transport.type))) break;
    }
    return KESTREL_OK;
}

KESTREL_EXPORT int32_t KESTREL_CALL EnumReaders(uint32_t productId, int32_t interfaceType,
                                                EnumReadersCallback callback, uintptr_t context) {
    const kestrel::api::Transport* transport = kestrel::api::FindTransport(interfaceType);
    if (transport == nullptr || transport->enumerate == nullptr) {
        return KESTREL_ERR_INTERFACE_NOT_SUPPORTED;
    }
    if (callback == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    return kestrel::api::Guarded(KESTREL_OK, [&]() -> int32_t {
        return transport->enumerate(
            productId, [&](const char* name) { return GoOn(callback(context, name)); });
    });
}
