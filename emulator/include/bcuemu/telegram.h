// A telegram on the emulated installation bus, and group-address texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bcuemu {

// Size of a group value; the number is the telegram's length field.
enum class ValueSize : uint8_t { kBit = 1, kByte = 2, kWord = 3 };

enum class Apci : uint8_t { kRead, kResponse, kWrite, kOther };

struct Telegram {
    uint8_t control = 0xBC;      // standard frame, low priority
    uint16_t source = 0x1101;    // individual address of the sender
    uint16_t destination = 0;    // group or individual address
    bool group = true;           // destination is a group address
    std::vector<uint8_t> tpdu;   // TPCI, APCI (+ short data), further data; length field + 1 bytes

    // A group read, response or write of `value` in `size`.
    static Telegram GroupValue(Apci apci, uint16_t group, ValueSize size, uint16_t value, uint16_t source = 0x1101);
    static Telegram GroupRead(uint16_t group, uint16_t source = 0x1101);

    uint8_t LengthField() const { return tpdu.empty() ? 0 : static_cast<uint8_t>(tpdu.size() - 1); }
    Apci Service() const;
    // Value size by length field; nullopt for lengths other than 1 to 3.
    std::optional<ValueSize> Size() const;
    // The group value carried (read: 0).
    uint16_t Value() const;
    // "1.1.1 -> 1/2/3 write 1 (1 bit)", one line for logs and monitors.
    std::string Text() const;

    bool operator==(const Telegram&) const = default;
};

// "1/2/3" (main/middle/sub), the usual three-level text.
std::string GroupText(uint16_t group);
// "1.1.1"
std::string IndividualText(uint16_t address);
// Accepts "1/2/3", "1/515" (main/sub) and the driver's gate form "A_01/0002",
// "D_01/0002", "A201/0002". nullopt when malformed or out of range.
std::optional<uint16_t> ParseGroup(const std::string& text);
// Accepts "1.1.1"; nullopt when malformed.
std::optional<uint16_t> ParseIndividual(const std::string& text);

const char* SizeName(ValueSize size);  // "1 bit", "1 byte", "2 bytes"

}  // namespace bcuemu
