#include "commands/reset_bcu.h"

#include "commands/command_table.h"
#include "commands/templates.h"
#include "entry/host_services.h"
#include "platform/platform.h"
#include "serial/frames.h"

namespace qel {
namespace {

int SendTemplate(InstanceData* instance, int index) {
    LoadFrame(WriteTemplate(index), instance);
    return SendFrame(instance);
}

}  // namespace

int ResetBCU(RequestBlock* request) {
    InstanceData* instance = request->instance;
    QEL_LOG("%s: ResetBCU", instance->instanceName);
    if (const int result = SendTemplate(instance, kResetBcu); result != 0) return result;
    platform::sys().sleepMs(kResetPauseMs);
    if (const int result = SendTemplate(instance, kLinkLayer); result != 0) return result;
    LoadFrame(WriteTemplate(kPut0116), instance);
    instance->frameBytes[kCellValueByte] = 0;
    return SendFrame(instance);
}

int ReadRecovery(RequestBlock* request) {
    if (ResetBCU(request) == 0) return 0;
    CommSetDtr(request->instance->portHandle, 0);
    CommSetRts(request->instance->portHandle, 0);
    return 2;
}

}  // namespace qel
