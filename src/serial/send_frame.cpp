#include "listener/catch_decode.h"
#include "platform/platform.h"
#include "serial/frames.h"
#include "serial/line_lock.h"

namespace qel {

int SendFrameBytes(const uint8_t* bytes, uint16_t length, PortHandle port) {
    CommPurgeInput(port);
    for (uint16_t i = 0; i < length; ++i) {
        const int result = i == 0 ? SendFirstByte(bytes[i], port) : SendNextByte(bytes[i], port);
        if (result != kByteAccepted) return result;
    }
    return kByteAccepted;
}

int SendFrame(InstanceData* instance) {
    WaitUntilCommNotBusy(instance->lineLock);
    for (int attempt = 0; attempt < kSendFrameAttempts; ++attempt) {
        const int result = SendFrameBytes(instance->frameBytes, instance->frameLength, instance->portHandle);
        if (result == kByteAccepted) {
            ReleaseComm(instance->lineLock);
            return 0;
        }
        // The BCU's frame comes first. It is a bus telegram like any other, so it
        // is delivered rather than dropped; a reception that failed half-way is
        // answered as the listener answers it, so the BCU offers the frame again
        // instead of feeding its remaining bytes to the next attempts.
        if (result == kBcuWantsToSend) {
            if (ReceiveFrame(instance) == 0) {
                DeliverReceivedFrame(instance);
            } else {
                PulseDtr(instance->portHandle);
            }
        }
        platform::sys().sleepMs(kRetryPauseMs);
    }
    ReleaseComm(instance->lineLock);
    return 1;
}

}  // namespace qel
