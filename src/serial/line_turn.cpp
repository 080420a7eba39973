#include "host/log.h"
#include "link/listener_stop.h"
#include "link/listener_wake.h"
#include "platform/platform.h"
#include "serial/frames.h"
#include "serial/handshake_line.h"

namespace qel {
namespace {

// Failed receptions in a row, with CTS on all along, after which the line is
// given up until the next turn: a BCU that holds CTS on must not keep the
// host's requests off the line.
constexpr int kStuckCtsReceptions = 3;

// Each change of a stuck CTS is logged once.
void CtsStuck(ListenerTurn* turn) {
    if (!turn->stuck) QEL_LOG(text::kCtsStuck, turn->name);
    turn->stuck = true;
}

void CtsCleared(ListenerTurn* turn) {
    if (turn->stuck) QEL_LOG(text::kCtsCleared, turn->name);
    turn->stuck = false;
}

enum class Turn : uint8_t { kCtsOff, kGivenUp };

// One turn with the line: every frame announced while CTS stays on. The port is
// read afresh each turn under the lock, so a port that the port requests
// closed or replaced is followed, and a closed one is never touched.
Turn TakeAnnouncedFrames(InstanceData* instance, ListenerTurn* turn) {
    const PortHandle port = instance->portHandle;
    if (port == kNoPort) return Turn::kGivenUp;
    int failedInARow = 0;
    while (!ListenerStopRequested(turn->number)) {
        if (!CommGetCts(port)) {
            CtsCleared(turn);
            return Turn::kCtsOff;
        }
        if (ReceiveFrame(instance) == ReceiveResult::kReceived) {
            failedInARow = 0;
            CtsCleared(turn);
            turn->onFrame(instance);
        } else {
            PulseDtr(port);
            if (++failedInARow == kStuckCtsReceptions) {
                CtsStuck(turn);
                return Turn::kGivenUp;
            }
        }
        platform::Sys().sleepMs(kBackToBackPauseMs);
    }
    return Turn::kGivenUp;
}

// Holds the line until the BCU raises CTS, a request claims the line, a stop
// comes or the limit passes. False when this line cannot be waited on.
bool AwaitCtsHoldingLine(const InstanceData* instance, int32_t number) {
    if (LineClaimed(number) || ListenerStopRequested(number)) return true;
    return CommAwaitCts(instance->portHandle, ListenerWake(number), kCtsWaitLimitMs);
}

}  // namespace

bool ServeLine(InstanceData* instance, ListenerTurn* turn) {
    return TakeAnnouncedFrames(instance, turn) == Turn::kCtsOff && AwaitCtsHoldingLine(instance, turn->number);
}

}  // namespace qel
