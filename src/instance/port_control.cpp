#include "instance/port_control.h"

#include <cstring>

#include "ft12/ft12_line.h"
#include "instance/instance_numbers.h"
#include "port_map/port_map.h"
#include "link/line_lock.h"
#include "link/link.h"
#include "routing/routing.h"
#include "tunnel/tunnel.h"

namespace qel {
namespace {

bool EqualsIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a;
        char y = *b;
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

}  // namespace

bool CopyPortName(const char* name, char* out) {
    const void* end = std::memchr(name, '\0', kPortNameSize);
    if (end == nullptr) {
        std::memcpy(out, name, kPortNameSize);
        out[kPortNameSize] = '\0';
        return false;  // 12 characters or more: refused rather than cut
    }
    std::memcpy(out, name, static_cast<const char*>(end) - name + 1);
    return true;
}

PortHandle OpenConfiguredPort(const PortSettings& settings, const char* owner, bool* mapBroken) {
    if (mapBroken != nullptr) *mapBroken = false;
    char name[kPortNameSize + 1];
    if (!CopyPortName(settings.portName, name)) return kNoPort;
    if (EqualsIgnoringCase(name, "NULLDEV")) return kPseudoPort;
    char target[kTargetSize];
    const MapLookup mapped = LookUpPort(name, target, sizeof target);
    if (mapped == MapLookup::kBroken) {
        if (mapBroken != nullptr) *mapBroken = true;
        return kNoPort;
    }
    TunnelTarget tunnel;
    if (mapped == MapLookup::kMapped && ParseTunnelTarget(target, std::strlen(target), &tunnel))
        return OpenTunnel(target, owner);
    RoutingTarget routing;
    if (mapped == MapLookup::kMapped && ParseRoutingTarget(target, std::strlen(target), &routing))
        return OpenRouting(target, owner);
    Ft12Target ft12;
    if (mapped == MapLookup::kMapped && ParseFt12Target(target, std::strlen(target), &ft12)) return OpenFt12(ft12);
    PortHandle handle = kNoPort;
    const OpenResult opened =
        CommOpen(mapped == MapLookup::kMapped ? target : name, settings.line, settings.openFlags, &handle, name);
    return opened == OpenResult::kOpened ? handle : kNoPort;
}

Result ClosePortOf(InstanceData* instance) {
    if (instance->portHandle == kPseudoPort) {
        instance->portHandle = kNoPort;
        return Result::kDone;
    }
    if (instance->portHandle == kNoPort) return Result::kDone;
    if (!LinkOf(instance->portHandle).close(instance->portHandle)) return Result::kFailed;
    instance->portHandle = kNoPort;
    return Result::kDone;
}

void HangUpLink(InstanceData* instance) {
    LinkOf(instance->portHandle).hangUp(instance->portHandle);
}

PortChangeGuard::PortChangeGuard(InstanceData* instance) {
    if (!ListenerRuns(instance)) return;
    if (!WaitUntilCommNotBusy(instance)) {
        refused_ = true;
        return;
    }
    locked_ = instance;
}

PortChangeGuard::~PortChangeGuard() {
    if (locked_ != nullptr) ReleaseComm(locked_->lineLock);
}

}  // namespace qel
