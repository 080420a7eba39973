#include <cstdio>
#include <cstring>

#include "commands/read_signals.h"
#include "commands/reset_bcu.h"
#include "host/log.h"
#include "instance/driver_version.h"
#include "instance/instance_numbers.h"
#include "instance/operations.h"
#include "instance/port_control.h"
#include "listener/catch_thread.h"
#include "link/listener_stop.h"
#include "link/line_lock.h"
#include "link/link.h"
#include "link/listener_wake.h"
#include "platform/platform.h"

namespace qel {
namespace {

constexpr uint16_t kColdStartOpenFlags = 0x0101;
constexpr uint32_t kStartWaitSliceMs = 50;
constexpr uint32_t kStartWaitLimitMs = 10000;
// Requests in flight when EndQel comes each wait at most 5 s for the line, and
// then a few seconds for their frames.
constexpr uint32_t kRequestDrainLimitMs = 20000;
constexpr uint32_t kListenerStopLimitMs = 10000;
constexpr uint32_t kEndPauseMs = 1000;
constexpr uint32_t kWarmStartPauseMs = 3000;
// The listener thread: a listener that outlived EndQel frees its number as it ends.
void RunListener(void* coldStartRequest) {
    const int32_t number = static_cast<RequestBlock*>(coldStartRequest)->instance->instanceNumber;
    CatchThread(coldStartRequest);
    ReleaseIfOrphaned(number);
}

// Starts the listener thread; false (logged) when the platform refuses. A
// listener without a wake still runs, polling the line.
bool InstallCatch(RequestBlock* request) {
    InstanceData* instance = request->instance;
    PrepareListenerWake(instance->instanceNumber);
    uint32_t id = 0;
    platform::Thread* thread = platform::Sys().startThread(RunListener, request, kListenerStackBytes, &id);
    if (thread == nullptr) {
        QEL_LOG(text::kThreadStartFailed, instance->instanceName);
        return false;
    }
    instance->listenerThread = thread;
    instance->listenerThreadId = id;
    return true;
}

enum class StartWait : uint8_t { kStarted, kFailed, kTimedOut };

// Waits for the listener's start signal, at most 10 s; fails when the listener
// ended without giving it.
StartWait WaitSyncSem(InstanceData* instance) {
    const uint32_t start = platform::Sys().tickMs();
    for (;;) {
        switch (platform::Sys().waitEvent(instance->startEvent, kStartWaitSliceMs)) {
        case platform::WaitResult::kSignalled:
        case platform::WaitResult::kAbandoned:
            return StartWait::kStarted;
        case platform::WaitResult::kFailed:
            return StartWait::kFailed;
        case platform::WaitResult::kTimedOut:
            if (platform::Sys().threadEnded(instance->listenerThread)) {
                // It may have signalled just before it ended.
                return platform::Sys().waitEvent(instance->startEvent, 0) == platform::WaitResult::kSignalled
                           ? StartWait::kStarted
                           : StartWait::kFailed;
            }
            if (platform::Sys().tickMs() - start >= kStartWaitLimitMs) return StartWait::kTimedOut;
            break;
        }
    }
}

// Asks the listener to stop and waits until it has gone. One that does not end
// in time is let go: its thread object goes when it ends, and its instance
// number stays reserved until then, so that no later start revives it. It may
// still use the line: its lock and port stay. False in that case.
bool StopListener(InstanceData* instance) {
    if (instance->listenerThread == nullptr) return true;
    RequestListenerStop(instance->instanceNumber);
    const bool ended = platform::Sys().joinThread(instance->listenerThread, kListenerStopLimitMs);
    if (!ended) {
        // Marked first: a listener that ends from here on frees its number
        // itself; one that ended before the mark is freed here, once.
        OrphanInstanceNumber(instance->instanceNumber);
        if (platform::Sys().threadEnded(instance->listenerThread)) ReleaseIfOrphaned(instance->instanceNumber);
        platform::Sys().detachThread(instance->listenerThread);
    }
    instance->listenerThread = nullptr;
    instance->listenerThreadId = 0;
    return ended;
}

// Stops the listener; false (logged) when it would not stop. A tunnel's
// server is told at once, while nobody serves the tunnel any more.
bool CloseCatchThread(InstanceData* instance) {
    bool gone = true;
    if (ListenerRuns(instance) && !StopListener(instance)) {
        QEL_LOG(text::kListenerStopFailed, instance->instanceName);
        gone = false;
    }
    if (gone) {
        const LineHold line(instance);
        if (line.Held()) HangUpLink(instance);
    }
    platform::Sys().sleepMs(kEndPauseMs);
    return gone;
}

void CloseLineLock(InstanceData* instance) {
    if (instance->lineLock == nullptr) return;
    if (!platform::Sys().closeMutex(instance->lineLock)) QEL_LOG(text::kLineLockCloseFailed, instance->instanceName);
    instance->lineLock = nullptr;
}

void RemoveHostClient(InstanceData* instance) {
    if (instance->clientRegistered == 0) return;
    host::HuxRmClient(instance->clientId);
    instance->clientRegistered = 0;
}

// Closes the port with the line held, so that no request is on it meanwhile.
Result ClosePortHoldingLine(InstanceData* instance) {
    const LineHold line(instance);
    if (!line.Held()) return Result::kFailed;
    return ClosePortOf(instance);
}

// Undoes a failed start in reverse order: listener, line lock, start event,
// host client, port. A retry on the same record and port then starts afresh.
Result FailAfterPortOpen(RequestBlock* request) {
    InstanceData* instance = request->instance;
    const bool listenerGone = StopListener(instance);
    if (listenerGone) CloseLineLock(instance);
    if (instance->startEvent != nullptr) {
        platform::Sys().closeEvent(instance->startEvent);
        instance->startEvent = nullptr;
    }
    RemoveHostClient(instance);
    if (listenerGone) ClosePortOf(instance);
    return Result::kFailed;
}

}  // namespace

Result ColdStart(RequestBlock* request) {
    InstanceData* instance = request->instance;
    const auto* params = static_cast<const ColdStartParams*>(request->params);
    if (ListenerRuns(instance)) {
        QEL_LOG(text::kColdStartRunning, instance->instanceName);
        return Result::kFailed;
    }
    // A record that still holds a number from an earlier failed start keeps it.
    const int32_t number = HoldsInstanceNumber(instance) ? instance->instanceNumber : ReserveInstanceNumber(instance);
    if (number == 0) {
        QEL_LOG(text::kAllInstancesInUse, static_cast<int>(kLastInstanceNumber));
        return Result::kFailed;
    }
    instance->instanceNumber = number;
    std::snprintf(instance->instanceName, sizeof instance->instanceName, "Qel%s%02d", "EIB", static_cast<int>(number));
    instance->driverVersion = kDriverVersion;
    QEL_LOG(text::kColdStartEntered, instance->instanceName, kDriverVersion >> 8,
            kDriverVersion & 0xFF);
    if (params == nullptr) {
        QEL_LOG(text::kNoColdStartParams, instance->instanceName);
        return Result::kFailed;
    }

    instance->portEnabled = params->portEnabled;
    if (params->portEnabled == 0) return Result::kDone;

    PortSettings settings{};
    std::memcpy(settings.portName, params->portName, kPortNameSize);
    settings.line = params->line;
    settings.openFlags = kColdStartOpenFlags;
    bool mapBroken = false;
    const PortHandle handle = OpenConfiguredPort(settings, instance->instanceName, &mapBroken);
    if (handle == kNoPort) {
        char name[kPortNameSize + 1];
        CopyPortName(params->portName, name);
        if (!mapBroken) QEL_LOG(text::kFailToOpen, instance->instanceName, name);
        return Result::kFailed;
    }
    instance->portHandle = handle;
    instance->portSettings = settings;
    instance->readTimeout = params->readTimeout;
    instance->hostByte = request->hostByte;

    LinkOf(handle).start(instance, params->readTimeout);

    std::memcpy(instance->clientName, instance->instanceName, kClientNameSize - 1);
    instance->clientName[kClientNameSize - 1] = '\0';
    const uint16_t status = host::HuxMkClient(instance->clientName, &instance->clientId);
    if (status != 0) {
        QEL_LOG(text::kClientRegistrationFailed, instance->instanceName, static_cast<unsigned>(status));
        return FailAfterPortOpen(request);
    }
    instance->clientRegistered = 1;

    std::snprintf(instance->lineLockName, sizeof instance->lineLockName, "COMMBUSY%.23s", instance->instanceName);
    std::snprintf(instance->startEventName, sizeof instance->startEventName, "SYNCTHREAD%.21s",
                  instance->instanceName);
    instance->startEvent = platform::Sys().createEvent(instance->startEventName);
    if (instance->startEvent == nullptr) {
        QEL_LOG(text::kStartEventFailed, instance->instanceName);
        return FailAfterPortOpen(request);
    }
    instance->lineLock = platform::Sys().createMutex(instance->lineLockName);
    if (instance->lineLock == nullptr) {
        QEL_LOG(text::kLineLockFailed, instance->instanceName);
        return FailAfterPortOpen(request);
    }

    ClearListenerStop(number);
    if (!InstallCatch(request)) {
        QEL_LOG(text::kInstallCatchFailed, instance->instanceName);
        return FailAfterPortOpen(request);
    }
    if (const StartWait started = WaitSyncSem(instance); started != StartWait::kStarted) {
        QEL_LOG(started == StartWait::kFailed ? text::kStartWaitFailed : text::kStartWaitTimedOut,
                instance->instanceName);
        return FailAfterPortOpen(request);
    }
    if (!platform::Sys().closeEvent(instance->startEvent)) QEL_LOG(text::kStartEventCloseFailed, instance->instanceName);
    instance->startEvent = nullptr;

    // Only this instance's slots: a read of another running instance keeps its answer.
    ClearFlags(number);
    const int rc = ResetBCU(instance) == SendResult::kSent ? 0 : 1;
    QEL_LOG(text::kResetDone, instance->instanceName, rc);
    QEL_LOG(text::kColdStartDone, instance->instanceName);
    return Result::kDone;
}

Result WarmStart(RequestBlock* request) {
    InstanceData* instance = request->instance;
    if (instance->portHandle == kPseudoPort) return Result::kDone;
    if (!LinkOf(instance->portHandle).clearLine(instance)) {
        QEL_LOG(text::kWarmStartFailed, instance->instanceName);
        return Result::kFailed;
    }
    platform::Sys().sleepMs(kWarmStartPauseMs);
    const SendResult reset = ResetBCU(instance);
    if (reset == SendResult::kSent) return Result::kDone;
    QEL_LOG(text::kWarmStartFailed, instance->instanceName);
    if (reset != SendResult::kLineBusy) DropModemLines(instance);
    return Result::kFailed;
}

Result EndQel(RequestBlock* request) {
    InstanceData* instance = request->instance;
    QEL_LOG(text::kEndQel, instance->instanceName);
    // Only the start that registered the client removes it: the host may have
    // handed the same id to another instance since.
    RemoveHostClient(instance);
    QEL_LOG(text::kClientRemoved, instance->instanceName);

    // Requests on other host threads leave the line before it goes.
    CloseToLineRequests(instance, kRequestDrainLimitMs);
    Result result = Result::kFailed;
    if (CloseCatchThread(instance)) {
        result = ClosePortHoldingLine(instance);
        CloseLineLock(instance);
        ReleaseInstanceNumber(instance);
    }
    // A listener that would not stop may still use the port and lock: they
    // stay, and its number is freed when it ends.
    QEL_LOG(text::kInstancesLeft, instance->instanceName, static_cast<int>(InstanceCount()));
    instance->instanceNumber = -1;
    return result;
}

}  // namespace qel
