#include "failure_injection.h"

#include <cstring>

namespace huxtor {
namespace {

constexpr const char* kNames[kHostFunctionCount] = {
    "HuxMkClient", "HuxRmClient", "HuxGetGateRawValue", "HuxGetGateIdByAddressStr", "HuxCook", "HuxPutGateVal", "err",
};

size_t slot(HostFunction function) { return static_cast<size_t>(function); }

}  // namespace

std::optional<HostFunction> hostFunctionNamed(const char* name) {
    if (name == nullptr) return std::nullopt;
    for (size_t i = 0; i < kHostFunctionCount; ++i) {
        if (std::strcmp(kNames[i], name) == 0) return static_cast<HostFunction>(i);
    }
    return std::nullopt;
}

void FailureInjection::plan(HostFunction function, uint16_t status, uint32_t after, int32_t times) {
    std::lock_guard lock(mutex_);
    Plan& p = plans_[slot(function)];
    if (status == 0 || times == 0) {
        p = Plan{};
        return;
    }
    p = Plan{status, after, times < 0 ? kForever : times};
}

uint16_t FailureInjection::enter(HostFunction function) {
    std::lock_guard lock(mutex_);
    ++calls_[slot(function)];
    Plan& p = plans_[slot(function)];
    if (p.status == 0) return 0;
    if (p.skip > 0) {
        --p.skip;
        return 0;
    }
    const uint16_t status = p.status;
    if (p.remaining > 0 && --p.remaining == 0) p = Plan{};
    return status;
}

uint32_t FailureInjection::calls(HostFunction function) const {
    std::lock_guard lock(mutex_);
    return calls_[slot(function)];
}

void FailureInjection::reset() {
    std::lock_guard lock(mutex_);
    plans_.fill(Plan{});
    calls_.fill(0);
}

}  // namespace huxtor
