// What a session runs: instances, their gates and the steps, as read from
// files, options or typed commands, before anything is started.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace eibhost {

// Where an item came from, for error messages: "FILE:LINE".
struct SourceLocation {
    std::string file;
    int line = 0;
    std::string Text() const;
};

struct InstancePlan {
    std::string port;
    uint32_t portEnabled = 1;
    uint32_t readTimeout = 100;  // units of 10 ms
    uint8_t hostByte = 0;
    // Line settings; unset ones take the driver's defaults.
    std::optional<uint16_t> baud, dataBits, stopBits, parity;
    int32_t expectStart = 0;  // ColdStart's expected result
    SourceLocation where;
};

struct GatePlan {
    int instance = 1;  // 1-based
    std::string address;
    std::optional<uint32_t> type;  // unset: 6 for "D_" gates, 0 for everything else
    int32_t expectParse = 0;       // code 3's expected result
    SourceLocation where;
};

using StepValue = std::variant<int64_t, std::string>;

// One action with its named arguments ("gate", "value", "expect_result", ...).
struct Step {
    std::string action;
    std::map<std::string, StepValue> keys;
    SourceLocation where;

    bool Has(const std::string& key) const { return keys.count(key) != 0; }
    int64_t Integer(const std::string& key, int64_t fallback = 0) const;
    std::string Text(const std::string& key) const;
    std::string Describe() const;  // "write gate=A_01/0002 value=55"
};

struct SessionPlan {
    std::vector<InstancePlan> instances;
    std::vector<GatePlan> gates;
    std::vector<Step> steps;
};

// The gate type the driver requires for an address: 6 for "D_" gates, else 0.
uint32_t DefaultGateType(const std::string& address);
std::string UpperCase(std::string text);

}  // namespace eibhost
