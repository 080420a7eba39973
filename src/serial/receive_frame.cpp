#include <cstring>

#include "platform/platform.h"
#include "serial/frames.h"
#include "link/line_trace.h"
#include "serial/port_handle.h"

namespace qel {

// A message byte equal to the header byte is data like any other: values and
// group addresses take every byte value, and a frame refused for it would be
// offered again and refused for ever.
bool ReceiveFrameBytes(uint8_t* destination, uint8_t count, PortHandle port) {
    CommPurgeInput(port);
    for (uint8_t i = 0; i < count; ++i) {
        const uint32_t limitMs = i + 1 == count ? kLastOctetLimitMs : kSlaveByteLimitMs;
        if (!SlaveExchangeByte(0x00, port, &destination[i], limitMs)) return false;
    }
    return true;
}

ReceiveResult ReceiveFrame(InstanceData* instance) {
    const PortHandle port = instance->portHandle;
    TraceNote(port, "receive frame");
    CommPurgeInput(port);
    instance->receivedLength = 0;
    std::memset(instance->receivedBytes, 0, sizeof instance->receivedBytes);
    uint8_t header = 0;
    if (!SlaveExchangeByte(0xFF, port, &header)) return ReceiveResult::kFailed;
    if (!IsHeaderByte(header)) return ReceiveResult::kFailed;
    instance->receivedBytes[0] = header;
    const uint8_t count = header & 0x1F;
    if (!ReceiveFrameBytes(instance->receivedBytes + 1, count, port)) return ReceiveResult::kFailed;
    instance->receivedLength = static_cast<int16_t>(count + 1);
    TraceNote(port, "receive frame done");
    return ReceiveResult::kReceived;
}

void PulseDtr(PortHandle port) {
    CommSetDtr(port, 0);
    platform::Sys().sleepMs(kDtrPulseMs);
    CommSetDtr(port, 1);
}

}  // namespace qel
