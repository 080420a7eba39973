// The driver's version as ColdStart writes it into the instance record and the
// log, one BCD byte each (0x0112 is 1.12). The build reads this line for the
// project's version and the packages' names: it is the one place to change.
#pragma once

#include <cstdint>

namespace qel {

inline constexpr uint16_t kDriverVersion = 0x0112;

}  // namespace qel
