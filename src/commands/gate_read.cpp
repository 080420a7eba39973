#include "commands/command_table.h"
#include "commands/reset_bcu.h"
#include "commands/templates.h"
#include "entry/host_services.h"
#include "entry/operations.h"
#include "instance/priority.h"
#include "listener/flags.h"
#include "platform/platform.h"
#include "serial/frames.h"

namespace qel {
namespace {

using ReadFunction = int (*)(RequestBlock* request, int index);

constexpr uint32_t kAnswerWaitMs = 300;
constexpr uint32_t kFlagPollMs = 10;
constexpr uint32_t kPriorityTailMs = 10;

GateBlock* BlockOf(RequestBlock* request) { return static_cast<GateBlock*>(request->params); }

uint16_t CurrentRawValue(RequestBlock* request) {
    InstanceData* instance = request->instance;
    RawValue raw{0, 0};
    if (host::HuxGetGateRawValue(instance->clientId, BlockOf(request)->gateId, &raw) != 0) return 0;
    return raw.value;
}

// Polls every 10 ms; ends at the first poll at or after 300 ms.
bool WaitValueFlag(int32_t number) {
    const uint32_t start = platform::sys().tickMs();
    for (;;) {
        if (ValueFlagSet(number)) break;
        if (platform::sys().tickMs() - start >= kAnswerWaitMs) break;
        platform::sys().sleepMs(kFlagPollMs);
    }
    return ValueFlagSet(number);
}

ValueSize SizeOf(int index) {
    switch (index) {
    case kGroupBit: return ValueSize::kBit;
    case kGroupByte: return ValueSize::kByte;
    case kGroupWord: return ValueSize::kWord;
    case kGet0116:
    case kGetLayer: return ValueSize::kCell;
    default: return ValueSize::kNone;
    }
}

void Preload(InstanceData* instance, int index, uint16_t raw) {
    switch (index) {
    case kGroupBit: *instance->valuePtr = raw; break;
    case kGroupByte: instance->lastByteValue = static_cast<uint8_t>(raw); break;
    case kGroupWord: instance->lastWordValue = raw; break;
    default: instance->lastCellValue = static_cast<uint8_t>(raw); break;
    }
}

// The cell reads and the bus reads: send the request and wait for its own
// answer (its cell, or its group and size); fall back on any other frame that
// came, and reset the BCU when nothing came at all.
int ExchangeRead(RequestBlock* request, int index) {
    InstanceData* instance = request->instance;
    const int32_t number = instance->instanceNumber;
    const ValueSize size = SizeOf(index);

    Preload(instance, index, CurrentRawValue(request));
    LoadFrame(ReadTemplate(index), instance);
    uint16_t awaited = static_cast<uint16_t>(instance->frameBytes[kCellHighByte] << 8 |
                                             instance->frameBytes[kCellLowByte]);
    if (size != ValueSize::kCell) {
        awaited = static_cast<uint16_t>(BlockOf(request)->groupAddress);
        instance->frameBytes[kGroupHighByte] = static_cast<uint8_t>(awaited >> 8);
        instance->frameBytes[kGroupLowByte] = static_cast<uint8_t>(awaited);
    }
    ExpectValue(number, size, awaited);
    ClearFlags(number);
    if (SendFrame(instance) != 0) {
        ForgetExpectedValue(number);
        return ReadRecovery(request);
    }
    const bool answered = WaitValueFlag(number);
    ForgetExpectedValue(number);
    if (answered) {
        *instance->valuePtr = ExpectedValue(number);
        return 0;
    }
    if (FrameFlagSet(number)) return 0;
    return ReadRecovery(request);
}

int CheckCommRead(RequestBlock* request, int) {
    *request->instance->valuePtr = 1;
    return ReadRecovery(request);
}

constexpr ReadFunction kCmdReadFunctionTable[kCommandCount] = {
    nullptr,       // LINKLAYER
    nullptr,       // RESETBCU
    nullptr,       // PUT_0116
    ExchangeRead,  // GET_0116
    ExchangeRead,  // D_
    ExchangeRead,  // A_
    ExchangeRead,  // A2
    ExchangeRead,  // GET_LAYER
    nullptr,       // PUT_LAYER
    CheckCommRead, // CHK_COMM
    nullptr,       // SET_DTR
    nullptr,       // SET_RTS
};

int CallCmdReadFunction(int16_t index, RequestBlock* request) {
    const char* name = request->instance->instanceName;
    if (!IsCommandIndex(index)) {
        QEL_LOG("%s: CallCmdReadFunction() fail, fn out of range (fn = %d)", name, index);
        return 1;
    }
    const ReadFunction function = kCmdReadFunctionTable[index];
    if (function == nullptr) {
        QEL_LOG("%s: CallCmdReadFunction() fail, NULL fn (fn = %d)", name, index);
        return 1;
    }
    return function(request, index);
}

}  // namespace

int32_t GateRead(RequestBlock* request) {
    if (request == nullptr || request->instance == nullptr) return 1;
    InstanceData* instance = request->instance;
    GateBlock* block = BlockOf(request);
    if (block == nullptr || block->valueArea == nullptr) {
        QEL_LOG("%s: GateRead() fail, no parameter block or value area", instance->instanceName);
        return 1;
    }
    instance->valueRecord = reinterpret_cast<uint8_t*>(block->valueArea);
    instance->valuePtr = &block->valueArea->value;
    block->valueArea->word0 = 0;
    block->valueArea->value = 0;
    if (instance->portHandle == kPseudoPort) return 0;

    RaisePriority(instance->instanceName);
    const int result = CallCmdReadFunction(static_cast<int16_t>(block->commandIndex & 0xFFFF), request);
    platform::sys().sleepMs(kPriorityTailMs);
    NormalPriority();
    return result;
}

}  // namespace qel
