#include "group_address.h"

#include <cstdio>

namespace eibhost {
namespace {

constexpr uint8_t kDataIndication = 0x49;
constexpr size_t kApduStart = 8;  // header, code, control, source (2), destination (2), length

bool ReadNumber(const std::string& text, size_t& at, unsigned& value) {
    const size_t begin = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < 6) {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        ++at;
    }
    return at > begin;
}

bool SplitThreeLevel(const std::string& text, unsigned& main, unsigned& middle, unsigned& sub) {
    size_t at = 0;
    return ReadNumber(text, at, main) && at < text.size() && text[at++] == '/' && ReadNumber(text, at, middle) &&
           at < text.size() && text[at++] == '/' && ReadNumber(text, at, sub) && at == text.size();
}

}  // namespace

bool IsThreeLevelGroup(const std::string& text) {
    unsigned main = 0, middle = 0, sub = 0;
    return SplitThreeLevel(text, main, middle, sub);
}

std::string GateAddressOf(const std::string& text, std::string& error) {
    unsigned main = 0, middle = 0, sub = 0;
    if (!SplitThreeLevel(text, main, middle, sub)) return text;
    if (main > kMaxMainGroup || middle > 7 || sub > 255) {
        error = "group address '" + text + "' is out of range (main 0.." + std::to_string(kMaxMainGroup) +
                ", middle 0..7, sub 0..255)";
        return {};
    }
    char gate[16];
    std::snprintf(gate, sizeof gate, "A_%02u/%04u", main, middle * 256 + sub);
    return gate;
}

std::string GroupText(uint16_t group) {
    return std::to_string((group >> 11) & 0x1F) + "/" + std::to_string((group >> 8) & 0x07) + "/" +
           std::to_string(group & 0xFF);
}

std::string GroupTextOfGate(const std::string& gateAddress) {
    // Prefix (2), main (2 digits), "/", sub (4 digits), as the driver builds them.
    if (gateAddress.size() != 9 || gateAddress[4] != '/') return {};
    const std::string prefix = gateAddress.substr(0, 2);
    if (prefix != "A_" && prefix != "D_" && prefix != "A2") return {};
    unsigned main = 0, sub = 0;
    size_t at = 2;
    if (!ReadNumber(gateAddress, at, main) || at != 4) return {};
    ++at;
    if (!ReadNumber(gateAddress, at, sub) || at != 9) return {};
    if (main > 31 || sub > 2047) return {};
    return GroupText(static_cast<uint16_t>(main * 2048 + sub));
}

std::string IndividualText(uint16_t address) {
    return std::to_string(address >> 12) + "." + std::to_string((address >> 8) & 0x0F) + "." +
           std::to_string(address & 0xFF);
}

std::string MonitorLine(const uint8_t* frame, size_t size) {
    if (size < kApduStart + 2) return {};
    const size_t n = frame[0] & 0x1Fu;  // bytes after the header
    if (frame[1] != kDataIndication || n < kApduStart + 1 || n >= size) return {};
    const uint8_t* apdu = frame + kApduStart;
    const size_t length = n + 1 - kApduStart;
    const auto source = static_cast<uint16_t>(frame[3] << 8 | frame[4]);
    const auto destination = static_cast<uint16_t>(frame[5] << 8 | frame[6]);
    const unsigned service = apdu[1] & 0xC0u;
    if ((apdu[0] & 0x03u) != 0 || service == 0xC0) {
        std::string line = "Unknown APDU from " + IndividualText(source) + " to " + GroupText(destination) + ": ";
        char hex[4];
        for (size_t i = 0; i < length; ++i) {
            std::snprintf(hex, sizeof hex, "%02X ", apdu[i]);
            line += hex;
        }
        return line;
    }
    std::string line = service == 0x00 ? "Read" : service == 0x40 ? "Response" : "Write";
    line += " from " + IndividualText(source) + " to " + GroupText(destination);
    if (service != 0) {
        char hex[4];
        line += ": ";
        if (length == 2) {
            std::snprintf(hex, sizeof hex, "%02X", apdu[1] & 0x3Fu);
            line += hex;
        } else {
            for (size_t i = 2; i < length; ++i) {
                std::snprintf(hex, sizeof hex, "%02X ", apdu[i]);
                line += hex;
            }
        }
    }
    return line;
}

}  // namespace eibhost
