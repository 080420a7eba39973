// Call counting and planned failures for the seven driver-facing functions:
// "skip the next `after` calls, then fail `times` calls (-1: for ever)".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

namespace huxtor {

enum class HostFunction : uint8_t { kMkClient, kRmClient, kGetGateRawValue, kGetGateIdByAddressStr, kCook, kPutGateVal, kErr };
constexpr size_t kHostFunctionCount = 7;

// By the exported name ("HuxMkClient", ..., "err"); nothing for any other name.
std::optional<HostFunction> hostFunctionNamed(const char* name);

class FailureInjection {
public:
    static constexpr int32_t kForever = -1;

    // status 0 removes the plan. A negative `times` fails for ever.
    void plan(HostFunction function, uint16_t status, uint32_t after, int32_t times);
    // Counts one call; the status to fail it with, 0 to let it run.
    uint16_t enter(HostFunction function);
    uint32_t calls(HostFunction function) const;
    void reset();

private:
    struct Plan {
        uint16_t status = 0;
        uint32_t skip = 0;
        int32_t remaining = 0;  // calls still to fail; negative: for ever
    };
    mutable std::mutex mutex_;
    std::array<Plan, kHostFunctionCount> plans_{};
    std::array<uint32_t, kHostFunctionCount> calls_{};
};

}  // namespace huxtor
