// Frames on the BCU line: a header byte (length and parity) and up to 31
// message bytes, exchanged one byte per RTS/CTS handshake. The driver's frame
// to send is the instance's FrameBuffer (frameBytes, frameLength); a frame
// the BCU sends is taken into ReceivedFrame (receivedBytes, receivedLength).
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "link/link.h"
#include "serial/comm.h"

namespace qel {

enum class ByteResult : uint8_t { kFailed, kAccepted, kBcuWantsToSend };
enum class ReceiveResult : uint8_t { kReceived, kFailed };

constexpr int kSendFrameAttempts = 12;
constexpr uint32_t kRetryPauseMs = 50;
// A send that keeps meeting the BCU's frames gives up after this long.
constexpr uint32_t kCollisionLimitMs = 2000;
constexpr uint32_t kDtrPulseMs = 50;

bool IsHeaderByte(uint8_t byte);
// Copies a frame image (header first) into the instance's FrameBuffer.
void LoadFrame(const uint8_t* image, InstanceData* instance);

// The driver's side of a byte exchange. The pseudo port takes every byte.
bool MasterSendByte(uint8_t byte, PortHandle port);
ByteResult SendFirstByte(uint8_t byte, PortHandle port);
ByteResult SendNextByte(uint8_t byte, PortHandle port);
ByteResult SendFrameBytes(const uint8_t* bytes, uint16_t length, PortHandle port);

// Called with the instance when the BCU's own frame came first during a send
// and has been received into ReceivedFrame.
using BcuFrameHandler = FrameHandler;

// Takes the line (at most kLineLockLimitMs: kLineBusy when it stays busy), loads
// `frame` (header first) into the FrameBuffer and sends it. A frame the BCU
// announces first is received and handed to `onBcuFrame`, and the send goes on
// at once: such a frame is no failed attempt. Twelve failed attempts, 50 ms
// apart, or kCollisionLimitMs of the BCU's frames end the send as failed.
SendResult SendFrame(InstanceData* instance, const uint8_t* frame, BcuFrameHandler onBcuFrame);

// The BCU counts a frame delivered once its last octet is out, and may still
// send that octet until its own 130 ms message time-out: given up earlier,
// the frame would be lost, as the BCU never offers it again. Its earlier
// octets may be given up sooner, since the BCU then offers the frame again.
constexpr uint32_t kSlaveByteLimitMs = 30;
constexpr uint32_t kLastOctetLimitMs = 150;

// The BCU's side of a byte exchange, answered by the driver: limitMs for CTS
// to drop and again for the BCU's byte.
bool SlaveExchangeByte(uint8_t send, PortHandle port, uint8_t* received, uint32_t limitMs = kSlaveByteLimitMs);
bool ReceiveFrameBytes(uint8_t* destination, uint8_t count, PortHandle port);
// Takes the frame the BCU announces into ReceivedFrame.
ReceiveResult ReceiveFrame(InstanceData* instance);

// After a failed reception: DTR low for 50 ms makes the BCU reset its serial
// side and offer its frame again from the header.
void PulseDtr(PortHandle port);

}  // namespace qel
