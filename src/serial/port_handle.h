// The open port behind a handle value kept in InstanceData.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "serial/comm.h"

namespace qel {

// nullptr for kNoPort, the pseudo port and a tunnel.
inline platform::Port* PortOf(PortHandle handle) {
    if (handle == kNoPort || handle == kPseudoPort || IsTunnelHandle(handle)) return nullptr;
    return reinterpret_cast<platform::Port*>(static_cast<uintptr_t>(handle));
}

inline PortHandle HandleOf(platform::Port* port) {
    return static_cast<PortHandle>(reinterpret_cast<uintptr_t>(port));
}

}  // namespace qel
