#include "ft12/emi2_memory.h"

namespace bcuemu::ft12 {

namespace {

constexpr size_t kHeader = 4;  // code, count, address high, address low
constexpr uint8_t kMaxCount = 12;

}  // namespace

uint8_t Emi2Memory::Cell(uint16_t address) const {
    const auto it = cells_.find(address);
    return it == cells_.end() ? 0 : it->second;
}

std::optional<MemoryAnswer> Emi2Memory::Answer(const std::vector<uint8_t>& request, bool linkLayer) {
    if (request.size() < kHeader || (request[0] != kValueReadReq && request[0] != kValueWriteReq)) return std::nullopt;
    const uint8_t count = request[1] & 0x0F;
    const auto address = static_cast<uint16_t>(request[2] << 8 | request[3]);
    if (count == 0 || count > kMaxCount) return std::nullopt;
    MemoryAnswer answer;
    if (request[0] == kValueReadReq) {
        answer.message = {kValueReadCon, count, request[2], request[3]};
        for (uint16_t i = 0; i < count; ++i) {
            const auto cell = static_cast<uint16_t>(address + i);
            answer.message.push_back(cell == kSystemStateCell && linkLayer ? kLinkLayerState : Cell(cell));
        }
        return answer;
    }
    if (request.size() < kHeader + count) return std::nullopt;
    for (uint16_t i = 0; i < count; ++i) {
        const auto cell = static_cast<uint16_t>(address + i);
        const uint8_t value = request[kHeader + i];
        cells_[cell] = value;
        if (cell == kSystemStateCell) answer.linkLayer = value == kLinkLayerState;
    }
    return answer;
}

}  // namespace bcuemu::ft12
