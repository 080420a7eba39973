// What an operation of the driver comes to. The entry maps it to the host's
// number (0, 1, 2) in one place.
#pragma once

#include <cstdint>

namespace qel {

enum class Result : uint8_t {
    kDone,      // host 0: done, or accepted
    kRejected,  // host 1: a rejected address, a failed command, or nothing to do
    kFailed,    // host 2: a failed start, stop, port operation or read recovery; an unknown code
};

}  // namespace qel
