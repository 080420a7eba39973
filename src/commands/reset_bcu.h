// The BCU reset sequence: reset, link-layer mode, cell 0x0116 cleared.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "commands/result.h"
#include "serial/frames.h"

namespace qel {

constexpr uint32_t kResetPauseMs = 1000;

// kSent when all three frames went through; stops at the first failed send.
// On a tunnel: a connection-state exchange, and a new connection when it
// fails; kSent when the tunnel is up.
SendResult ResetBCU(InstanceData* instance);
// RESETBCU on a tunnel: disconnect and connect again; true when it is up.
bool RenewLink(InstanceData* instance);
// Resets the BCU after a failed read: done, or failed after dropping DTR and RTS.
Result ReadRecovery(RequestBlock* request);
// DTR and RTS off, with the line held (nothing when it stays busy, or on a tunnel).
void DropModemLines(InstanceData* instance);

}  // namespace qel
