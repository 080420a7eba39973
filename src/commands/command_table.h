// The gate commands a host address can name: one row per command holds all
// that the parser, the reads, the writes and the listener's delivery know of it.
//
// A command index (0..11) is a row of CommandTable. The host keeps the index
// that a parse hands back and sends it with every read and write of the gate.
#pragma once

#include <cstdint>

#include "abi/records.h"
#include "link/link.h"
#include "commands/read_signals.h"
#include "commands/result.h"

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

struct CommandRow;
// A read or write of a gate; the request's GateBlock and value area are checked.
using GateFunction = Result (*)(RequestBlock* request, const CommandRow& row);

struct CommandRow {
    const char* name;               // upper case; "" ends the table
    uint8_t requiredGateType;       // the host's gate type must equal this
    const uint8_t* readTemplate;    // frame image of a read, header first; nullptr: none
    const uint8_t* writeTemplate;   // frame image of a write; nullptr: none
    GateFunction read;              // nullptr: the command cannot be read
    GateFunction write;             // nullptr: the command cannot be written
    bool writtenAtOnce;             // a modem line: no priority raise, no pause after
    ValueSize valueSize;            // what a read of it waits for
    const char* deliveryFormat;     // gate address of a delivered group value ("D_%02d/%04d"); nullptr: none
    const char* unknownGateText;    // log line when the host knows no gate at that address
    BcuCommand bcuCommand;          // which BCU command it is: the link says what it does with it
};

// kCommandCount rows, then the row with the empty name.
extern const CommandRow CommandTable[kCommandCount + 1];

// True for 0..11.
constexpr bool IsCommandIndex(int index) { return index >= 0 && index < kCommandCount; }

// True for the rows that take a group address after their two-character name.
constexpr bool TakesGroupAddress(int index) {
    return index == kGroupBit || index == kGroupByte || index == kGroupWord;
}

// The row whose group value a BCU indication of this frame length carries; nullptr: none.
const CommandRow* RowForIndicationLength(uint8_t length);

// The printf format that spells a gate address of a group-value row from its
// main and sub group, so that the parse reads it back; nullptr for the other rows.
const char* GroupAddressFormat(int index);

// A frame built from a row's template and filled in before it is sent.
struct FrameImage {
    uint8_t bytes[kFrameAreaSize];
};
// A copy of a frame template (header first; its length field says how long).
FrameImage ImageOf(const uint8_t* frameTemplate);

// Positions in a frame image.
constexpr int kCellHighByte = 3;
constexpr int kCellLowByte = 4;
constexpr int kCellValueByte = 5;
constexpr int kGroupHighByte = 5;
constexpr int kGroupLowByte = 6;
constexpr int kBitValueByte = 9;
constexpr int kValueByte = 10;
constexpr int kValueLowByte = 11;

// ---- Group addresses -------------------------------------------------------

// Main group in bits 11..15, sub group in bits 0..10; high byte first on the line.
using GroupAddress = uint16_t;

constexpr unsigned kMaxMainGroup = 13;    // largest main group an address may name
constexpr unsigned kMaxSubGroup = 2047;   // largest sub group

constexpr GroupAddress MakeGroupAddress(unsigned mainGroup, unsigned subGroup) {
    return static_cast<GroupAddress>(mainGroup * 2048u + subGroup);
}
constexpr uint8_t HighByte(GroupAddress address) { return static_cast<uint8_t>(address >> 8); }
constexpr uint8_t LowByte(GroupAddress address) { return static_cast<uint8_t>(address & 0xFFu); }

}  // namespace qel
