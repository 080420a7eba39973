// Opening and closing an instance's port.
#pragma once

#include "abi/records.h"
#include "commands/result.h"
#include "serial/comm.h"

namespace qel {

// The pseudo port for "NULLDEV" in any case, an open port, a tunnel (a
// knxip:// target of the port map), an FT1.2 line (an ft12: target), or kNoPort; with `mapBroken`, whether
// kNoPort came from a port map that cannot be used (its line is logged
// already). A tunnel's failures are logged under `owner`.
PortHandle OpenConfiguredPort(const PortSettings& settings, const char* owner, bool* mapBroken = nullptr);
// Done: closed, or nothing was open; failed: the close failed and the handle is kept.
Result ClosePortOf(InstanceData* instance);
// Says goodbye where the link has a peer to tell (a tunnel's server), before
// the port itself goes.
void HangUpLink(InstanceData* instance);

// While the instance's listener runs, the port may be changed only with the
// line lock held (at most 5 s), so that the listener never polls a port being closed.
class PortChangeGuard {
public:
    explicit PortChangeGuard(InstanceData* instance);
    ~PortChangeGuard();
    PortChangeGuard(const PortChangeGuard&) = delete;
    PortChangeGuard& operator=(const PortChangeGuard&) = delete;
    // True when the line stayed busy: the port must not be changed.
    bool Refused() const { return refused_; }

private:
    InstanceData* locked_ = nullptr;
    bool refused_ = false;
};

// Copies a host-supplied port name into `out` (kPortNameSize + 1 bytes);
// false when it is not terminated within kPortNameSize bytes.
bool CopyPortName(const char* name, char* out);

}  // namespace qel
