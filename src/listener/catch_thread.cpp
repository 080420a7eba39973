#include "listener/catch_thread.h"

#include <cstring>

#include "commands/catch_decode.h"
#include "host/log.h"
#include "listener/listener_stop.h"
#include "platform/platform.h"
#include "serial/line_lock.h"
#include "serial/line_priority.h"
#include "serial/listener_wake.h"
#include "serial/poll_until.h"
#include "tunnel/tunnel.h"

namespace qel {
namespace {

// Failed receptions in a row, with CTS on all along, after which the line is
// given up until the next turn: a BCU that holds CTS on must not keep the
// host's requests off the line.
constexpr int kStuckCtsReceptions = 3;

// Whether CTS was found stuck on, so that each change is logged once.
struct CtsWatch {
    const char* name;
    bool stuck = false;

    void Stuck() {
        if (!stuck) QEL_LOG(text::kCtsStuck, name);
        stuck = true;
    }
    void Cleared() {
        if (stuck) QEL_LOG(text::kCtsCleared, name);
        stuck = false;
    }
};

// Sleeps `ms` but returns early (false) once a stop is requested.
bool SleepUnlessStopped(int32_t number, uint32_t ms) {
    return !PollUntil(ms, [number] { return ListenerStopRequested(number); },
                      [number](uint32_t leftMs) { WaitForListenerWake(number, leftMs); });
}

enum class Turn : uint8_t { kCtsOff, kGivenUp };

// One turn with the line: every frame announced while CTS stays on. The port is
// read afresh each turn under the lock, so a port that the port requests
// closed or replaced is followed, and a closed one is never touched.
Turn TakeAnnouncedFrames(InstanceData* instance, int32_t number, CtsWatch& cts) {
    const PortHandle port = instance->portHandle;
    if (port == kNoPort) return Turn::kGivenUp;
    int failedInARow = 0;
    while (!ListenerStopRequested(number)) {
        if (!CommGetCts(port)) {
            cts.Cleared();
            return Turn::kCtsOff;
        }
        if (ReceiveFrame(instance) == ReceiveResult::kReceived) {
            failedInARow = 0;
            cts.Cleared();
            DeliverReceivedFrame(instance);
        } else {
            PulseDtr(port);
            if (++failedInARow == kStuckCtsReceptions) {
                cts.Stuck();
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

// A tunnel's turn: its datagrams, heartbeat and reconnection until a claim or
// a stop wakes the listener. Without a wake, short turns keep requests waiting little.
bool ServeTunnelHoldingLine(InstanceData* instance, int32_t number) {
    if (LineClaimed(number) || ListenerStopRequested(number)) return true;
    platform::Wake* wake = ListenerWake(number);
    return ServeTunnel(instance, wake, wake != nullptr ? kCtsWaitLimitMs : kIdlePollMs, DeliverReceivedFrame);
}

}  // namespace

void CatchThread(void* coldStartRequest) {
    InstanceData* instance = static_cast<RequestBlock*>(coldStartRequest)->instance;
    platform::Event* startEvent = instance->startEvent;
    platform::Mutex* lineLock = instance->lineLock;
    const int32_t number = instance->instanceNumber;
    char name[kObjectNameSize];
    std::memcpy(name, instance->instanceName, sizeof name);
    name[sizeof name - 1] = '\0';

    RaisePriority(name);
    QEL_LOG(text::kListenerWaiting, name);
    if (!platform::Sys().setEvent(startEvent)) {
        QEL_LOG(text::kListenerSignalFailed, name);
        return;
    }
    // ColdStart resets the BCU meanwhile; the listener stays off the line. A
    // tunnel's server wants its datagrams acknowledged from the start.
    if (!IsTunnelHandle(instance->portHandle) && !SleepUnlessStopped(number, kSettlingMs)) return;
    QEL_LOG(text::kListenerStarted, name);

    CtsWatch cts{name};
    while (!ListenerStopRequested(number)) {
        // Requests first: the line is theirs until no claim is left.
        if (LineClaimed(number)) {
            WaitForListenerWake(number, kIdlePollMs);
            continue;
        }
        bool waited = false;
        if (TakeLineForListening(lineLock)) {
            if (IsTunnelHandle(instance->portHandle))
                waited = ServeTunnelHoldingLine(instance, number);
            else
                waited = TakeAnnouncedFrames(instance, number, cts) == Turn::kCtsOff &&
                         AwaitCtsHoldingLine(instance, number);
            ReleaseComm(lineLock);
        }
        if (!waited) WaitForListenerWake(number, kIdlePollMs);
    }
}

}  // namespace qel
