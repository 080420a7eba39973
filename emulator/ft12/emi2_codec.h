// EMI2 L_Data messages as a BCU2 in FT1.2 mode speaks them: message code,
// the TP1 control byte, source, destination, address type + hop count +
// length, then the TPDU. Pure byte work; decoders answer nullopt for
// anything malformed.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bcuemu/telegram.h"

namespace bcuemu::ft12 {

constexpr uint8_t kEmiDataReq = 0x11;
constexpr uint8_t kEmiDataCon = 0x2E;
constexpr uint8_t kEmiDataInd = 0x29;
constexpr uint8_t kPeiSwitchReq = 0xA9;

// The PEI_Switch.req bodies (after the message code) that knxd's driver sends.
const std::vector<uint8_t>& LinkLayerSwitch();
const std::vector<uint8_t>& NormalModeSwitch();

struct Emi2Frame {
    uint8_t messageCode = kEmiDataInd;
    Telegram telegram;
    bool confirmError = false;  // L_Data.con: bit 0 of the control byte
};

std::vector<uint8_t> EncodeEmi2(const Emi2Frame& frame);
std::optional<Emi2Frame> DecodeEmi2(const std::vector<uint8_t>& bytes);

}  // namespace bcuemu::ft12
