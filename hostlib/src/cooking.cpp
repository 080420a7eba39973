#include "cooking.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace huxtor {

static_assert(std::endian::native == std::endian::little, "the cooked form is stored little-endian");
static_assert(sizeof(double) == sizeof(HuxCookedValue));

HuxCookedValue cook(uint16_t raw) {
    const double value = raw;
    HuxCookedValue cooked;
    std::memcpy(cooked.bytes, &value, sizeof value);
    return cooked;
}

uint16_t uncook(const HuxCookedValue& cooked) {
    double value;
    std::memcpy(&value, cooked.bytes, sizeof value);
    if (!(value > 0.0)) return 0;  // also NaN
    if (value >= 65535.0) return 65535;
    return static_cast<uint16_t>(std::lround(value));
}

}  // namespace huxtor
