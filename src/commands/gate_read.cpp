#include "commands/catch_decode.h"
#include "commands/gate_functions.h"
#include "commands/reset_bcu.h"
#include "host/host_functions.h"
#include "link/line_lock.h"

namespace qel {
namespace {

constexpr uint32_t kAnswerWaitMs = 300;

GateBlock* BlockOf(RequestBlock* request) { return static_cast<GateBlock*>(request->params); }

uint16_t CurrentRawValue(RequestBlock* request) {
    InstanceData* instance = request->instance;
    RawValue raw{0, 0};
    if (host::HuxGetGateRawValue(instance->clientId, BlockOf(request)->gateId, &raw) != 0) return 0;
    return raw.value;
}

// The gate's current value stands in until the answer comes.
void Preload(InstanceData* instance, ValueSize size, uint16_t raw) {
    switch (size) {
    case ValueSize::kBit: *instance->valuePtr = raw; break;
    case ValueSize::kByte: instance->lastByteValue = static_cast<uint8_t>(raw); break;
    case ValueSize::kWord: instance->lastWordValue = raw; break;
    default: instance->lastCellValue = static_cast<uint8_t>(raw); break;
    }
}

}  // namespace

// The cell reads and the bus reads: send the request and wait for its own
// answer (its cell, or its group and size); fall back on any other frame that
// came, and reset the BCU when nothing came at all.
Result ExchangeRead(RequestBlock* request, const CommandRow& row) {
    InstanceData* instance = request->instance;
    const int32_t number = instance->instanceNumber;

    const uint16_t current = CurrentRawValue(request);
    {
        // The last values are the listener's too. A line that stays busy
        // would keep the recovery's frames off it as well.
        const LineHold line(instance);
        if (!line.Held()) return Result::kFailed;
        Preload(instance, row.valueSize, current);
    }
    FrameImage frame = ImageOf(row.readTemplate);
    auto awaited = static_cast<uint16_t>(frame.bytes[kCellHighByte] << 8 | frame.bytes[kCellLowByte]);
    if (row.valueSize != ValueSize::kCell) {
        awaited = static_cast<uint16_t>(BlockOf(request)->groupAddress);
        frame.bytes[kGroupHighByte] = HighByte(awaited);
        frame.bytes[kGroupLowByte] = LowByte(awaited);
    }
    ExpectValue(number, row.valueSize, awaited);
    ClearFlags(number);
    if (const SendResult sent = SendDelivering(instance, frame); sent != SendResult::kSent) {
        ForgetExpectedValue(number);
        return sent == SendResult::kLineBusy ? Result::kFailed : ReadRecovery(request);
    }
    const bool answered = WaitValueFlag(number, kAnswerWaitMs);
    ForgetExpectedValue(number);
    if (answered) {
        *instance->valuePtr = ExpectedValue(number);
        return Result::kDone;
    }
    if (FrameFlagSet(number)) return Result::kDone;
    return ReadRecovery(request);
}

Result CheckCommRead(RequestBlock* request, const CommandRow&) {
    *request->instance->valuePtr = 1;
    return ReadRecovery(request);
}

}  // namespace qel
