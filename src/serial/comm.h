// Line operations on an instance's port handle: open and configure, exact
// reads and writes, the input queue, the modem lines and the short polling
// waits of the byte handshake. A handle of kNoPort (nothing open) or
// kPseudoPort ("NULLDEV") touches no device and behaves like a device that
// refuses; the byte exchanges (serial/frames.h) give the pseudo port its
// "every byte taken" meaning.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "platform/platform.h"

namespace qel {

using PortHandle = uint32_t;

enum class OpenResult : uint8_t {
    kOpened = 0,
    kCannotOpen = 1,  // no such device, in use, or time-outs refused
    kCannotReadState = 4,
    kCannotSetState = 5,
};

enum class CommResult : uint8_t { kOk = 0, kShortWrite = 2, kFailed = 7 };

constexpr uint32_t kOpenReadTimeoutMs = 1000;
constexpr uint32_t kQueueSize = 1200;

// Opens `device` (a name the platform knows, or what the port map gave for
// the host's name); traced under `hostName` when given.
OpenResult CommOpen(const char* device, const LineSettings& line, uint16_t openFlags, PortHandle* handle,
                    const char* hostName = nullptr);
CommResult CommClose(PortHandle handle);
// Sets the read time-out (units of 10 ms, saturating); returns the previous one, 0 when unknown.
uint32_t CommSetReadTimeout(PortHandle handle, uint32_t tensOfMs);
// Drops every byte waiting in the input queue; false when a read failed.
bool CommPurgeInput(PortHandle handle);
CommResult CommWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written);
CommResult CommRead(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* total);
bool CommWriteByte(PortHandle handle, uint8_t byte);
bool CommReadByte(PortHandle handle, uint8_t* byte);
uint16_t CommBytesWaiting(PortHandle handle);
void CommSetRts(PortHandle handle, uint32_t on);
void CommSetDtr(PortHandle handle, uint32_t on);
bool CommGetCts(PortHandle handle);
bool CommWaitCtsOn(PortHandle handle);
bool CommWaitCtsOff(PortHandle handle, uint32_t limitMs = 30);
bool CommWaitRxBytes(PortHandle handle, uint32_t limitMs);
// Blocks until CTS is on, `wake` is signalled or limitMs passed. False when
// there is nothing to wait on (no port, the pseudo port, a failed port, no wake).
bool CommAwaitCts(PortHandle handle, platform::Wake* wake, uint32_t limitMs);
// Sets the port's event mask; false when the platform refuses (the pseudo port always does).
bool CommSetEventMask(PortHandle handle, uint32_t mask);

}  // namespace qel
