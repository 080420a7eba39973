// Frames on the BCU line: a header byte (length and parity) and up to 31
// message bytes, exchanged one byte per RTS/CTS handshake.
#pragma once

#include <cstdint>

#include "instance/instance_data.h"
#include "serial/comm.h"

namespace qel {

// Results of the byte and attempt operations.
constexpr int kByteFailed = 0;
constexpr int kByteAccepted = 1;
constexpr int kBcuWantsToSend = 9;

constexpr int kSendFrameAttempts = 12;
constexpr uint32_t kRetryPauseMs = 50;

bool IsHeaderByte(uint8_t byte);
void LoadFrame(const uint8_t* image, InstanceData* instance);

bool MasterSendByte(uint8_t byte, PortHandle port);
int SendFirstByte(uint8_t byte, PortHandle port);
int SendNextByte(uint8_t byte, PortHandle port);
int SendFrameBytes(const uint8_t* bytes, uint16_t length, PortHandle port);
// 0: the BCU took every byte; 1: twelve attempts failed.
int SendFrame(InstanceData* instance);

bool SlaveExchangeByte(uint8_t send, PortHandle port, uint8_t* received);
bool ReceiveFrameBytes(uint8_t* destination, uint8_t count, PortHandle port);
// 0: a valid frame is in the instance's ReceivedFrame; 1: failed.
int ReceiveFrame(InstanceData* instance);

constexpr uint32_t kDtrPulseMs = 50;
// After a failed reception: DTR low for 50 ms makes the BCU reset its serial
// side and offer its frame again from the header.
void PulseDtr(PortHandle port);

}  // namespace qel
