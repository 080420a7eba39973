#include "command_text.h"

#include <cctype>
#include <sstream>
#include <vector>

#include "group_address.h"
#include "step_rules.h"

namespace eibhost {
namespace {

bool ParseInteger(const std::string& text, int64_t& value) {
    if (text.empty()) return false;
    try {
        size_t used = 0;
        value = std::stoll(text, &used, 0);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

std::string RestAfterWords(const std::string& line, size_t words) {
    size_t at = 0;
    for (size_t i = 0; i < words; ++i) {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
        while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) ++at;
    }
    while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
    std::string rest = line.substr(at);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
    return rest;
}

bool SetKey(Step& step, const std::string& key, const std::string& text, std::string& error) {
    if (key == "gate") {
        step.keys[key] = GateAddressOf(text, error);  // "1/2/3" is "A_01/0515"
        return error.empty();
    }
    if (IsTextKey(key)) {
        step.keys[key] = text;
        return true;
    }
    int64_t number = 0;
    if (!ParseInteger(text, number)) {
        error = "'" + key + "' must be a number, not '" + text + "'";
        return false;
    }
    step.keys[key] = number;
    return true;
}

}  // namespace

void ParseCommandText(const std::string& line, Step& step, std::string& error) {
    step = Step{};
    step.where = {"command", 0};
    error.clear();
    std::istringstream words(line);
    std::vector<std::string> tokens;
    for (std::string token; words >> token;) tokens.push_back(token);
    if (tokens.empty()) return;
    step.action = tokens[0];
    for (char& c : step.action) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (step.action == "help" || step.action == "quit" || step.action == "exit") return;
    if (step.action == "use") {
        int64_t number = 0;
        if (tokens.size() != 2 || !ParseInteger(tokens[1], number) || number < 1) error = "use N: N is an instance number";
        step.keys["instance"] = number;
        return;
    }
    if (step.action == "say") {
        step.keys["text"] = RestAfterWords(line, 1);
        return;
    }
    if (step.action == "expect" && tokens.size() >= 2 && (tokens[1] == "log" || tokens[1] == "result")) {
        if (tokens[1] == "log") {
            step.keys["log"] = RestAfterWords(line, 2);
        } else if (tokens.size() != 3 || !SetKey(step, "result", tokens[2], error)) {
            if (error.empty()) error = "expect result R";
        }
        return;
    }
    std::vector<std::string> positional;
    for (size_t i = 1; i < tokens.size(); ++i) {
        size_t equals = tokens[i].find('=');
        if (equals == std::string::npos) {
            positional.push_back(tokens[i]);
        } else if (!SetKey(step, tokens[i].substr(0, equals), tokens[i].substr(equals + 1), error)) {
            return;
        }
    }
    std::vector<std::string> names = PositionalKeys(step.action, positional.size());
    if (positional.size() > names.size()) {
        error = "too many arguments for '" + step.action + "'";
        return;
    }
    for (size_t i = 0; i < positional.size(); ++i) {
        if (!SetKey(step, names[i], positional[i], error)) return;
    }
    error = CheckStep(step);
}

}  // namespace eibhost
