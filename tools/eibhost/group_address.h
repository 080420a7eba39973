// The bus tools' terms beside the driver's: KNX 3-level group addresses
// ("1/2/3") and individual addresses ("1.1.5"), and group telegrams printed
// as knxd's group monitor (knxtool groupsocketlisten) prints them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace eibhost {

// The driver takes main groups 0..13; a 3-level address adds middle 0..7 and sub 0..255.
constexpr unsigned kMaxMainGroup = 13;

// True when `text` has the 3-level form DIGITS/DIGITS/DIGITS.
bool IsThreeLevelGroup(const std::string& text);
// The driver's gate address for a 3-level group address: "1/2/3" gives
// "A_01/0515" (main*2048 + middle*256 + sub, the driver's sub group being
// middle*256 + sub). Any other text comes back unchanged. Empty, with `error`
// saying why, for a 3-level address out of range.
std::string GateAddressOf(const std::string& text, std::string& error);

// "1/2/3" for a 16-bit group address.
std::string GroupText(uint16_t group);
// The 3-level form of a driver gate address ("A_01/0515", "D_13/2047",
// "A201/0001"); empty for command names and addresses outside the 3-level range.
std::string GroupTextOfGate(const std::string& gateAddress);
// "1.1.5" for a 16-bit individual address.
std::string IndividualText(uint16_t address);

// A received frame, header byte first (the driver's received-frame bytes):
// for a group telegram (message code 0x49) the line knxtool's group monitor
// prints for it, without the line end ("Write from 1.1.5 to 1/2/3: 2A ");
// empty for anything else.
std::string MonitorLine(const uint8_t* frame, size_t size);

}  // namespace eibhost
