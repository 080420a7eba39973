#include "platform/platform.h"
#include "serial/frames.h"
#include "link/line_lock.h"
#include "link/line_trace.h"
#include "serial/port_handle.h"

namespace qel {

ByteResult SendFrameBytes(const uint8_t* bytes, uint16_t length, PortHandle port) {
    CommPurgeInput(port);
    for (uint16_t i = 0; i < length; ++i) {
        const ByteResult result = i == 0 ? SendFirstByte(bytes[i], port) : SendNextByte(bytes[i], port);
        if (result != ByteResult::kAccepted) return result;
    }
    return ByteResult::kAccepted;
}

SendResult SendFrame(InstanceData* instance, const uint8_t* frame, BcuFrameHandler onBcuFrame) {
    if (!WaitUntilCommNotBusy(instance)) return SendResult::kLineBusy;
    // The frame buffers are the line's: loaded only with the line held.
    LoadFrame(frame, instance);
    TraceNote(instance->portHandle, "send frame");
    const uint32_t start = platform::Sys().tickMs();
    for (int failed = 0; failed < kSendFrameAttempts;) {
        const ByteResult result = SendFrameBytes(instance->frameBytes, instance->frameLength, instance->portHandle);
        if (result == ByteResult::kAccepted) {
            TraceNote(instance->portHandle, "send frame done");
            ReleaseComm(instance->lineLock);
            return SendResult::kSent;
        }
        // The BCU's frame comes first. It is a bus telegram like any other, so it
        // is handed on rather than dropped, and the send goes on at once: under
        // bus traffic a pause here would meet the next frame, and the next.
        if (result == ByteResult::kBcuWantsToSend) {
            if (ReceiveFrame(instance) == ReceiveResult::kReceived) {
                onBcuFrame(instance);
                if (platform::Sys().tickMs() - start < kCollisionLimitMs) continue;
                break;
            }
            // A reception that failed half-way is answered as the listener
            // answers it, so the BCU offers the frame again instead of feeding
            // its remaining bytes to the next attempts.
            PulseDtr(instance->portHandle);
        }
        ++failed;
        platform::Sys().sleepMs(kRetryPauseMs);
    }
    TraceNote(instance->portHandle, "send frame failed");
    ReleaseComm(instance->lineLock);
    return SendResult::kFailed;
}

}  // namespace qel
