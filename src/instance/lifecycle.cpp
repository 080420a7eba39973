#include <cstdio>
#include <cstring>

#include "commands/reset_bcu.h"
#include "entry/host_services.h"
#include "entry/operations.h"
#include "instance/instance_numbers.h"
#include "instance/port_control.h"
#include "listener/catch_thread.h"
#include "listener/flags.h"
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
constexpr int kWaitFailed = -1;

bool ListenerRuns(const InstanceData* instance) {
    return instance->listenerThread != nullptr && HoldsInstanceNumber(instance);
}

int InstallCatch(RequestBlock* request) {
    InstanceData* instance = request->instance;
    if (!HasEibClientName(instance->clientName)) {
        QEL_LOG("%s: InstallCatch() fail, wrong QelClientName", instance->instanceName);
        return -1;
    }
    uint32_t id = 0;
    platform::Thread* thread = platform::sys().startThread(CatchThread, request, kListenerStackBytes, &id);
    if (thread == nullptr) {
        QEL_LOG("%s: InstallCatch() fail, on CreateThread", instance->instanceName);
        return -1;
    }
    instance->listenerThread = thread;
    instance->listenerThreadId = id;
    return 0;
}

// Waits for the listener's start signal; fails when the listener ended without
// giving it, so that ColdStart never waits forever.
bool WaitSyncSem(InstanceData* instance) {
    for (;;) {
        switch (platform::sys().waitEvent(instance->startEvent, kStartWaitSliceMs)) {
        case platform::WaitResult::kSignalled:
        case platform::WaitResult::kAbandoned:
            return true;
        case platform::WaitResult::kFailed:
            return false;
        case platform::WaitResult::kTimedOut:
            if (platform::sys().threadEnded(instance->listenerThread)) {
                // It may have signalled just before it ended.
                return platform::sys().waitEvent(instance->startEvent, 0) == platform::WaitResult::kSignalled;
            }
            break;
        }
    }
}

// Asks the listener to stop and waits until it has gone; false when it did not
// end in time (it is then left running, with its lock and port).
bool StopListener(InstanceData* instance) {
    RequestListenerStop(instance->instanceNumber);
    if (!platform::sys().joinThread(instance->listenerThread, kListenerStopLimitMs)) return false;
    instance->listenerThread = nullptr;
    instance->listenerThreadId = 0;
    return true;
}

// Always 1, as the caller does not look at it; `gone` tells whether the lock may be closed.
int CloseCatchThread(InstanceData* instance, bool* gone) {
    *gone = true;
    if (ListenerRuns(instance) && !StopListener(instance)) {
        QEL_LOG("%s: CloseCatchThread failed", instance->instanceName);
        *gone = false;
    }
    platform::sys().sleepMs(kEndPauseMs);
    if (*gone && instance->lineLock != nullptr) {
        if (!platform::sys().closeMutex(instance->lineLock))
            QEL_LOG("%s: Close ComBusy Semaphore failed", instance->instanceName);
        instance->lineLock = nullptr;
    }
    return 1;
}

int32_t FailAfterPortOpen(RequestBlock* request) {
    ClosePortOf(request->instance);
    return 2;
}

}  // namespace

int32_t ColdStart(RequestBlock* request) {
    if (request == nullptr || request->instance == nullptr) return 2;
    InstanceData* instance = request->instance;
    const auto* params = static_cast<const ColdStartParams*>(request->params);
    if (ListenerRuns(instance)) {
        QEL_LOG("%s: ColdStart() fail, instance is running", instance->instanceName);
        return 2;
    }
    // A record that still holds a number from an earlier failed start keeps it.
    const int32_t number = HoldsInstanceNumber(instance) ? instance->instanceNumber : ReserveInstanceNumber(instance);
    if (number == 0) {
        QEL_LOG("QelEIB: ColdStart() fail, all %d instances in use", kLastInstanceNumber);
        return 2;
    }
    instance->instanceNumber = number;
    std::snprintf(instance->instanceName, sizeof instance->instanceName, "Qel%s%02d", "EIB", static_cast<int>(number));
    instance->driverVersion = kDriverVersion;
    QEL_LOG("%s: ColdStart() entered, Version: %02x.%02x", instance->instanceName, kDriverVersion >> 8,
            kDriverVersion & 0xFF);
    if (params == nullptr) {
        QEL_LOG("%s: ColdStart() fail, no parameter block", instance->instanceName);
        return 2;
    }

    instance->portEnabled = params->portEnabled;
    if (params->portEnabled == 0) return 0;

    PortSpec portSpec{};
    std::memcpy(portSpec.portName, params->portName, kPortNameSize);
    portSpec.line = params->line;
    portSpec.openFlags = kColdStartOpenFlags;
    const PortHandle handle = OpenPortSpec(portSpec);
    if (handle == kNoPort) {
        char name[kPortNameSize + 1];
        CopyPortName(params->portName, name);
        QEL_LOG("%s: Fail to open %s", instance->instanceName, name);
        return 2;
    }
    instance->portHandle = handle;
    CommSetReadTimeout(handle, params->readTimeout);
    instance->portSpec = portSpec;
    instance->readTimeout = params->readTimeout;
    instance->hostByte = request->hostByte;

    if (!CommSetEventMask(handle, platform::kEventTxEmpty))
        QEL_LOG("%s: ColdStart() SetCommMask() fail", instance->instanceName);
    CommSetDtr(handle, 1);
    CommSetRts(handle, 0);

    std::memcpy(instance->clientName, instance->instanceName, kClientNameSize - 1);
    instance->clientName[kClientNameSize - 1] = '\0';
    const uint16_t status = host::HuxMkClient(instance->clientName, &instance->clientId);
    if (status != 0) {
        QEL_LOG("%s: Error while registering as a Huxtor client, rc = %hu", instance->instanceName,
                static_cast<unsigned>(status));
        return 2;
    }

    std::snprintf(instance->lineLockName, sizeof instance->lineLockName, "COMMBUSY%.23s", instance->instanceName);
    std::snprintf(instance->startEventName, sizeof instance->startEventName, "SYNCTHREAD%.21s",
                  instance->instanceName);
    instance->startEvent = platform::sys().createEvent(instance->startEventName);
    if (instance->startEvent == nullptr) {
        QEL_LOG("%s: failed create Sync. Threads Semaphore", instance->instanceName);
        return FailAfterPortOpen(request);
    }
    instance->lineLock = platform::sys().createMutex(instance->lineLockName);
    if (instance->lineLock == nullptr) {
        QEL_LOG("%s: failed create Mutex CommBusy Semaphore", instance->instanceName);
        return FailAfterPortOpen(request);
    }

    ClearListenerStop(number);
    if (const int rc = InstallCatch(request); rc != 0) {
        QEL_LOG("%s: failed InstallCatch, rc = %d", instance->instanceName, rc);
        return FailAfterPortOpen(request);
    }
    if (!WaitSyncSem(instance)) {
        QEL_LOG("%s: WaitSyncSem fail %d", instance->instanceName, kWaitFailed);
        StopListener(instance);
        return FailAfterPortOpen(request);
    }
    if (!platform::sys().closeEvent(instance->startEvent))
        QEL_LOG("%s: ColdStart() CloseSync Semaphore failed", instance->instanceName);
    instance->startEvent = nullptr;

    // Only this instance's slots: a read of another running instance keeps its answer.
    ClearFlags(number);
    const int rc = ResetBCU(request);
    QEL_LOG("%s: ColdStart() ResetCommunication done (rc = %d)", instance->instanceName, rc);
    QEL_LOG("%s: ColdStart() end OK", instance->instanceName);
    return 0;
}

int32_t WarmStart(RequestBlock* request) {
    if (request == nullptr || request->instance == nullptr) return 2;
    InstanceData* instance = request->instance;
    if (instance->portHandle == kPseudoPort) return 0;
    CommPurgeInput(instance->portHandle);
    CommSetDtr(instance->portHandle, 1);
    platform::sys().sleepMs(kWarmStartPauseMs);
    if (ResetBCU(request) == 0) return 0;
    QEL_LOG("%s: WarmStart(), ResetBCU Communcation() FAIL", instance->instanceName);
    CommSetDtr(instance->portHandle, 0);
    CommSetRts(instance->portHandle, 0);
    return 2;
}

int32_t EndQel(RequestBlock* request) {
    if (request == nullptr || request->instance == nullptr) return 2;
    InstanceData* instance = request->instance;
    QEL_LOG("%s: EndQel()", instance->instanceName);
    host::HuxRmClient(instance->clientId);
    QEL_LOG("%s: EndQel() Remove huxtor client", instance->instanceName);

    bool listenerGone = true;
    CloseCatchThread(instance, &listenerGone);
    // A listener that would not stop may still use the port: it stays open.
    const int32_t result = listenerGone ? ClosePortOf(instance) : 2;

    ReleaseInstanceNumber(instance);
    QEL_LOG("%s: No. of Instances left: %d", instance->instanceName, static_cast<int>(InstanceCount()));
    instance->instanceNumber = -1;
    return result;
}

}  // namespace qel
