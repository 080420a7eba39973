#include "serial/handshake_line.h"

#include "host/log.h"
#include "link/line_lock.h"
#include "serial/comm.h"
#include "serial/frames.h"

namespace qel {
namespace {

constexpr uint32_t kWorkTailMs = 10;

// The line has no renewal of its own: RESETBCU sends the BCU's reset frame.
bool NoRenewal(InstanceData*, FrameHandler) { return false; }

void StartLine(InstanceData* instance, uint32_t readTimeout) {
    const PortHandle handle = instance->portHandle;
    CommSetReadTimeout(handle, readTimeout);
    if (!CommSetEventMask(handle, platform::kEventTxEmpty)) QEL_LOG(text::kSetCommMaskFailed, instance->instanceName);
    CommSetDtr(handle, 1);
    CommSetRts(handle, 0);
}

// A purge behind the listener's back could swallow the byte it waits for.
bool ClearLine(InstanceData* instance) {
    const LineHold line(instance);
    if (!line.Held()) return false;
    CommPurgeInput(instance->portHandle);
    CommSetDtr(instance->portHandle, 1);
    return true;
}

void DropModemLines(InstanceData* instance) {
    const LineHold line(instance);
    if (!line.Held()) return;
    CommSetDtr(instance->portHandle, 0);
    CommSetRts(instance->portHandle, 0);
}

void SetModemLine(InstanceData* instance, platform::ModemLine which, uint32_t on) {
    if (which == platform::ModemLine::kDtr) CommSetDtr(instance->portHandle, on);
    else CommSetRts(instance->portHandle, on);
}

bool CloseLine(uint32_t handle) { return CommClose(handle) == CommResult::kOk; }

}  // namespace

const LinkMethods kHandshakeLine = {
    .send = SendFrame,                 // the byte handshake, header first
    .serve = ServeLine,                // announced frames, then a CTS wait
    .check = ResetBcuLine,             // the BCU reset sequence
    .renew = NoRenewal,                // RESETBCU is the BCU's own frame
    .start = StartLine,                // read time-out, event mask, DTR on, RTS off
    .clearLine = ClearLine,            // input purged, DTR on
    .dropModemLines = DropModemLines,  // DTR and RTS off
    .setModemLine = SetModemLine,      // DTR or RTS as asked
    .hangUp = NoSession,               // a BCU has no session to end
    .close = CloseLine,                // the port closed, the line object freed
    .listenerStartMs = kSettlingMs,    // the BCU resets meanwhile
    .workTailMs = kWorkTailMs,         // the line settles before the priority drops
    .bcuCommands = {CommandUse::kAsOnBcu, CommandUse::kAsOnBcu, CommandUse::kAsOnBcu, CommandUse::kAsOnBcu,
                    CommandUse::kAsOnBcu, CommandUse::kAsOnBcu},  // a BCU takes them all
    .refusalTexts = {},                // refuses none
};

}  // namespace qel
