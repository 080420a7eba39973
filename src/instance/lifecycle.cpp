#include <cstdio>
#include <cstring>

#include "commands/read_signals.h"
#include "commands/reset_bcu.h"
#include "host/log.h"
#include "instance/instance_numbers.h"
#include "instance/operations.h"
#include "instance/port_control.h"
#include "listener/catch_thread.h"
#include "listener/listener_stop.h"
#include "platform/platform.h"
#include "serial/comm.h"

namespace qel {
namespace {

constexpr uint16_t kDriverVersion = 0x0112;
constexpr uint16_t kColdStartOpenFlags = 0x0101;
constexpr uint32_t kStartWaitSliceMs = 50;
constexpr uint32_t kListenerStopLimitMs = 10000;
constexpr uint32_t kEndPauseMs = 1000;
constexpr uint32_t kWarmStartPauseMs = 3000;
// Starts the listener thread; false (logged) when the platform refuses.
bool InstallCatch(RequestBlock* request) {
    InstanceData* instance = request->instance;
    uint32_t id = 0;
    platform::Thread* thread = platform::Sys().startThread(CatchThread, request, kListenerStackBytes, &id);
    if (thread == nullptr) {
        QEL_LOG(text::kThreadStartFailed, instance->instanceName);
        return false;
    }
    instance->listenerThread = thread;
    instance->listenerThreadId = id;
    return true;
}

// Waits for the listener's start signal; fails when the listener ended without
// giving it, so that ColdStart never waits forever.
bool WaitSyncSem(InstanceData* instance) {
    for (;;) {
        switch (platform::Sys().waitEvent(instance->startEvent, kStartWaitSliceMs)) {
        case platform::WaitResult::kSignalled:
        case platform::WaitResult::kAbandoned:
            return true;
        case platform::WaitResult::kFailed:
            return false;
        case platform::WaitResult::kTimedOut:
            if (platform::Sys().threadEnded(instance->listenerThread)) {
                // It may have signalled just before it ended.
                return platform::Sys().waitEvent(instance->startEvent, 0) == platform::WaitResult::kSignalled;
            }
            break;
        }
    }
}

// Asks the listener to stop and waits until it has gone; false when it did not
// end in time (it is then left running, with its lock and port).
bool StopListener(InstanceData* instance) {
    RequestListenerStop(instance->instanceNumber);
    if (!platform::Sys().joinThread(instance->listenerThread, kListenerStopLimitMs)) return false;
    instance->listenerThread = nullptr;
    instance->listenerThreadId = 0;
    return true;
}

// Stops the listener and closes the line lock; false when the listener would
// not stop (the lock then stays, as the listener may still hold it).
bool CloseCatchThread(InstanceData* instance) {
    bool gone = true;
    if (ListenerRuns(instance) && !StopListener(instance)) {
        QEL_LOG(text::kListenerStopFailed, instance->instanceName);
        gone = false;
    }
    platform::Sys().sleepMs(kEndPauseMs);
    if (gone && instance->lineLock != nullptr) {
        if (!platform::Sys().closeMutex(instance->lineLock)) QEL_LOG(text::kLineLockCloseFailed, instance->instanceName);
        instance->lineLock = nullptr;
    }
    return gone;
}

Result FailAfterPortOpen(RequestBlock* request) {
    ClosePortOf(request->instance);
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
    const PortHandle handle = OpenConfiguredPort(settings);
    if (handle == kNoPort) {
        char name[kPortNameSize + 1];
        CopyPortName(params->portName, name);
        QEL_LOG(text::kFailToOpen, instance->instanceName, name);
        return Result::kFailed;
    }
    instance->portHandle = handle;
    CommSetReadTimeout(handle, params->readTimeout);
    instance->portSettings = settings;
    instance->readTimeout = params->readTimeout;
    instance->hostByte = request->hostByte;

    if (!CommSetEventMask(handle, platform::kEventTxEmpty))
        QEL_LOG(text::kSetCommMaskFailed, instance->instanceName);
    CommSetDtr(handle, 1);
    CommSetRts(handle, 0);

    std::memcpy(instance->clientName, instance->instanceName, kClientNameSize - 1);
    instance->clientName[kClientNameSize - 1] = '\0';
    const uint16_t status = host::HuxMkClient(instance->clientName, &instance->clientId);
    if (status != 0) {
        QEL_LOG(text::kClientRegistrationFailed, instance->instanceName, static_cast<unsigned>(status));
        return Result::kFailed;
    }

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
    if (!WaitSyncSem(instance)) {
        QEL_LOG(text::kStartWaitFailed, instance->instanceName);
        StopListener(instance);
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
    CommPurgeInput(instance->portHandle);
    CommSetDtr(instance->portHandle, 1);
    platform::Sys().sleepMs(kWarmStartPauseMs);
    if (ResetBCU(instance) == SendResult::kSent) return Result::kDone;
    QEL_LOG(text::kWarmStartFailed, instance->instanceName);
    CommSetDtr(instance->portHandle, 0);
    CommSetRts(instance->portHandle, 0);
    return Result::kFailed;
}

Result EndQel(RequestBlock* request) {
    InstanceData* instance = request->instance;
    QEL_LOG(text::kEndQel, instance->instanceName);
    host::HuxRmClient(instance->clientId);
    QEL_LOG(text::kClientRemoved, instance->instanceName);

    // A listener that would not stop may still use the port: it stays open.
    const Result result = CloseCatchThread(instance) ? ClosePortOf(instance) : Result::kFailed;

    ReleaseInstanceNumber(instance);
    QEL_LOG(text::kInstancesLeft, instance->instanceName, static_cast<int>(InstanceCount()));
    instance->instanceNumber = -1;
    return result;
}

}  // namespace qel
