// bcusim's scenario reader on arbitrary file contents, and its value parser.
// Invariants: a bad scenario is refused with a ScenarioError, nothing else
// escapes; a parsed value fits its size, and a two-byte float read back is
// the number written, to the format's precision.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scenario.h"

namespace {

void Require(bool condition, const char* what, const std::string& text) {
    if (condition) return;
    std::fprintf(stderr, "bcusim scenario invariant broken: %s ('%s')\n", what, text.c_str());
    std::abort();
}

void CheckValue(const std::string& text) {
    using bcuemu::ValueSize;
    for (ValueSize size : {ValueSize::kBit, ValueSize::kByte, ValueSize::kWord}) {
        const std::optional<uint16_t> value = bcusim::parseValue(text, size);
        if (!value) continue;
        if (size == ValueSize::kBit) Require(*value <= 1, "a bit value is 0 or 1", text);
        if (size == ValueSize::kByte) Require(*value <= 255, "a byte value fits a byte", text);
        if (size == ValueSize::kWord && text.find('.') != std::string::npos) {
            const double written = std::strtod(text.c_str(), nullptr);
            const double read = bcusim::decodeFloat16(*value);
            // The format's step grows with the exponent: 0.01 * 2^exponent.
            const double step = 0.01 * std::ldexp(1.0, (*value >> 11) & 0x0F);
            Require(std::fabs(read - written) <= step, "a two-byte float reads back as written", text);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (size <= 24 && text.find('\0') == std::string::npos) CheckValue(text);

    static const std::string path = "/tmp/qel-fuzz-scenario-" + std::to_string(getpid()) + ".toml";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    try {
        bcusim::loadScenario(path);
    } catch (const bcusim::ScenarioError&) {
    }
    return 0;
}
