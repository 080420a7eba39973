#include <cstring>

#include "instance/operations.h"
#include "instance/port_control.h"

namespace qel {

Result ClosePort(RequestBlock* request) {
    PortChangeGuard guard(request->instance);
    if (guard.Refused()) return Result::kFailed;
    return ClosePortOf(request->instance);
}

Result OpenPort(RequestBlock* request) {
    InstanceData* instance = request->instance;
    PortChangeGuard guard(instance);
    if (guard.Refused()) return Result::kFailed;
    const PortHandle handle = OpenConfiguredPort(instance->portSettings, instance->instanceName);
    if (handle == kNoPort) return Result::kFailed;
    instance->portEnabled = 1;
    instance->portHandle = handle;
    return Result::kDone;
}

Result ReconfigurePort(RequestBlock* request) {
    if (request->params == nullptr) return Result::kFailed;
    InstanceData* instance = request->instance;
    const auto* params = static_cast<const PortParams*>(request->params);
    char name[kPortNameSize + 1];
    if (!CopyPortName(params->portName, name)) return Result::kFailed;

    PortChangeGuard guard(instance);
    if (guard.Refused()) return Result::kFailed;
    if (params->readTimeout != 0) instance->readTimeout = params->readTimeout;
    if (std::strncmp(name, instance->portSettings.portName, kPortNameSize) != 0 && instance->portHandle != kNoPort)
        ClosePortOf(instance);
    std::memcpy(instance->portSettings.portName, name, kPortNameSize);
    instance->portSettings.line = params->line;
    const PortHandle handle = OpenConfiguredPort(instance->portSettings, instance->instanceName);
    if (handle == kNoPort) return Result::kFailed;
    instance->portHandle = handle;
    return Result::kDone;
}

}  // namespace qel
