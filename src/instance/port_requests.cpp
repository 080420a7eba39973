#include <cstring>

#include "entry/operations.h"
#include "instance/port_control.h"

namespace qel {

int32_t ClosePort(RequestBlock* request) {
    if (request == nullptr || request->instance == nullptr) return 2;
    PortChangeGuard guard(request->instance);
    return ClosePortOf(request->instance);
}

int32_t OpenPort(RequestBlock* request) {
    if (request == nullptr || request->instance == nullptr) return 2;
    InstanceData* instance = request->instance;
    PortChangeGuard guard(instance);
    const PortHandle handle = OpenPortSpec(instance->portSpec);
    if (handle == kNoPort) return 2;
    instance->portEnabled = 1;
    instance->portHandle = handle;
    return 0;
}

int32_t ReconfigurePort(RequestBlock* request) {
    if (request == nullptr || request->instance == nullptr || request->params == nullptr) return 2;
    InstanceData* instance = request->instance;
    const auto* params = static_cast<const PortParams*>(request->params);
    char name[kPortNameSize + 1];
    if (!CopyPortName(params->portName, name)) return 2;

    PortChangeGuard guard(instance);
    if (params->readTimeout != 0) instance->readTimeout = params->readTimeout;
    if (std::strncmp(name, instance->portSpec.portName, kPortNameSize) != 0 && instance->portHandle != kNoPort)
        ClosePortOf(instance);
    std::memcpy(instance->portSpec.portName, name, kPortNameSize);
    instance->portSpec.line = params->line;
    const PortHandle handle = OpenPortSpec(instance->portSpec);
    if (handle == kNoPort) return 2;
    instance->portHandle = handle;
    return 0;
}

}  // namespace qel
