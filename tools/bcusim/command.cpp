#include "command.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace bcusim {

namespace {

std::optional<unsigned long> HexNumber(const std::string& text, unsigned long max) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0' || v > max) return std::nullopt;
    return v;
}

std::optional<int> LineNumber(const std::string& text) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 1 || v > 64) return std::nullopt;
    return static_cast<int>(v);
}

bcuemu::ValueSize GuessSize(const std::string& group, const std::string& value) {
    if (group.rfind("D_", 0) == 0) return bcuemu::ValueSize::kBit;
    if (group.rfind("A_", 0) == 0) return bcuemu::ValueSize::kByte;
    if (group.rfind("A2", 0) == 0) return bcuemu::ValueSize::kWord;
    if (value.find('.') != std::string::npos) return bcuemu::ValueSize::kWord;
    const long v = std::strtol(value.c_str(), nullptr, 0);
    if (v <= 1) return bcuemu::ValueSize::kBit;
    return v <= 0xFF ? bcuemu::ValueSize::kByte : bcuemu::ValueSize::kWord;
}

}  // namespace

bool ParseCommand(const std::string& text, Command& c, std::string& error) {
    c = Command{};
    std::istringstream in(text.substr(0, text.find('#')));
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return true;
    const std::string& verb = words[0];
    auto needs = [&](size_t min, size_t max, const char* usage) {
        if (words.size() >= min && words.size() <= max) return true;
        error = std::string("usage: ") + usage;
        return false;
    };
    auto group = [&](const std::string& w) {
        auto g = bcuemu::ParseGroup(w);
        if (!g) error = "not a group address: " + w;
        else c.group = *g;
        return g.has_value();
    };
    if (verb == "help" || verb == "?") {
        c.kind = Command::Kind::kHelp;
        return true;
    }
    if (verb == "quit" || verb == "exit") {
        c.kind = Command::Kind::kQuit;
        return true;
    }
    if (verb == "status") {
        c.kind = Command::Kind::kStatus;
        return true;
    }
    if (verb == "write" || verb == "send" || verb == "response") {
        if (!needs(3, 4, "write GROUP VALUE [bit|byte|word]") || !group(words[1])) return false;
        c.kind = verb == "response" ? Command::Kind::kResponse : Command::Kind::kWrite;
        c.valueText = words[2];
        c.guessedSize = GuessSize(words[1], words[2]);
        if (words[1].size() > 2 && words[1][1] != '/' && !std::isdigit(static_cast<unsigned char>(words[1][0])))
            c.size = c.guessedSize;  // a gate form (D_, A_, A2) states the size
        if (words.size() == 4) {
            if (words[3] == "bit") c.size = bcuemu::ValueSize::kBit;
            else if (words[3] == "byte") c.size = bcuemu::ValueSize::kByte;
            else if (words[3] == "word") c.size = bcuemu::ValueSize::kWord;
            else {
                error = "size must be bit, byte or word: " + words[3];
                return false;
            }
        }
        return true;
    }
    if (verb == "read") {
        if (!needs(2, 2, "read GROUP") || !group(words[1])) return false;
        c.kind = Command::Kind::kRead;
        return true;
    }
    if (verb == "set") {
        if (!needs(3, 3, "set GROUP VALUE") || !group(words[1])) return false;
        c.kind = Command::Kind::kSet;
        c.valueText = words[2];
        return true;
    }
    if (verb == "frame") {
        if (!needs(3, 34, "frame LINE HEX...")) return false;
        auto line = LineNumber(words[1]);
        if (!line) {
            error = "not a line number: " + words[1];
            return false;
        }
        c.kind = Command::Kind::kFrame;
        c.line = *line;
        for (size_t i = 2; i < words.size(); ++i) {
            auto b = HexNumber(words[i], 0xFF);
            if (!b) {
                error = "not a hex byte: " + words[i];
                return false;
            }
            c.bytes.push_back(static_cast<uint8_t>(*b));
        }
        return true;
    }
    if (verb == "cell") {
        if (!needs(3, 4, "cell LINE ADDRESS [VALUE]")) return false;
        auto line = LineNumber(words[1]);
        auto address = HexNumber(words[2], 0xFFFF);
        if (!line || !address) {
            error = "usage: cell LINE ADDRESS [VALUE] (address and value in hex)";
            return false;
        }
        c.kind = Command::Kind::kCell;
        c.line = *line;
        c.cell = static_cast<uint16_t>(*address);
        if (words.size() == 4) {
            auto v = HexNumber(words[3], 0xFF);
            if (!v) {
                error = "not a hex byte: " + words[3];
                return false;
            }
            c.cellValue = static_cast<unsigned>(*v);
        }
        return true;
    }
    if (verb == "busy" || verb == "lost") {
        const char* usage = verb == "busy" ? "busy MS (0 to 65535)" : "lost N (0 to 65535)";
        if (!needs(2, 2, usage)) return false;
        unsigned long n = 0;
        for (char ch : words[1]) n = ch >= '0' && ch <= '9' && n <= 65535 ? n * 10 + static_cast<unsigned long>(ch - '0') : 70000;
        if (n > 65535) {
            error = std::string("usage: ") + usage;
            return false;
        }
        c.kind = verb == "busy" ? Command::Kind::kBusy : Command::Kind::kLost;
        c.count = static_cast<uint16_t>(n);
        return true;
    }
    error = "unknown command \"" + verb + "\" (try help)";
    return false;
}

}  // namespace bcusim
