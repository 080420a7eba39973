// The BCU reset sequence: reset, link-layer mode, cell 0x0116 cleared.
#pragma once

#include <cstdint>

#include "instance/instance_data.h"

namespace qel {

constexpr uint32_t kResetPauseMs = 1000;

// 0 when all three frames went through, else the first failed send's result.
int ResetBCU(RequestBlock* request);
// Resets the BCU after a failed read: 0, or 2 after dropping DTR and RTS.
int ReadRecovery(RequestBlock* request);

}  // namespace qel
