#include "listener/catch_decode.h"

#include <cstdio>

#include "entry/host_services.h"
#include "listener/flags.h"

namespace qel {
namespace {

constexpr uint8_t kMemoryAnswer = 0x4B;
constexpr uint8_t kGroupIndication = 0x49;

struct Delivery {
    const char* format;         // address text
    const char* lookupFailure;  // log line when the host knows no such gate
    ValueSize size;
};

constexpr Delivery kDigital{"D_%02d/%04d", "%s: address %s failed to get GateID", ValueSize::kBit};
constexpr Delivery kAnalog{"A_%02d/%04d", "%s: address %s", ValueSize::kByte};
constexpr Delivery kAnalog2{"A2%02d/%04d", "%s: address %s", ValueSize::kWord};

bool Deliver(InstanceData* instance, const Delivery& kind, uint16_t raw) {
    const uint8_t* frame = instance->receivedBytes;
    const uint16_t group = static_cast<uint16_t>(frame[5] << 8 | frame[6]);
    char address[16];
    std::snprintf(address, sizeof address, kind.format, (group >> 11) & 0x1F, group & 0x7FF);

    uint32_t gateId = 0;
    if (host::HuxGetGateIdByAddressStr(instance->clientId, instance->hostByte, address, &gateId) != 0) {
        QEL_LOG(kind.lookupFailure, instance->instanceName, address);
        return false;
    }
    CookedValue cooked{};
    if (host::HuxCook(instance->clientId, gateId, RawValue{0, raw}, &cooked) != 0) {
        QEL_LOG("%s: address %s failed to COOK", instance->instanceName, address);
        return false;
    }
    if (host::HuxPutGateVal(instance->clientId, gateId, cooked) != 0) {
        QEL_LOG("%s: address %s failed to PutVal", instance->instanceName, address);
        return false;
    }
    OfferValue(instance->instanceNumber, kind.size, group, raw);
    return true;
}

}  // namespace

bool DigitalCatch(InstanceData* instance) {
    return Deliver(instance, kDigital, static_cast<uint16_t>(instance->receivedBytes[9] & 1));
}

bool AnalogCatch(InstanceData* instance) { return Deliver(instance, kAnalog, instance->receivedBytes[10]); }

bool Analog2Catch(InstanceData* instance) {
    const uint8_t* frame = instance->receivedBytes;
    return Deliver(instance, kAnalog2, static_cast<uint16_t>(frame[10] << 8 | frame[11]));
}

int CatchDecode(InstanceData* instance) {
    const uint8_t* frame = instance->receivedBytes;
    const uint8_t length = frame[0] & 0x1F;
    const uint8_t code = frame[1];
    if (code == kMemoryAnswer) {
        if (length == 7) {
            instance->lastCellValue = frame[5];
            OfferValue(instance->instanceNumber, ValueSize::kCell, static_cast<uint16_t>(frame[3] << 8 | frame[4]),
                       frame[5]);
        }
        return 1;
    }
    if (code != kGroupIndication) return 1;
    bool delivered = false;
    switch (length) {
    case 9:
        instance->lastBitValue = frame[9] & 1;
        delivered = DigitalCatch(instance);
        break;
    case 10:
        instance->lastByteValue = frame[10];
        delivered = AnalogCatch(instance);
        break;
    case 11:
        instance->lastWordValue = static_cast<uint16_t>(frame[10] << 8 | frame[11]);
        delivered = Analog2Catch(instance);
        break;
    default:
        return 1;
    }
    return delivered ? 1 : 0;
}

}  // namespace qel

namespace qel {
void DeliverReceivedFrame(InstanceData* instance) {
    CatchDecode(instance);
    SetFrameFlag(instance->instanceNumber);
}
}  // namespace qel
