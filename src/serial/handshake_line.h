// The BCU's byte-handshake line as a link (kHandshakeLine): its operations
// beyond the port and frame functions of comm.h and frames.h.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "link/link.h"

namespace qel {

// The listener stays off the line this long at its start: ColdStart resets the BCU meanwhile.
constexpr uint32_t kSettlingMs = 5000;
constexpr uint32_t kBackToBackPauseMs = 1;
constexpr uint32_t kResetPauseMs = 1000;

// The listener's turn: every frame the BCU announces while CTS stays on, then
// a wait for CTS with the line held, until a claim or a stop. False when the
// line cannot be waited on (no port, the pseudo port, CTS stuck on, no wake).
bool ServeLine(InstanceData* instance, ListenerTurn* turn);
// The BCU reset sequence: reset, link-layer mode, cell 0x0116 cleared, each
// frame through the link behind the handle; stops at the first failed send.
SendResult ResetBcuLine(InstanceData* instance, FrameHandler onFrame);

}  // namespace qel
