#include "commands/catch_decode.h"

#include <cstdio>

#include "commands/command_table.h"
#include "host/log.h"
#include "link/link.h"

namespace qel {
namespace {

constexpr uint8_t kMemoryAnswer = 0x4B;
constexpr uint8_t kGroupIndication = 0x49;
constexpr uint8_t kMemoryAnswerLength = 7;

// The group value an indication carries, by the row's value size.
uint16_t GroupValueOf(const uint8_t* frame, ValueSize size) {
    switch (size) {
    case ValueSize::kBit: return static_cast<uint16_t>(frame[kBitValueByte] & 1);
    case ValueSize::kByte: return frame[kValueByte];
    default: return static_cast<uint16_t>(frame[kValueByte] << 8 | frame[kValueLowByte]);
    }
}

// The value is kept as the instance's last value of its size, whatever the host says of it.
void KeepLastValue(InstanceData* instance, ValueSize size, uint16_t value) {
    switch (size) {
    case ValueSize::kBit: instance->lastBitValue = static_cast<uint8_t>(value); break;
    case ValueSize::kByte: instance->lastByteValue = static_cast<uint8_t>(value); break;
    default: instance->lastWordValue = value; break;
    }
}

bool Deliver(InstanceData* instance, const CommandRow& row, uint16_t value) {
    const uint8_t* frame = instance->receivedBytes;
    const auto group = static_cast<uint16_t>(frame[kGroupHighByte] << 8 | frame[kGroupLowByte]);
    char address[16];
    std::snprintf(address, sizeof address, row.deliveryFormat, (group >> 11) & 0x1F, group & 0x7FF);

    uint32_t gateId = 0;
    if (host::HuxGetGateIdByAddressStr(instance->clientId, instance->hostByte, address, &gateId) != 0) {
        QEL_LOG(row.unknownGateText, instance->instanceName, address);
        return false;
    }
    CookedValue cooked{};
    if (host::HuxCook(instance->clientId, gateId, RawValue{0, value}, &cooked) != 0) {
        QEL_LOG(text::kCookFailed, instance->instanceName, address);
        return false;
    }
    if (host::HuxPutGateVal(instance->clientId, gateId, cooked) != 0) {
        QEL_LOG(text::kPutValFailed, instance->instanceName, address);
        return false;
    }
    OfferValue(instance->instanceNumber, row.valueSize, group, value);
    return true;
}

}  // namespace

bool CatchDecode(InstanceData* instance) {
    const uint8_t* frame = instance->receivedBytes;
    const uint8_t length = frame[0] & 0x1F;
    const uint8_t code = frame[1];
    if (code == kMemoryAnswer) {
        if (length == kMemoryAnswerLength) {
            instance->lastCellValue = frame[kCellValueByte];
            OfferValue(instance->instanceNumber, ValueSize::kCell,
                       static_cast<uint16_t>(frame[kCellHighByte] << 8 | frame[kCellLowByte]), frame[kCellValueByte]);
        }
        return true;
    }
    if (code != kGroupIndication) return true;
    const CommandRow* row = RowForIndicationLength(length);
    if (row == nullptr) return true;
    const uint16_t value = GroupValueOf(frame, row->valueSize);
    KeepLastValue(instance, row->valueSize, value);
    return Deliver(instance, *row, value);
}

void DeliverReceivedFrame(InstanceData* instance) {
    CatchDecode(instance);
    SetFrameFlag(instance->instanceNumber);
}

SendResult SendDelivering(InstanceData* instance, const FrameImage& frame) {
    return LinkOf(instance->portHandle).send(instance, frame.bytes, DeliverReceivedFrame);
}

}  // namespace qel
