#include "bcuemu/telegram.h"

#include <cstdio>
#include <cstdlib>

namespace bcuemu {

namespace {

uint8_t ApciBits(Apci apci) {
    switch (apci) {
    case Apci::kRead: return 0x00;
    case Apci::kResponse: return 0x40;
    case Apci::kWrite: return 0x80;
    case Apci::kOther: break;
    }
    return 0xC0;
}

// Reads a decimal number from text[pos...]; advances pos.
std::optional<unsigned> Number(const std::string& text, size_t& pos, size_t maxDigits) {
    size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < maxDigits) {
        value = value * 10 + static_cast<unsigned>(text[pos] - '0');
        ++pos;
    }
    if (pos == start) return std::nullopt;
    return value;
}

}  // namespace

Telegram Telegram::GroupValue(Apci apci, uint16_t group, ValueSize size, uint16_t value, uint16_t source) {
    Telegram t;
    t.source = source;
    t.destination = group;
    t.group = true;
    const uint8_t code = ApciBits(apci);
    switch (size) {
    case ValueSize::kBit: t.tpdu = {0x00, static_cast<uint8_t>(code | (value & 0x3F))}; break;
    case ValueSize::kByte: t.tpdu = {0x00, code, static_cast<uint8_t>(value)}; break;
    case ValueSize::kWord:
        t.tpdu = {0x00, code, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        break;
    }
    return t;
}

Telegram Telegram::GroupRead(uint16_t group, uint16_t source) {
    Telegram t;
    t.source = source;
    t.destination = group;
    t.tpdu = {0x00, 0x00};
    return t;
}

Apci Telegram::Service() const {
    if (tpdu.size() < 2) return Apci::kOther;
    const unsigned code = ((tpdu[0] & 0x03u) << 8) | (tpdu[1] & 0xC0u);
    switch (code) {
    case 0x000: return Apci::kRead;
    case 0x040: return Apci::kResponse;
    case 0x080: return Apci::kWrite;
    default: return Apci::kOther;
    }
}

std::optional<ValueSize> Telegram::Size() const {
    switch (LengthField()) {
    case 1: return ValueSize::kBit;
    case 2: return ValueSize::kByte;
    case 3: return ValueSize::kWord;
    default: return std::nullopt;
    }
}

uint16_t Telegram::Value() const {
    if (Service() == Apci::kRead) return 0;
    switch (LengthField()) {
    case 1: return tpdu[1] & 0x3F;
    case 2: return tpdu[2];
    case 3: return static_cast<uint16_t>((tpdu[2] << 8) | tpdu[3]);
    default: return 0;
    }
}

const char* SizeName(ValueSize size) {
    switch (size) {
    case ValueSize::kBit: return "1 bit";
    case ValueSize::kByte: return "1 byte";
    case ValueSize::kWord: return "2 bytes";
    }
    return "?";
}

std::string Telegram::Text() const {
    std::string out = IndividualText(source) + " -> ";
    if (group) {
        out += GroupText(destination);
    } else {
        out += IndividualText(destination);
    }
    const auto s = Size();
    switch (Service()) {
    case Apci::kRead: return out + " read";
    case Apci::kResponse: out += " response "; break;
    case Apci::kWrite: out += " write "; break;
    case Apci::kOther: {
        out += " data";
        char hex[4];
        for (uint8_t b : tpdu) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            out += hex;
        }
        return out;
    }
    }
    out += std::to_string(Value());
    if (s) out += std::string(" (") + SizeName(*s) + ")";
    return out;
}

std::string GroupText(uint16_t group) {
    return std::to_string(group >> 11) + "/" + std::to_string((group >> 8) & 0x07) + "/" + std::to_string(group & 0xFF);
}

std::string IndividualText(uint16_t address) {
    return std::to_string(address >> 12) + "." + std::to_string((address >> 8) & 0x0F) + "." +
           std::to_string(address & 0xFF);
}

std::optional<uint16_t> ParseGroup(const std::string& text) {
    size_t pos = 0;
    if (text.size() > 2 && (text.compare(0, 2, "A_") == 0 || text.compare(0, 2, "D_") == 0 ||
                            text.compare(0, 2, "A2") == 0)) {
        // The driver's gate form: two digits of main group, four of sub group.
        if (text.size() != 9 || text[4] != '/') return std::nullopt;
        pos = 2;
        auto main = Number(text, pos, 2);
        if (!main || pos != 4) return std::nullopt;
        ++pos;
        auto sub = Number(text, pos, 4);
        if (!sub || pos != text.size() || *main > 31 || *sub > 2047) return std::nullopt;
        return static_cast<uint16_t>((*main << 11) | *sub);
    }
    auto first = Number(text, pos, 5);
    if (!first || pos >= text.size() || text[pos] != '/') return std::nullopt;
    ++pos;
    auto second = Number(text, pos, 5);
    if (!second) return std::nullopt;
    if (pos == text.size()) {
        if (*first > 31 || *second > 2047) return std::nullopt;
        return static_cast<uint16_t>((*first << 11) | *second);
    }
    if (text[pos] != '/') return std::nullopt;
    ++pos;
    auto third = Number(text, pos, 5);
    if (!third || pos != text.size() || *first > 31 || *second > 7 || *third > 255) return std::nullopt;
    return static_cast<uint16_t>((*first << 11) | (*second << 8) | *third);
}

std::optional<uint16_t> ParseIndividual(const std::string& text) {
    size_t pos = 0;
    auto area = Number(text, pos, 3);
    if (!area || pos >= text.size() || text[pos] != '.') return std::nullopt;
    ++pos;
    auto line = Number(text, pos, 3);
    if (!line || pos >= text.size() || text[pos] != '.') return std::nullopt;
    ++pos;
    auto device = Number(text, pos, 3);
    if (!device || pos != text.size() || *area > 15 || *line > 15 || *device > 255) return std::nullopt;
    return static_cast<uint16_t>((*area << 12) | (*line << 8) | *device);
}

}  // namespace bcuemu
