// The management services a cEMI module in FT1.2 mode answers: M_PropRead
// and M_PropWrite of the communication mode (PID 52 of the cEMI server
// object; 0 is the data link layer), M_Reset. Other properties get a
// negative confirmation. Pure byte work.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace bcuemu::ft12 {

struct ManagementAnswer {
    std::vector<uint8_t> message;   // the confirmation or indication for the PC
    std::optional<bool> linkLayer;  // the mode it sets, if it sets one
};

// nullopt for messages that are not management requests (L_Data.req ...).
std::optional<ManagementAnswer> AnswerManagement(const std::vector<uint8_t>& request, bool linkLayer);

}  // namespace bcuemu::ft12
