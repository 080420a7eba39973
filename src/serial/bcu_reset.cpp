#include "link/bcu_frames.h"
#include "platform/platform.h"
#include "serial/handshake_line.h"

namespace qel {
namespace {

// A port request may change the link between the frames: each goes to the one behind the handle.
SendResult SendOnLink(InstanceData* instance, const uint8_t* frame, FrameHandler onFrame) {
    return LinkOf(instance->portHandle).send(instance, frame, onFrame);
}

}  // namespace

SendResult ResetBcuLine(InstanceData* instance, FrameHandler onFrame) {
    if (const SendResult result = SendOnLink(instance, kResetBcuFrame, onFrame); result != SendResult::kSent)
        return result;
    platform::Sys().sleepMs(kResetPauseMs);
    if (const SendResult result = SendOnLink(instance, kLinkLayerFrame, onFrame); result != SendResult::kSent)
        return result;
    return SendOnLink(instance, kPut0116Frame, onFrame);
}

}  // namespace qel
