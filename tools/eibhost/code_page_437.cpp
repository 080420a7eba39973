#include "code_page_437.h"

namespace eibhost {
namespace {

const char* BoxCharacter(unsigned char byte) {
    switch (byte) {
        case 0xDA: return "\u250C";  // ┌
        case 0xBF: return "\u2510";  // ┐
        case 0xB3: return "\u2502";  // │
        case 0xC0: return "\u2514";  // └
        case 0xD9: return "\u2518";  // ┘
        case 0xC4: return "\u2500";  // ─
        default: return "\uFFFD";
    }
}

}  // namespace

std::string BannerToUtf8(const char* text) {
    std::string out;
    if (text == nullptr) return out;
    for (const char* p = text; *p != '\0'; ++p) {
        auto byte = static_cast<unsigned char>(*p);
        if (byte == '\r' && p[1] == '\n') continue;
        if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else {
            out += BoxCharacter(byte);
        }
    }
    return out;
}

}  // namespace eibhost
