// Line operations on an instance's port handle: open and configure, exact
// reads and writes, the input queue, the modem lines and the short polling
// waits of the byte handshake. Every operation accepts the pseudo port
// (kPseudoPort), touches no device then and gives its stated result; a
// handle of kNoPort (nothing open) behaves like a device that refuses.
#pragma once

#include <cstdint>

#include "instance/instance_data.h"

namespace qel {

using PortHandle = uint32_t;

// Results of CommOpen.
constexpr int kCommOpened = 0;
constexpr int kCommCannotOpen = 1;         // no such device, in use, or time-outs refused
constexpr int kCommCannotReadState = 4;
constexpr int kCommCannotSetState = 5;
// Results of CommClose, CommWrite, CommRead.
constexpr int kCommOk = 0;
constexpr int kCommShortWrite = 2;
constexpr int kCommFailed = 7;

constexpr uint32_t kOpenReadTimeoutMs = 1000;
constexpr uint32_t kQueueSize = 1200;

int CommOpen(const char* name, const LineSettings& line, uint16_t openFlags, PortHandle* handle);
int CommClose(PortHandle handle);
uint32_t CommSetReadTimeout(PortHandle handle, uint32_t tensOfMs);
int CommPurgeInput(PortHandle handle);
int CommWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written);
int CommRead(PortHandle handle, uint8_t* buffer, uint16_t count, uint16_t* total);
bool CommWriteByte(PortHandle handle, uint8_t byte);
bool CommReadByte(PortHandle handle, uint8_t* byte);
uint16_t CommBytesWaiting(PortHandle handle);
void CommSetRts(PortHandle handle, uint32_t on);
void CommSetDtr(PortHandle handle, uint32_t on);
bool CommGetCts(PortHandle handle);
bool CommWaitCtsOn(PortHandle handle);
bool CommWaitCtsOff(PortHandle handle);
bool CommWaitRxBytes(PortHandle handle, uint32_t limitMs);
// Sets the port's event mask; false when the platform refuses (the pseudo port always does).
bool CommSetEventMask(PortHandle handle, uint32_t mask);

}  // namespace qel
