#include "listener/catch_thread.h"

#include <cstring>

#include "commands/catch_decode.h"
#include "host/log.h"
#include "link/line_lock.h"
#include "link/line_priority.h"
#include "link/link.h"
#include "link/listener_stop.h"
#include "link/listener_wake.h"
#include "link/poll_until.h"
#include "platform/platform.h"

namespace qel {
namespace {

// Sleeps `ms` but returns early (false) once a stop is requested.
bool SleepUnlessStopped(int32_t number, uint32_t ms) {
    return !PollUntil(ms, [number] { return ListenerStopRequested(number); },
                      [number](uint32_t leftMs) { WaitForListenerWake(number, leftMs); });
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
    const uint32_t startMs = LinkOf(instance->portHandle).listenerStartMs;
    if (startMs != 0 && !SleepUnlessStopped(number, startMs)) return;
    QEL_LOG(text::kListenerStarted, name);

    ListenerTurn turn{number, name, DeliverReceivedFrame, false};
    while (!ListenerStopRequested(number)) {
        // Requests first: the line is theirs until no claim is left.
        if (LineClaimed(number)) {
            WaitForListenerWake(number, kIdlePollMs);
            continue;
        }
        bool waited = false;
        if (TakeLineForListening(lineLock)) {
            // The link is read afresh each turn: the port requests may have replaced it.
            waited = LinkOf(instance->portHandle).serve(instance, &turn);
            ReleaseComm(lineLock);
        }
        if (!waited) WaitForListenerWake(number, kIdlePollMs);
    }
}

}  // namespace qel
