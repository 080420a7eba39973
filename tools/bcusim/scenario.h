// A bcusim scenario: the lines (one emulated BCU each), the devices on the
// bus with their schedules, and scripted commands, read from a TOML file.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bcuemu/telegram.h"

namespace bcusim {

// One emulated BCU: the virtual line it serves and its address on the bus.
struct BcuLine {
    std::string endpoint;      // empty: a free name is picked
    uint16_t address = 0x11FA; // the BCU's individual address
};

// A device on the bus: its group object and what it sends by itself.
struct ScheduledDevice {
    std::string name;
    uint16_t group = 0;
    bcuemu::ValueSize size = bcuemu::ValueSize::kBit;
    uint16_t value = 0;
    uint16_t address = 0x1201;
    bool answersReads = true;
    // Schedule: every `every` seconds from `start`, send the next of `values`
    // (cycled), or the value stepped by `step` within [from, to] (wrapping).
    double every = 0;  // 0: never sends by itself
    double start = 0;
    std::vector<uint16_t> values;
    std::optional<int> step;
    int from = 0, to = 0;
};

struct ScriptStep {
    double at = 0;        // seconds after start
    std::string command;  // as typed on stdin
    int line = 0;         // in the scenario file
};

struct Scenario {
    bool realistic = false;
    std::vector<BcuLine> lines;
    std::vector<ScheduledDevice> devices;
    std::vector<ScriptStep> script;
};

// Thrown with "file:line: what" for a scenario that cannot be used.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Scenario LoadScenario(const std::string& path);

// A group value written in a scenario or typed: integers (decimal or 0x..),
// or for two-byte values a temperature-style number with a point ("21.5"),
// which is encoded as a 2-byte float (DPT 9). nullopt when it does not fit.
std::optional<uint16_t> ParseValue(const std::string& text, bcuemu::ValueSize size);
// Whether a two-byte float can carry value (rounded to 0.01 and its exponent's step).
bool Float16Fits(double value);
uint16_t EncodeFloat16(double value);
double DecodeFloat16(uint16_t raw);

}  // namespace bcusim
