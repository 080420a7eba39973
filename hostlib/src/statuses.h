// Statuses the host functions answer with. 0 is success; drivers only test for non-zero.
#pragma once

#include <cstdint>

namespace huxtor {

constexpr uint16_t kOk = 0;
constexpr uint16_t kUnknownGate = 1;     // no gate with that id or address
constexpr uint16_t kBadArgument = 2;     // null pointer or a constant that is not the agreed one
constexpr uint16_t kNoFreeClientId = 3;  // all ids 1..255 are taken
constexpr uint16_t kUnknownClient = 4;   // the client id is not registered

}  // namespace huxtor
