#include "step_rules.h"

#include <algorithm>

namespace eibhost {
namespace {

struct Rule {
    const char* action;
    std::vector<std::string> required;
    std::vector<std::string> optional;
    std::vector<std::string> positional;
    const char* usage;
};

const std::vector<Rule>& Rules() {
    static const std::vector<Rule> rules = {
        {"read", {"gate"}, {"instance", "expect_result", "expect_value"}, {"gate"},
         "read GATE                      group Read (code 5); prints the value word"},
        {"write", {"gate", "value"}, {"instance", "expect_result"}, {"gate", "value"},
         "write GATE VALUE               group Write (code 7)"},
        {"cell-read", {"cell"}, {"instance", "expect_result", "expect_value"}, {"cell"},
         "cell-read GET_0116|GET_LAYER   read a BCU cell (code 5)"},
        {"cell-write", {"cell", "value"}, {"instance", "expect_result"}, {"cell", "value"},
         "cell-write PUT_0116|PUT_LAYER VALUE  set a BCU cell (code 7)"},
        {"chk", {}, {"instance", "expect_result", "expect_value"}, {},
         "chk                            CHK_COMM: reset the BCU, value 1 (code 5)"},
        {"warm", {}, {"instance", "expect_result"}, {}, "warm                           WarmStart (code 2)"},
        {"close", {}, {"instance", "expect_result"}, {}, "close                          close the port (code 12)"},
        {"open", {}, {"instance", "expect_result"}, {}, "open                           open the port again (code 13)"},
        {"reconfigure", {"port"},
         {"instance", "read_timeout", "baud", "data_bits", "stop_bits", "parity", "expect_result"},
         {"port", "read_timeout"}, "reconfigure PORT [READ_TIMEOUT] take a new port and reopen (code 15)"},
        {"dtr", {"value"}, {"instance", "expect_result"}, {"value"}, "dtr 0|1                        SET_DTR (code 7)"},
        {"rts", {"value"}, {"instance", "expect_result"}, {"value"}, "rts 0|1                        SET_RTS (code 7)"},
        {"wait", {}, {"ms", "gate", "value", "timeout_ms", "instance"}, {},
         "wait MS | wait GATE VALUE [TIMEOUT_MS]  pause, or wait for a gate's value"},
        {"expect", {}, {"gate", "value", "log", "result", "instance"}, {},
         "expect GATE VALUE | expect log TEXT | expect result R  assert a value, a log text, the last result"},
        {"stop", {}, {"instance", "expect_result"}, {}, "stop                           EndQel (code 11); all instances without instance="},
        {"start", {}, {"instance", "expect_result"}, {}, "start                          ColdStart (code 1) a stopped instance again"},
        {"say", {"text"}, {}, {"text"}, "say TEXT                       print a note"},
    };
    return rules;
}

const Rule* FindRule(const std::string& action) {
    for (const Rule& rule : Rules()) {
        if (action == rule.action) return &rule;
    }
    return nullptr;
}

bool Contains(const std::vector<std::string>& keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::string CheckRanges(const Step& step) {
    for (const auto& [key, value] : step.keys) {
        if (IsTextKey(key) != std::holds_alternative<std::string>(value)) {
            return "'" + key + "' must be " + (IsTextKey(key) ? "text" : "an integer");
        }
        if (IsTextKey(key)) continue;
        int64_t number = std::get<int64_t>(value);
        if ((key == "value" || key == "expect_value") && (number < 0 || number > 0xFFFF)) {
            return "'" + key + "' must be 0 to 65535";
        }
        if (key == "instance" && (number < 1 || number > 64)) return "'instance' must be 1 or more";
        if ((key == "ms" || key == "timeout_ms") && (number < 0 || number > 3600000)) {
            return "'" + key + "' must be 0 to 3600000";
        }
        if ((key == "baud" || key == "data_bits" || key == "stop_bits" || key == "parity" ||
             key == "read_timeout") &&
            (number < 0 || number > 0xFFFF)) {
            return "'" + key + "' must be 0 to 65535";
        }
    }
    return {};
}

std::string CheckCell(const Step& step) {
    std::string cell = UpperCase(step.Text("cell"));
    if (step.action == "cell-read" && cell != "GET_0116" && cell != "GET_LAYER") {
        return "cell-read takes cell \"GET_0116\" or \"GET_LAYER\", not \"" + step.Text("cell") + "\"";
    }
    if (step.action == "cell-write" && cell != "PUT_0116" && cell != "PUT_LAYER") {
        return "cell-write takes cell \"PUT_0116\" or \"PUT_LAYER\", not \"" + step.Text("cell") + "\"";
    }
    return {};
}

std::string CheckAlternatives(const Step& step) {
    if (step.action == "wait") {
        bool forGate = step.Has("gate") || step.Has("value") || step.Has("timeout_ms");
        if (step.Has("ms") == forGate) return "wait takes either ms=N, or gate=G value=V [timeout_ms=N]";
        if (forGate && !(step.Has("gate") && step.Has("value"))) return "wait for a gate needs both gate and value";
    }
    if (step.action == "expect") {
        int kinds = (step.Has("gate") || step.Has("value") ? 1 : 0) + (step.Has("log") ? 1 : 0) +
                    (step.Has("result") ? 1 : 0);
        if (kinds != 1) return "expect takes one of: gate=G value=V, log=TEXT, result=R";
        if ((step.Has("gate") || step.Has("value")) && !(step.Has("gate") && step.Has("value"))) {
            return "expect for a gate needs both gate and value";
        }
    }
    return {};
}

}  // namespace

bool IsTextKey(const std::string& key) {
    return key == "gate" || key == "cell" || key == "port" || key == "text" || key == "log";
}

std::string CheckStep(const Step& step) {
    const Rule* rule = FindRule(step.action);
    if (rule == nullptr) {
        std::string known;
        for (const Rule& each : Rules()) known += std::string(known.empty() ? "" : ", ") + each.action;
        return "unknown action '" + step.action + "' (known: " + known + ")";
    }
    for (const auto& [key, value] : step.keys) {
        if (!Contains(rule->required, key) && !Contains(rule->optional, key)) {
            return "'" + step.action + "' does not take '" + key + "'";
        }
    }
    for (const std::string& key : rule->required) {
        if (!step.Has(key)) return "'" + step.action + "' needs '" + key + "'";
    }
    std::string problem = CheckRanges(step);
    if (problem.empty()) problem = CheckCell(step);
    if (problem.empty()) problem = CheckAlternatives(step);
    return problem;
}

std::vector<std::string> PositionalKeys(const std::string& action, size_t count) {
    if (action == "wait") {
        if (count == 1) return {"ms"};
        return {"gate", "value", "timeout_ms"};
    }
    if (action == "expect") return {"gate", "value"};
    const Rule* rule = FindRule(action);
    return rule != nullptr ? rule->positional : std::vector<std::string>{};
}

std::string StepHelp() {
    std::string out;
    for (const Rule& rule : Rules()) out += std::string("  ") + rule.usage + "\n";
    out +=
        "  Any command also takes key=value arguments: instance=N, expect_result=R, expect_value=V.\n"
        "  use N                          make instance N the default for commands\n"
        "  help | quit\n";
    return out;
}

}  // namespace eibhost
