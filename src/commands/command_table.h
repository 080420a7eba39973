// The gate commands a host address can name, and EIB group addresses.
//
// A command index (0..11) is a row of CommandTable. The host keeps the index
// that a parse hands back and sends it with every read and write of the gate;
// the read and write tables and the frame templates are indexed by it.
#pragma once

#include <cstdint>

namespace qel {

// Command indices: positions in CommandTable.
constexpr int kLinkLayer = 0;   // "LINKLAYER": BCU into link-layer mode
constexpr int kResetBcu = 1;    // "RESETBCU": BCU reset
constexpr int kPut0116 = 2;     // "PUT_0116": write BCU cell 0x0116
constexpr int kGet0116 = 3;     // "GET_0116": read BCU cell 0x0116
constexpr int kGroupBit = 4;    // "D_": one-bit group value
constexpr int kGroupByte = 5;   // "A_": one-byte group value
constexpr int kGroupWord = 6;   // "A2": two-byte group value
constexpr int kGetLayer = 7;    // "GET_LAYER": read BCU cell 0x0060
constexpr int kPutLayer = 8;    // "PUT_LAYER": write BCU cell 0x0060
constexpr int kChkComm = 9;     // "CHK_COMM": reset the BCU, report 1
constexpr int kSetDtr = 10;     // "SET_DTR": DTR line
constexpr int kSetRts = 11;     // "SET_RTS": RTS line

constexpr int kCommandCount = 12;

// The one gate type that a row may demand besides 0: one-bit gates.
constexpr uint8_t kBitGateType = 6;

struct CommandRow {
    const char* name;        // upper case; "" ends the table
    uint8_t requiredGateType;  // the host's gate type must equal this
};

// kCommandCount rows, then the row with the empty name.
extern const CommandRow CommandTable[kCommandCount + 1];

// True for the rows that take a group address after their two-character name.
constexpr bool TakesGroupAddress(int index) {
    return index == kGroupBit || index == kGroupByte || index == kGroupWord;
}

// True for 0..11.
constexpr bool IsCommandIndex(int index) { return index >= 0 && index < kCommandCount; }

// ---- Group addresses -------------------------------------------------------

// Main group in bits 11..15, sub group in bits 0..10; high byte first on the line.
using GroupAddress = uint16_t;

constexpr unsigned kMaxMainGroup = 13;    // largest main group an address may name
constexpr unsigned kMaxSubGroup = 2047;   // largest sub group

constexpr GroupAddress MakeGroupAddress(unsigned mainGroup, unsigned subGroup) {
    return static_cast<GroupAddress>(mainGroup * 2048u + subGroup);
}
constexpr unsigned MainGroup(GroupAddress address) { return address >> 11; }
constexpr unsigned SubGroup(GroupAddress address) { return address & 0x7FFu; }
constexpr uint8_t HighByte(GroupAddress address) { return static_cast<uint8_t>(address >> 8); }
constexpr uint8_t LowByte(GroupAddress address) { return static_cast<uint8_t>(address & 0xFFu); }

// The printf format that spells a gate address of a group-value row from its
// main and sub group ("D_%02d/%04d"...), so that the parse reads it back;
// nullptr for the other rows.
const char* GroupAddressFormat(int index);

}  // namespace qel
