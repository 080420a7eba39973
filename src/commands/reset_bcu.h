// The link's check and renewal, as the commands and the instance ask for them.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "commands/result.h"
#include "link/link.h"

namespace qel {

// Logs the reset and checks the link (LinkMethods::check): on the handshake
// line the BCU reset sequence, on a tunnel a connection-state exchange.
SendResult ResetBCU(InstanceData* instance);
// RESETBCU where the link renews itself (a tunnel: disconnect and connect
// again); true when it is up.
bool RenewLink(InstanceData* instance);
// Resets the BCU after a failed read: done, or failed after dropping DTR and RTS.
Result ReadRecovery(RequestBlock* request);
// DTR and RTS off, with the line held (nothing when it stays busy, or where the link has none).
void DropModemLines(InstanceData* instance);

}  // namespace qel
