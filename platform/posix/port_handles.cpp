// The open ports of the process. A handle is the address of its slot in one
// small table, so a call finds its port and that port's operations at once;
// any other value, a closed port's handle among them, is refused.
#include <cerrno>
#include <cstdint>

#include "provider.h"

namespace {

constexpr int kMaxOpenPorts = 16;
PortSlot g_slots[kMaxOpenPorts];

}  // namespace

HANDLE PortRegister(const PortOps& ops, void* port) {
    for (PortSlot& slot : g_slots) {
        if (slot.ops == nullptr) {
            slot.ops = &ops;
            slot.port = port;
            return static_cast<HANDLE>(&slot);
        }
    }
    FailErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
}

PortSlot* PortLookup(HANDLE h) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(h);
    const uintptr_t first = reinterpret_cast<uintptr_t>(&g_slots[0]);
    if (at < first || at - first >= sizeof g_slots || (at - first) % sizeof(PortSlot) != 0) return nullptr;
    PortSlot* slot = &g_slots[(at - first) / sizeof(PortSlot)];
    return slot->ops != nullptr ? slot : nullptr;
}

void PortUnregister(PortSlot* slot) {
    slot->ops = nullptr;
    slot->port = nullptr;
}
