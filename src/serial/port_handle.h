// The open port behind a handle value kept in InstanceData: a handshake line
// object, the link that owns the port.
#pragma once

#include <cstdint>

#include "link/line_trace.h"
#include "link/link.h"
#include "platform/platform.h"
#include "serial/comm.h"

namespace qel {

struct SerialLine {
    Link link;  // kHandshakeLine
    platform::Port* port;
};

// nullptr for kNoPort, the pseudo port and a link of another kind.
inline platform::Port* PortOf(PortHandle handle) {
    Link* link = LinkObjectOf(handle);
    if (link == nullptr || link->methods != &kHandshakeLine) return nullptr;
    return reinterpret_cast<SerialLine*>(link)->port;
}

inline void TraceNote(PortHandle handle, const char* note) { TraceNote(PortOf(handle), note); }

}  // namespace qel
