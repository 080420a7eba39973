#include "commands/reset_bcu.h"

#include "commands/catch_decode.h"
#include "commands/command_table.h"
#include "host/log.h"
#include "platform/platform.h"

namespace qel {
namespace {

SendResult SendTemplate(InstanceData* instance, int index) {
    LoadFrame(CommandTable[index].writeTemplate, instance);
    return SendDelivering(instance);
}

}  // namespace

SendResult ResetBCU(InstanceData* instance) {
    QEL_LOG(text::kResetBcu, instance->instanceName);
    if (const SendResult result = SendTemplate(instance, kResetBcu); result != SendResult::kSent) return result;
    platform::Sys().sleepMs(kResetPauseMs);
    if (const SendResult result = SendTemplate(instance, kLinkLayer); result != SendResult::kSent) return result;
    LoadFrame(CommandTable[kPut0116].writeTemplate, instance);
    instance->frameBytes[kCellValueByte] = 0;
    return SendDelivering(instance);
}

Result ReadRecovery(RequestBlock* request) {
    if (ResetBCU(request->instance) == SendResult::kSent) return Result::kDone;
    CommSetDtr(request->instance->portHandle, 0);
    CommSetRts(request->instance->portHandle, 0);
    return Result::kFailed;
}

}  // namespace qel
