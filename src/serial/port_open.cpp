#include <cstring>
#include <new>

#include "link/line_trace.h"
#include "serial/port_handle.h"

namespace qel {
namespace {

uint8_t DtrControlOf(uint16_t openFlags) {
    if (openFlags & 0x0101) return platform::kDtrEnable;
    if (openFlags & 0x8000) return platform::kDtrHandshake;
    return platform::kDtrDisable;
}

uint8_t RtsControlOf(uint16_t openFlags) {
    if (openFlags & 0x0202) return platform::kRtsEnable;
    if (openFlags & 0x1000) return platform::kRtsHandshake;
    if (openFlags & 0x2000) return platform::kRtsToggle;
    return platform::kRtsDisable;
}

OpenResult CloseAndReturn(platform::Port* port, OpenResult result) {
    port->methods->close(port);
    return result;
}

// The port's settings; kOpened when it took them all (closed when it did not).
OpenResult Configure(platform::Port* port, const char* device, const LineSettings& line, uint16_t openFlags) {
    if (std::strcmp(device, "NUL") == 0) return OpenResult::kOpened;  // the null device takes no settings

    platform::LineState state{};
    if (!port->methods->getState(port, &state)) return CloseAndReturn(port, OpenResult::kCannotReadState);

    const platform::Timeouts timeouts{.readInterval = 0,
                                       .readTotalMultiplier = 0,
                                       .readTotalConstant = kOpenReadTimeoutMs,
                                       .writeTotalMultiplier = 0,
                                       .writeTotalConstant = 0};
    if (!port->methods->setTimeouts(port, &timeouts)) return CloseAndReturn(port, OpenResult::kCannotOpen);

    state.baud = line.baud;
    state.binary = true;
    state.parityCheck = true;
    state.outxCtsFlow = false;
    state.outxDsrFlow = false;
    state.dtrControl = DtrControlOf(openFlags);
    state.dsrSensitivity = false;
    state.outX = false;
    state.inX = false;
    state.errorCharReplace = false;
    state.discardNull = false;
    state.rtsControl = RtsControlOf(openFlags);
    state.abortOnError = false;
    state.byteSize = static_cast<uint8_t>(line.dataBits);
    state.parity = static_cast<uint8_t>(line.parity);
    state.stopBits = static_cast<uint8_t>(line.stopBits);
    state.errorChar = 0xFC;
    if (!port->methods->setState(port, &state)) return CloseAndReturn(port, OpenResult::kCannotSetState);

    port->methods->setQueueSizes(port, kQueueSize, kQueueSize);
    return OpenResult::kOpened;
}

}  // namespace

OpenResult CommOpen(const char* device, const LineSettings& line, uint16_t openFlags, PortHandle* handle,
                    const char* hostName) {
    *handle = kNoPort;
    // Traced under the host's name, whatever it stands for.
    platform::Port* port = TraceIfAsked(platform::Sys().openPort(device), hostName != nullptr ? hostName : device);
    if (port == nullptr) return OpenResult::kCannotOpen;
    if (const OpenResult result = Configure(port, device, line, openFlags); result != OpenResult::kOpened)
        return result;  // closed already
    auto* serial = new (std::nothrow) SerialLine{{&kHandshakeLine}, port};
    if (serial == nullptr) return CloseAndReturn(port, OpenResult::kCannotOpen);
    *handle = HandleOfLink(&serial->link);
    return OpenResult::kOpened;
}

CommResult CommClose(PortHandle handle) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return CommResult::kFailed;
    if (!port->methods->close(port)) return CommResult::kFailed;
    delete reinterpret_cast<SerialLine*>(LinkObjectOf(handle));
    return CommResult::kOk;
}

bool CommSetEventMask(PortHandle handle, uint32_t mask) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return false;
    return port->methods->setEventMask(port, mask);
}

}  // namespace qel
