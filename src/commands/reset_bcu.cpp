#include "commands/reset_bcu.h"

#include "commands/catch_decode.h"
#include "commands/command_table.h"
#include "host/log.h"
#include "platform/platform.h"
#include "serial/line_lock.h"
#include "tunnel/tunnel.h"

namespace qel {
namespace {

SendResult SendTemplate(InstanceData* instance, int index) {
    return SendDelivering(instance, ImageOf(CommandTable[index].writeTemplate));
}

}  // namespace

SendResult ResetBCU(InstanceData* instance) {
    QEL_LOG(text::kResetBcu, instance->instanceName);
    if (IsTunnelHandle(instance->portHandle)) {
        const LineHold line(instance);
        if (!line.Held()) return SendResult::kLineBusy;
        if (IsTunnelHandle(instance->portHandle))
            return CheckTunnel(instance, DeliverReceivedFrame) ? SendResult::kSent : SendResult::kFailed;
    }
    if (const SendResult result = SendTemplate(instance, kResetBcu); result != SendResult::kSent) return result;
    platform::Sys().sleepMs(kResetPauseMs);
    if (const SendResult result = SendTemplate(instance, kLinkLayer); result != SendResult::kSent) return result;
    FrameImage clear = ImageOf(CommandTable[kPut0116].writeTemplate);
    clear.bytes[kCellValueByte] = 0;
    return SendDelivering(instance, clear);
}

Result ReadRecovery(RequestBlock* request) {
    InstanceData* instance = request->instance;
    const SendResult reset = ResetBCU(instance);
    if (reset == SendResult::kSent) return Result::kDone;
    if (reset != SendResult::kLineBusy) DropModemLines(instance);
    return Result::kFailed;
}

bool RenewLink(InstanceData* instance) {
    const LineHold line(instance);
    return line.Held() && IsTunnelHandle(instance->portHandle) && RenewTunnel(instance, DeliverReceivedFrame);
}

void DropModemLines(InstanceData* instance) {
    if (IsTunnelHandle(instance->portHandle)) return;
    const LineHold line(instance);
    if (!line.Held()) return;
    CommSetDtr(instance->portHandle, 0);
    CommSetRts(instance->portHandle, 0);
}

}  // namespace qel
