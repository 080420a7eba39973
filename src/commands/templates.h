// Constant BCU message images, by command index. Byte 0 is the header byte;
// the commands fill in the group address (bytes 5, 6) and values.
#pragma once

#include <cstdint>

namespace qel {

// nullptr where the command has no such frame.
const uint8_t* ReadTemplate(int index);
const uint8_t* WriteTemplate(int index);

constexpr int kGroupHighByte = 5;
constexpr int kGroupLowByte = 6;
constexpr int kCellHighByte = 3;
constexpr int kCellLowByte = 4;
constexpr int kCellValueByte = 5;
constexpr int kBitValueByte = 9;
constexpr int kValueByte = 10;
constexpr int kValueLowByte = 11;

}  // namespace qel
