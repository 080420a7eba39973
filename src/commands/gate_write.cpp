#include "commands/catch_decode.h"
#include "commands/gate_functions.h"
#include "host/log.h"

namespace qel {
namespace {

constexpr uint16_t kLargestByte = 255;

uint16_t ValueOf(RequestBlock* request) { return *request->instance->valuePtr; }

Result Send(InstanceData* instance) {
    return SendDelivering(instance) == SendResult::kSent ? Result::kDone : Result::kRejected;
}

// Loads the row's write frame; a group row gets the gate's group address.
InstanceData* LoadWriteFrame(RequestBlock* request, const CommandRow& row) {
    InstanceData* instance = request->instance;
    LoadFrame(row.writeTemplate, instance);
    if (row.deliveryFormat != nullptr) {
        const auto group = static_cast<GroupAddress>(static_cast<GateBlock*>(request->params)->groupAddress);
        instance->frameBytes[kGroupHighByte] = HighByte(group);
        instance->frameBytes[kGroupLowByte] = LowByte(group);
    }
    return instance;
}

// A value that must fit one byte; false (logged with `refusal`) when it does not.
bool FitsByte(RequestBlock* request, const char* refusal) {
    const uint16_t value = ValueOf(request);
    if (value <= kLargestByte) return true;
    QEL_LOG(refusal, request->instance->instanceName, value);
    return false;
}

// The cell writes: one byte into a BCU cell.
Result CellWrite(RequestBlock* request, const CommandRow& row, const char* refusal) {
    if (!FitsByte(request, refusal)) return Result::kRejected;
    InstanceData* instance = LoadWriteFrame(request, row);
    instance->frameBytes[kCellValueByte] = static_cast<uint8_t>(ValueOf(request));
    return Send(instance);
}

}  // namespace

Result TemplateWrite(RequestBlock* request, const CommandRow& row) { return Send(LoadWriteFrame(request, row)); }

Result Put116Write(RequestBlock* request, const CommandRow& row) {
    return CellWrite(request, row, text::kPut116TooLarge);
}

Result PutLayerWrite(RequestBlock* request, const CommandRow& row) {
    return CellWrite(request, row, text::kPutLayerTooLarge);
}

Result DigitalWrite(RequestBlock* request, const CommandRow& row) {
    InstanceData* instance = LoadWriteFrame(request, row);
    instance->frameBytes[kBitValueByte] = ValueOf(request) == 1 ? 0x81 : 0x80;
    return Send(instance);
}

Result AnalogWrite(RequestBlock* request, const CommandRow& row) {
    if (!FitsByte(request, text::kAnalogTooLarge)) return Result::kRejected;
    InstanceData* instance = LoadWriteFrame(request, row);
    instance->frameBytes[kValueByte] = static_cast<uint8_t>(ValueOf(request));
    return Send(instance);
}

Result Analog2Write(RequestBlock* request, const CommandRow& row) {
    const uint16_t value = ValueOf(request);
    InstanceData* instance = LoadWriteFrame(request, row);
    instance->frameBytes[kValueByte] = static_cast<uint8_t>(value >> 8);
    instance->frameBytes[kValueLowByte] = static_cast<uint8_t>(value);
    return Send(instance);
}

Result SetDtrWrite(RequestBlock* request, const CommandRow&) {
    CommSetDtr(request->instance->portHandle, static_cast<uint8_t>(ValueOf(request)));
    return Result::kDone;
}

Result SetRtsWrite(RequestBlock* request, const CommandRow&) {
    CommSetRts(request->instance->portHandle, static_cast<uint8_t>(ValueOf(request)));
    return Result::kDone;
}

}  // namespace qel
