#include <cstring>
#include <new>

#include "ft12/ft12_line.h"
#include "link/line_trace.h"

namespace qel {
namespace {

// A read takes only what is waiting; the limit only bounds a port that lies about it.
constexpr uint32_t kReadLimitMs = 100;
constexpr uint32_t kQueueBytes = 1200;
constexpr uint8_t kEvenParity = 2;

bool Configure(platform::Port* port, uint32_t baud) {
    platform::LineState state{};
    if (!port->methods->getState(port, &state)) return false;
    const platform::Timeouts timeouts{.readInterval = 0,
                                       .readTotalMultiplier = 0,
                                       .readTotalConstant = kReadLimitMs,
                                       .writeTotalMultiplier = 0,
                                       .writeTotalConstant = 0};
    if (!port->methods->setTimeouts(port, &timeouts)) return false;
    state.baud = baud;
    state.byteSize = 8;
    state.parity = kEvenParity;
    state.stopBits = 0;  // one
    state.binary = true;
    state.parityCheck = true;
    // No flow control; DTR and RTS up for an interface that draws its power from them.
    state.dtrControl = platform::kDtrEnable;
    state.rtsControl = platform::kRtsEnable;
    state.outxCtsFlow = false;
    state.outxDsrFlow = false;
    state.dsrSensitivity = false;
    state.txContinueOnXoff = true;
    state.outX = false;
    state.inX = false;
    state.errorCharReplace = false;
    state.discardNull = false;
    state.abortOnError = false;
    if (!port->methods->setState(port, &state)) return false;
    port->methods->setQueueSizes(port, kQueueBytes, kQueueBytes);
    return true;
}

}  // namespace

uint32_t OpenFt12(const Ft12Target& target) {
    platform::Port* port = TraceIfAsked(platform::Sys().openPort(target.device), target.device);
    if (port == nullptr) return kNoPort;
    auto* line = Configure(port, target.baud) ? new (std::nothrow) Ft12Line{} : nullptr;
    if (line == nullptr) {
        port->methods->close(port);
        return kNoPort;
    }
    line->link.methods = target.cemi ? &kFt12CemiLink : &kFt12Link;
    line->port = port;
    line->emi = target.cemi ? ft12::Emi::kCemi : ft12::Emi::kEmi2;
    line->baud = target.baud;
    line->sendBit = ft12::kFrameCountBit;
    line->fresh = true;
    std::memcpy(line->device, target.device, sizeof line->device);
    return HandleOfLink(&line->link);
}

bool CloseFt12(uint32_t handle) {
    Ft12Line* line = Ft12LineOf(handle);
    if (!line->port->methods->close(line->port)) return false;
    delete line;
    return true;
}

}  // namespace qel
