// The BCU's memory requests that more than one part sends: the commands'
// LINKLAYER, RESETBCU and PUT_0116 rows, and the handshake line's reset
// sequence. Header, code (0x46 write), count, cell high, cell low, value.
#pragma once

#include <cstdint>

namespace qel {

inline constexpr uint8_t kLinkLayerFrame[] = {0xA5, 0x46, 0x01, 0x00, 0x60, 0x12};
inline constexpr uint8_t kResetBcuFrame[] = {0xA5, 0x46, 0x01, 0x00, 0x60, 0xC0};
inline constexpr uint8_t kPut0116Frame[] = {0xA5, 0x46, 0x01, 0x01, 0x16, 0x00};  // value 0: the cell cleared

}  // namespace qel
