#include "ft12/cemi_management.h"

namespace bcuemu::ft12 {

namespace {

constexpr uint8_t kPropReadReq = 0xFC;
constexpr uint8_t kPropReadCon = 0xFB;
constexpr uint8_t kPropWriteReq = 0xF6;
constexpr uint8_t kPropWriteCon = 0xF5;
constexpr uint8_t kResetReq = 0xF1;
constexpr uint8_t kResetInd = 0xF0;
constexpr uint16_t kCemiServerObject = 0x0008;
constexpr uint8_t kCommunicationMode = 0x34;
constexpr uint8_t kVoidDataPoint = 0x07;  // the error code of a property this server lacks
constexpr size_t kHeader = 7;             // code, object type, instance, PID, count + start index

}  // namespace

std::optional<ManagementAnswer> AnswerManagement(const std::vector<uint8_t>& request, bool linkLayer) {
    const uint8_t code = request.empty() ? 0 : request[0];
    if (code == kResetReq) return ManagementAnswer{{kResetInd}, true};
    if (code != kPropReadReq && code != kPropWriteReq) return std::nullopt;
    if (request.size() < kHeader) return std::nullopt;
    ManagementAnswer a{std::vector<uint8_t>(request.begin(), request.begin() + kHeader), std::nullopt};
    a.message[0] = code == kPropReadReq ? kPropReadCon : kPropWriteCon;
    const uint16_t object = static_cast<uint16_t>(request[1] << 8 | request[2]);
    const bool known = object == kCemiServerObject && request[4] == kCommunicationMode && (request[5] >> 4) == 1;
    if (!known || (code == kPropWriteReq && request.size() != kHeader + 1)) {
        a.message[5] &= 0x0F;  // no elements: a negative confirmation with its error code
        a.message.push_back(kVoidDataPoint);
    } else if (code == kPropReadReq) {
        a.message.push_back(linkLayer ? 0x00 : 0x01);
    } else {
        a.linkLayer = request[kHeader] == 0x00;
    }
    return a;
}

}  // namespace bcuemu::ft12
