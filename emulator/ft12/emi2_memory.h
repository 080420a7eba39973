// The BCU2's memory as EMI2 reaches it over FT1.2: PC_GetValue.req (0x4C,
// answered by PC_GetValue.con, 0x4B) and PC_SetValue.req (0x46, no answer).
// A small memory: the system state cell 0x0060 reads 0x12 in link layer and
// a write of 0x12 (anything else) turns link layer on (off); the other cells
// (0x0116 and any) keep what was written, 0 before. Pure byte work.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace bcuemu::ft12 {

constexpr uint8_t kValueReadReq = 0x4C;
constexpr uint8_t kValueReadCon = 0x4B;
constexpr uint8_t kValueWriteReq = 0x46;
constexpr uint16_t kSystemStateCell = 0x0060;
constexpr uint8_t kLinkLayerState = 0x12;

struct MemoryAnswer {
    std::vector<uint8_t> message;   // PC_GetValue.con, or empty
    std::optional<bool> linkLayer;  // the mode a write of 0x0060 sets
};

class Emi2Memory {
public:
    // nullopt for messages that are no memory requests (or malformed ones).
    std::optional<MemoryAnswer> Answer(const std::vector<uint8_t>& request, bool linkLayer);
    uint8_t Cell(uint16_t address) const;

private:
    std::map<uint16_t, uint8_t> cells_;
};

}  // namespace bcuemu::ft12
