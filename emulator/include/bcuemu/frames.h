// Frames on the BCU's serial line: a header byte (length and parity) and
// the message bytes it announces.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bcuemu/telegram.h"

namespace bcuemu {

constexpr uint8_t kMemoryWrite = 0x46;
constexpr uint8_t kMemoryRead = 0x4C;
constexpr uint8_t kMemoryAnswer = 0x4B;
constexpr uint8_t kDataRequest = 0x11;
constexpr uint8_t kDataIndication = 0x49;
constexpr uint8_t kDataConfirm = 0x4E;

constexpr uint16_t kSystemStateCell = 0x0060;
constexpr uint8_t kLinkLayerMode = 0x12;
constexpr uint8_t kResetCommand = 0xC0;
constexpr uint8_t kResetFrame = 0xA0;  // the length-0 frame a BCU sends after a reset

// The header byte for n message bytes (1..31): bit 5 set, bit 6 clear, bit 7
// the parity of bits 0-6.
uint8_t HeaderFor(unsigned n);
// The driver's rule: a valid header for 1..31 bytes; 0xA0 is not one.
bool IsHeaderByte(uint8_t b);
// Header + message.
std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& message);

std::vector<uint8_t> MemoryWriteFrame(uint16_t cell, uint8_t value);
std::vector<uint8_t> MemoryReadFrame(uint16_t cell, uint8_t count = 3);
// The BCU's 0x49 frame for a telegram from the bus.
std::vector<uint8_t> IndicationFrame(const Telegram& telegram);
// A driver's 0x11 frame sending `telegram` (source bytes as in the telegram).
std::vector<uint8_t> DataRequestFrame(const Telegram& telegram);
// The telegram that a 0x11 frame asks for; a source of 0 becomes `ownAddress`.
std::optional<Telegram> TelegramOfDataRequest(const std::vector<uint8_t>& frame, uint16_t ownAddress);

}  // namespace bcuemu
