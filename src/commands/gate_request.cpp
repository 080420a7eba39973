// Reads and writes of a gate: one preamble and one dispatcher for both.
#include "commands/command_table.h"
#include "commands/operations.h"
#include "commands/reset_bcu.h"
#include "host/log.h"
#include "link/line_priority.h"
#include "link/link.h"
#include "platform/platform.h"

namespace qel {
namespace {

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
    // The link says what it does with a command meant for a BCU.
    const LinkMethods& link = LinkOf(request->instance->portHandle);
    switch (link.bcuCommands[static_cast<int>(row.bcuCommand)]) {
    case CommandUse::kAsOnBcu: break;
    case CommandUse::kRefused:
        QEL_LOG(link.refusalTexts[static_cast<int>(row.bcuCommand)], name, row.name);
        return Result::kRejected;
    case CommandUse::kDone: return Result::kDone;
    case CommandUse::kRenew: return RenewLink(request->instance) ? Result::kDone : Result::kRejected;
    }
    return function(request, row);
}

// The line work runs at time-critical priority, and the link's pause (10 ms
// on the handshake line) ends it before the priority drops back.
Result CallOnLine(RequestBlock* request, const Direction& direction, int16_t index) {
    RaisePriority(request->instance->instanceName);
    const Result result = CallCommand(request, direction, index);
    const uint32_t tailMs = LinkOf(request->instance->portHandle).workTailMs;
    if (tailMs != 0) platform::Sys().sleepMs(tailMs);
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
