// The cooked form of a raw gate value: the value as a little-endian IEEE double.
#pragma once

#include <cstdint>

#include "huxtor.h"

namespace huxtor {

HuxCookedValue cook(uint16_t raw);
// Inverse of cook. Bytes that do not hold a value in 0..65535 give the nearest one (NaN gives 0).
uint16_t uncook(const HuxCookedValue& cooked);

}  // namespace huxtor
