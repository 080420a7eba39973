#include "commands/catch_decode.h"
#include "commands/gate_functions.h"
#include "host/log.h"
#include "link/line_lock.h"

namespace qel {
namespace {

constexpr uint16_t kLargestByte = 255;

uint16_t ValueOf(RequestBlock* request) { return *request->instance->valuePtr; }

Result Send(RequestBlock* request, const FrameImage& frame) {
    return SendDelivering(request->instance, frame) == SendResult::kSent ? Result::kDone : Result::kRejected;
}

// The row's write frame; a group row gets the gate's group address.
FrameImage WriteFrame(RequestBlock* request, const CommandRow& row) {
    FrameImage frame = ImageOf(row.writeTemplate);
    if (row.deliveryFormat != nullptr) {
        const auto group = static_cast<GroupAddress>(static_cast<GateBlock*>(request->params)->groupAddress);
        frame.bytes[kGroupHighByte] = HighByte(group);
        frame.bytes[kGroupLowByte] = LowByte(group);
    }
    return frame;
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
    FrameImage frame = WriteFrame(request, row);
    frame.bytes[kCellValueByte] = static_cast<uint8_t>(ValueOf(request));
    return Send(request, frame);
}

}  // namespace

Result TemplateWrite(RequestBlock* request, const CommandRow& row) { return Send(request, WriteFrame(request, row)); }

Result Put116Write(RequestBlock* request, const CommandRow& row) {
    return CellWrite(request, row, text::kPut116TooLarge);
}

Result PutLayerWrite(RequestBlock* request, const CommandRow& row) {
    return CellWrite(request, row, text::kPutLayerTooLarge);
}

Result DigitalWrite(RequestBlock* request, const CommandRow& row) {
    FrameImage frame = WriteFrame(request, row);
    frame.bytes[kBitValueByte] = ValueOf(request) == 1 ? 0x81 : 0x80;
    return Send(request, frame);
}

Result AnalogWrite(RequestBlock* request, const CommandRow& row) {
    if (!FitsByte(request, text::kAnalogTooLarge)) return Result::kRejected;
    FrameImage frame = WriteFrame(request, row);
    frame.bytes[kValueByte] = static_cast<uint8_t>(ValueOf(request));
    return Send(request, frame);
}

Result Analog2Write(RequestBlock* request, const CommandRow& row) {
    const uint16_t value = ValueOf(request);
    FrameImage frame = WriteFrame(request, row);
    frame.bytes[kValueByte] = static_cast<uint8_t>(value >> 8);
    frame.bytes[kValueLowByte] = static_cast<uint8_t>(value);
    return Send(request, frame);
}

Result SetDtrWrite(RequestBlock* request, const CommandRow&) {
    const LineHold line(request->instance);
    if (!line.Held()) return Result::kRejected;
    LinkOf(request->instance->portHandle).setModemLine(request->instance, platform::ModemLine::kDtr,
                                                       static_cast<uint8_t>(ValueOf(request)));
    return Result::kDone;
}

Result SetRtsWrite(RequestBlock* request, const CommandRow&) {
    const LineHold line(request->instance);
    if (!line.Held()) return Result::kRejected;
    LinkOf(request->instance->portHandle).setModemLine(request->instance, platform::ModemLine::kRts,
                                                       static_cast<uint8_t>(ValueOf(request)));
    return Result::kDone;
}

}  // namespace qel
