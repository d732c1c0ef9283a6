// The open ports of the process. A handle is the address of its slot in one
// small table, so a call finds its port and that port's operations at once
// (PortLookup, in win32/provider.h); any other value, a closed port's handle among
// them, is refused.
#include <cerrno>

#include "provider.h"

PortSlot gPortSlots[kMaxOpenPorts];

HANDLE PortRegister(const PortOps& ops, void* port) {
    for (PortSlot& slot : gPortSlots) {
        if (slot.ops == nullptr) {
            slot.ops = &ops;
            slot.port = port;
            return static_cast<HANDLE>(&slot);
        }
    }
    FailErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
}

void PortUnregister(PortSlot* slot) {
    slot->ops = nullptr;
    slot->port = nullptr;
}
