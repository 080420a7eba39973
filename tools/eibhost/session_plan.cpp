#include "session_plan.h"

#include <cctype>

namespace eibhost {

std::string SourceLocation::Text() const { return line > 0 ? file + ":" + std::to_string(line) : file; }

int64_t Step::Integer(const std::string& key, int64_t fallback) const {
    auto found = keys.find(key);
    if (found == keys.end()) return fallback;
    if (const auto* number = std::get_if<int64_t>(&found->second)) return *number;
    return fallback;
}

std::string Step::Text(const std::string& key) const {
    auto found = keys.find(key);
    if (found == keys.end()) return {};
    if (const auto* value = std::get_if<std::string>(&found->second)) return *value;
    return std::to_string(std::get<int64_t>(found->second));
}

std::string Step::Describe() const {
    std::string out = action;
    for (const auto& [key, value] : keys) {
        out += " " + key + "=";
        if (const auto* textValue = std::get_if<std::string>(&value)) {
            out += "\"" + *textValue + "\"";
        } else {
            out += std::to_string(std::get<int64_t>(value));
        }
    }
    return out;
}

uint32_t DefaultGateType(const std::string& address) { return UpperCase(address).rfind("D_", 0) == 0 ? 6 : 0; }

std::string UpperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace eibhost
