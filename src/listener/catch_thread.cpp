#include "listener/catch_thread.h"

#include <cstring>

#include "entry/host_services.h"
#include "instance/priority.h"
#include "listener/catch_decode.h"
#include "listener/flags.h"
#include "platform/platform.h"
#include "serial/frames.h"
#include "serial/line_lock.h"

namespace qel {
namespace {

constexpr uint32_t kStopCheckMs = 10;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Sleeps `ms` but returns early (false) once a stop is requested.
bool SleepUnlessStopped(int32_t number, uint32_t ms) {
    const uint32_t start = platform::sys().tickMs();
    for (;;) {
        if (ListenerStopRequested(number)) return false;
        const uint32_t elapsed = platform::sys().tickMs() - start;
        if (elapsed >= ms) return true;
        const uint32_t left = ms - elapsed;
        platform::sys().sleepMs(left < kStopCheckMs ? left : kStopCheckMs);
    }
}

// One turn with the line: every frame announced while CTS stays on. The port is
// read afresh each turn under the lock, so a port that the port requests
// closed or replaced is followed, and a closed one is never touched.
void TakeAnnouncedFrames(InstanceData* instance, int32_t number) {
    const PortHandle port = instance->portHandle;
    if (port == kNoPort) return;
    while (!ListenerStopRequested(number) && CommGetCts(port)) {
        if (ReceiveFrame(instance) != 0) {
            PulseDtr(port);
        } else {
            CatchDecode(instance);
            SetFrameFlag(instance->instanceNumber);
        }
        platform::sys().sleepMs(kBackToBackPauseMs);
    }
}

}  // namespace

bool HasEibClientName(const char* clientName) {
    for (int i = 0; i < 3; ++i) {
        if (clientName[i] == '\0') return false;
    }
    for (int i = 0; i < 3; ++i) {
        if (Upper(clientName[3 + i]) != "EIB"[i]) return false;
    }
    return true;
}

void CatchThread(void* coldStartRequest) {
    InstanceData* instance = static_cast<RequestBlock*>(coldStartRequest)->instance;
    if (!HasEibClientName(instance->clientName)) {
        QEL_LOG("%s: CatchThread() fail, wrong QelClientName", instance->instanceName);
        return;
    }
    platform::Event* startEvent = instance->startEvent;
    platform::Mutex* lineLock = instance->lineLock;
    const int32_t number = instance->instanceNumber;
    char name[kObjectNameSize];
    std::memcpy(name, instance->instanceName, sizeof name);
    name[sizeof name - 1] = '\0';

    RaisePriority(name);
    QEL_LOG("%s: CatchThread Wait...", name);
    if (!platform::sys().setEvent(startEvent)) {
        QEL_LOG("%s: CatchThread fail on SetEvent() Sync (rc = %d)", name, 0);
        return;
    }
    // ColdStart resets the BCU meanwhile; the listener stays off the line.
    if (!SleepUnlessStopped(number, kSettlingMs)) return;
    QEL_LOG("%s: CatchThread Started...", name);

    while (!ListenerStopRequested(number)) {
        WaitUntilCommNotBusy(lineLock);
        TakeAnnouncedFrames(instance, number);
        ReleaseComm(lineLock);
        SleepUnlessStopped(number, kIdlePollMs);
    }
}

}  // namespace qel
