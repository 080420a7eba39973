#include "commands/command_table.h"
#include "commands/templates.h"
#include "entry/host_services.h"
#include "entry/operations.h"
#include "instance/priority.h"
#include "platform/platform.h"
#include "serial/frames.h"

namespace qel {
namespace {

using WriteFunction = int (*)(RequestBlock* request, int index);

constexpr uint32_t kPriorityTailMs = 10;
constexpr uint16_t kLargestByte = 255;

InstanceData* InstanceOf(RequestBlock* request) { return request->instance; }
uint16_t ValueOf(RequestBlock* request) { return *request->instance->valuePtr; }
uint16_t GroupOf(RequestBlock* request) {
    return static_cast<uint16_t>(static_cast<GateBlock*>(request->params)->groupAddress);
}

int Send(InstanceData* instance) { return SendFrame(instance) == 0 ? 0 : 1; }

void LoadGroupFrame(RequestBlock* request, int index) {
    InstanceData* instance = InstanceOf(request);
    LoadFrame(WriteTemplate(index), instance);
    const uint16_t group = GroupOf(request);
    instance->frameBytes[kGroupHighByte] = static_cast<uint8_t>(group >> 8);
    instance->frameBytes[kGroupLowByte] = static_cast<uint8_t>(group);
}

int TemplateWrite(RequestBlock* request, int index) {
    LoadFrame(WriteTemplate(index), InstanceOf(request));
    return Send(InstanceOf(request));
}

// The cell writes: one byte into a BCU cell.
int CellWrite(RequestBlock* request, int index, const char* refusal) {
    const uint16_t value = ValueOf(request);
    if (value > kLargestByte) {
        QEL_LOG(refusal, InstanceOf(request)->instanceName, value);
        return 1;
    }
    LoadFrame(WriteTemplate(index), InstanceOf(request));
    InstanceOf(request)->frameBytes[kCellValueByte] = static_cast<uint8_t>(value);
    return Send(InstanceOf(request));
}

int Put116Write(RequestBlock* request, int index) {
    return CellWrite(request, index, "%s: Put116Write() fail, Value > 255 (val = %d)");
}

int PutLayerWrite(RequestBlock* request, int index) {
    return CellWrite(request, index, "%s: PutLayerWrite() fail, Value > 255 (val = %d)");
}

int DigitalWrite(RequestBlock* request, int index) {
    LoadGroupFrame(request, index);
    InstanceOf(request)->frameBytes[kBitValueByte] = ValueOf(request) == 1 ? 0x81 : 0x80;
    return Send(InstanceOf(request));
}

int AnalogWrite(RequestBlock* request, int index) {
    const uint16_t value = ValueOf(request);
    if (value > kLargestByte) {
        QEL_LOG("%s: AnalogWrite() fail, Value > 255 (val = %d)", InstanceOf(request)->instanceName, value);
        return 1;
    }
    LoadGroupFrame(request, index);
    InstanceOf(request)->frameBytes[kValueByte] = static_cast<uint8_t>(value);
    return Send(InstanceOf(request));
}

int Analog2Write(RequestBlock* request, int index) {
    const uint16_t value = ValueOf(request);
    LoadGroupFrame(request, index);
    InstanceOf(request)->frameBytes[kValueByte] = static_cast<uint8_t>(value >> 8);
    InstanceOf(request)->frameBytes[kValueLowByte] = static_cast<uint8_t>(value);
    return Send(InstanceOf(request));
}

constexpr WriteFunction kCmdWriteFunctionTable[kCommandCount] = {
    TemplateWrite,  // LINKLAYER
    TemplateWrite,  // RESETBCU
    Put116Write,    // PUT_0116
    nullptr,        // GET_0116
    DigitalWrite,   // D_
    AnalogWrite,    // A_
    Analog2Write,   // A2
    nullptr,        // GET_LAYER
    PutLayerWrite,  // PUT_LAYER
    nullptr,        // CHK_COMM
    nullptr,        // SET_DTR: switched by GateWrite itself
    nullptr,        // SET_RTS: switched by GateWrite itself
};

int CallCmdWriteFunction(int16_t index, RequestBlock* request) {
    const char* name = InstanceOf(request)->instanceName;
    if (!IsCommandIndex(index)) {
        QEL_LOG("%s: CallCmdWriteFunction() fail, fn out of range (fn = %d)", name, index);
        return 1;
    }
    const WriteFunction function = kCmdWriteFunctionTable[index];
    if (function == nullptr) {
        QEL_LOG("%s: CmdWriteFunctionTable() fail, NULL fn (fn = %d)", name, index);
        return 1;
    }
    return function(request, index);
}

}  // namespace

int32_t GateWrite(RequestBlock* request) {
    if (request == nullptr || request->instance == nullptr) return 1;
    InstanceData* instance = request->instance;
    auto* block = static_cast<GateBlock*>(request->params);
    if (block == nullptr || block->valueArea == nullptr) {
        QEL_LOG("%s: GateWrite() fail, no parameter block or value area", instance->instanceName);
        return 1;
    }
    instance->valueRecord = reinterpret_cast<uint8_t*>(block->valueArea);
    instance->valuePtr = &block->valueArea->value;
    const int16_t index = static_cast<int16_t>(block->commandIndex & 0xFFFF);
    const uint8_t lineValue = static_cast<uint8_t>(*instance->valuePtr);
    if (index == kSetDtr) {
        CommSetDtr(instance->portHandle, lineValue);
        return 0;
    }
    if (index == kSetRts) {
        CommSetRts(instance->portHandle, lineValue);
        return 0;
    }
    RaisePriority(instance->instanceName);
    const int result = CallCmdWriteFunction(index, request);
    platform::sys().sleepMs(kPriorityTailMs);
    NormalPriority();
    return result;
}

}  // namespace qel
