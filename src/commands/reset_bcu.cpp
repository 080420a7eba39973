#include "commands/reset_bcu.h"

#include "commands/catch_decode.h"
#include "host/log.h"
#include "link/link.h"

namespace qel {

SendResult ResetBCU(InstanceData* instance) {
    QEL_LOG(text::kResetBcu, instance->instanceName);
    return LinkOf(instance->portHandle).check(instance, DeliverReceivedFrame);
}

Result ReadRecovery(RequestBlock* request) {
    InstanceData* instance = request->instance;
    const SendResult reset = ResetBCU(instance);
    if (reset == SendResult::kSent) return Result::kDone;
    if (reset != SendResult::kLineBusy) DropModemLines(instance);
    return Result::kFailed;
}

bool RenewLink(InstanceData* instance) { return LinkOf(instance->portHandle).renew(instance, DeliverReceivedFrame); }

void DropModemLines(InstanceData* instance) { LinkOf(instance->portHandle).dropModemLines(instance); }

}  // namespace qel
