// Reads and writes of a gate: one preamble and one dispatcher for both.
#include "commands/command_table.h"
#include "commands/operations.h"
#include "commands/reset_bcu.h"
#include "host/log.h"
#include "platform/platform.h"
#include "serial/line_priority.h"

namespace qel {
namespace {

constexpr uint32_t kPriorityTailMs = 10;

struct Direction {
    GateFunction CommandRow::*function;
    const char* noBlockText;
    const char* outOfRangeText;
    const char* noFunctionText;
};

constexpr Direction kRead{&CommandRow::read, text::kNoReadBlock, text::kReadIndexOutOfRange, text::kNoReadFunction};
constexpr Direction kWrite{&CommandRow::write, text::kNoWriteBlock, text::kWriteIndexOutOfRange,
                           text::kNoWriteFunction};

int16_t IndexOf(const GateBlock* block) { return static_cast<int16_t>(block->commandIndex & 0xFFFF); }

// The request's gate block with its value area, which the request then points at; nullptr when missing.
GateBlock* TakeGateBlock(RequestBlock* request, const Direction& direction) {
    InstanceData* instance = request->instance;
    auto* block = static_cast<GateBlock*>(request->params);
    if (block == nullptr || block->valueArea == nullptr) {
        QEL_LOG(direction.noBlockText, instance->instanceName);
        return nullptr;
    }
    instance->valueRecord = reinterpret_cast<uint8_t*>(block->valueArea);
    instance->valuePtr = &block->valueArea->value;
    return block;
}

Result CallCommand(RequestBlock* request, const Direction& direction, int16_t index) {
    const char* name = request->instance->instanceName;
    if (!IsCommandIndex(index)) {
        QEL_LOG(direction.outOfRangeText, name, index);
        return Result::kRejected;
    }
    const CommandRow& row = CommandTable[index];
    const GateFunction function = row.*direction.function;
    if (function == nullptr) {
        QEL_LOG(direction.noFunctionText, name, index);
        return Result::kRejected;
    }
    if (IsTunnelHandle(request->instance->portHandle)) {
        switch (row.onTunnel) {
        case OnTunnel::kAsOnLine: break;
        case OnTunnel::kRefused: QEL_LOG(text::kBcuCommandOnTunnel, name, row.name); return Result::kRejected;
        case OnTunnel::kNothingToDo: return Result::kDone;
        case OnTunnel::kRenew: return RenewLink(request->instance) ? Result::kDone : Result::kRejected;
        }
    }
    return function(request, row);
}

// The line work runs at time-critical priority, and a 10 ms pause ends it
// before the priority drops back; a tunnel has no line to let settle.
Result CallOnLine(RequestBlock* request, const Direction& direction, int16_t index) {
    RaisePriority(request->instance->instanceName);
    const Result result = CallCommand(request, direction, index);
    if (!IsTunnelHandle(request->instance->portHandle)) platform::Sys().sleepMs(kPriorityTailMs);
    NormalPriority();
    return result;
}

}  // namespace

Result GateRead(RequestBlock* request) {
    GateBlock* block = TakeGateBlock(request, kRead);
    if (block == nullptr) return Result::kRejected;
    block->valueArea->word0 = 0;
    block->valueArea->value = 0;
    if (request->instance->portHandle == kPseudoPort) return Result::kDone;
    return CallOnLine(request, kRead, IndexOf(block));
}

Result GateWrite(RequestBlock* request) {
    GateBlock* block = TakeGateBlock(request, kWrite);
    if (block == nullptr) return Result::kRejected;
    const int16_t index = IndexOf(block);
    if (IsCommandIndex(index) && CommandTable[index].writtenAtOnce) return CallCommand(request, kWrite, index);
    return CallOnLine(request, kWrite, index);
}

}  // namespace qel
