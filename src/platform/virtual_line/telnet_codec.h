// Telnet framing with the COM-PORT-OPTION (RFC 2217), as carried on a
// virtual serial line: data bytes with 0xFF doubled, option negotiation, and
// the com-port subnegotiations. Pure byte work, used by both ends of the line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::telnet {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

constexpr uint8_t kComPortOption = 44;

// Client-to-server subnegotiation commands; the server answers each with the
// same command plus kServerOffset.
constexpr uint8_t kSetBaudrate = 1;
constexpr uint8_t kSetDatasize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopsize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kNotifyModemstate = 7;
constexpr uint8_t kSetModemstateMask = 11;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlDtrOff = 9;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kControlRtsOff = 12;

// Modem state bits (NOTIFY-MODEMSTATE, SET-MODEMSTATE-MASK).
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kModemDeltaCts = 0x01;

// Parity and stop-size codes on the wire.
constexpr uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4, kParitySpace = 5;
constexpr uint8_t kStop1 = 1, kStop2 = 2, kStop15 = 3;

constexpr size_t kMaxSubnegotiation = 16;

// One decoded unit of the stream.
struct Item {
    enum class Kind : uint8_t { kNone, kData, kOption, kSubnegotiation } kind = Kind::kNone;
    uint8_t byte = 0;                       // kData: the byte; kOption: kWill..kDont
    uint8_t option = 0;                     // kOption, kSubnegotiation: the option
    uint8_t length = 0;                     // kSubnegotiation: payload bytes
    uint8_t payload[kMaxSubnegotiation]{};  // kSubnegotiation: command byte first
};

// Incremental decoder: feed bytes one at a time, take an item when one is complete.
class Decoder {
public:
    // Returns true when `item` holds a complete unit.
    bool feed(uint8_t byte, Item& item);

private:
    enum class State : uint8_t { kData, kCommand, kOption, kSbOption, kSbData, kSbIac } state_ = State::kData;
    uint8_t verb_ = 0;
    Item pending_{};
};

// Writes `byte` as data into out (1 or 2 bytes); returns bytes written.
size_t EncodeData(uint8_t byte, uint8_t* out);
// Writes IAC verb option; returns 3.
size_t EncodeOption(uint8_t verb, uint8_t option, uint8_t* out);
// Writes IAC SB option payload... IAC SE with 0xFF in the payload doubled; returns bytes
// written. out needs room for 5 + 2 * length bytes.
size_t EncodeSubnegotiation(uint8_t option, const uint8_t* payload, size_t length, uint8_t* out);

}  // namespace qel::telnet
