#include "session_file.h"

#include <toml++/toml.h>

#include "abi/records.h"
#include "group_address.h"
#include "step_rules.h"

namespace eibhost {
namespace {

SourceLocation Where(const std::string& path, const toml::node& node) {
    return {path, static_cast<int>(node.source().begin.line)};
}

[[noreturn]] void Fail(const SourceLocation& where, const std::string& what) {
    throw InputError(where.Text() + ": " + what);
}

int64_t Integer(const std::string& path, const std::string& key, const toml::node& node, int64_t low, int64_t high) {
    std::optional<int64_t> value = node.value<int64_t>();
    if (!node.is_integer() || !value) Fail(Where(path, node), "'" + key + "' must be an integer");
    if (*value < low || *value > high) {
        Fail(Where(path, node), "'" + key + "' must be " + std::to_string(low) + " to " + std::to_string(high));
    }
    return *value;
}

std::string Text(const std::string& path, const std::string& key, const toml::node& node) {
    if (!node.is_string()) Fail(Where(path, node), "'" + key + "' must be text in quotes");
    return *node.value<std::string>();
}

// A 3-level group address ("1/2/3") becomes the driver's gate address ("A_01/0515").
std::string GateAddress(const SourceLocation& where, const std::string& text) {
    std::string error;
    std::string address = GateAddressOf(text, error);
    if (!error.empty()) Fail(where, error);
    return address;
}

const toml::table& Table(const std::string& path, const std::string& name, const toml::node& node) {
    if (!node.is_table()) Fail(Where(path, node), "each '" + name + "' must be a table: write [[" + name + "]]");
    return *node.as_table();
}

InstancePlan ReadInstance(const std::string& path, const toml::table& table) {
    InstancePlan plan;
    plan.where = Where(path, table);
    bool hasPort = false;
    for (const auto& [name, node] : table) {
        const std::string key(name.str());
        if (key == "port") {
            plan.port = Text(path, key, node);
            hasPort = true;
            if (plan.port.empty() || plan.port.size() >= qel::kPortNameSize) {
                Fail(Where(path, node), "'port' must be 1 to 11 characters (the driver keeps at most 11)");
            }
        } else if (key == "enabled") {
            if (node.is_boolean()) {
                plan.portEnabled = *node.value<bool>() ? 1 : 0;
            } else {
                plan.portEnabled = static_cast<uint32_t>(Integer(path, key, node, 0, 0xFFFFFFFF));
            }
        } else if (key == "read_timeout") {
            plan.readTimeout = static_cast<uint32_t>(Integer(path, key, node, 0, 0xFFFFFFFF));
        } else if (key == "host_byte") {
            plan.hostByte = static_cast<uint8_t>(Integer(path, key, node, 0, 255));
        } else if (key == "baud") {
            plan.baud = static_cast<uint16_t>(Integer(path, key, node, 0, 0xFFFF));
        } else if (key == "data_bits") {
            plan.dataBits = static_cast<uint16_t>(Integer(path, key, node, 0, 0xFFFF));
        } else if (key == "stop_bits") {
            plan.stopBits = static_cast<uint16_t>(Integer(path, key, node, 0, 0xFFFF));
        } else if (key == "parity") {
            plan.parity = static_cast<uint16_t>(Integer(path, key, node, 0, 0xFFFF));
        } else if (key == "expect_start") {
            plan.expectStart = static_cast<int32_t>(Integer(path, key, node, -1, 255));
        } else {
            Fail(Where(path, node), "[[instance]] does not take '" + key +
                                        "' (known: port, enabled, read_timeout, host_byte, baud, data_bits, "
                                        "stop_bits, parity, expect_start)");
        }
    }
    if (!hasPort) Fail(plan.where, "[[instance]] needs a port, e.g. port = \"NULLDEV\"");
    return plan;
}

GatePlan ReadGate(const std::string& path, const toml::table& table) {
    GatePlan plan;
    plan.where = Where(path, table);
    bool hasAddress = false;
    for (const auto& [name, node] : table) {
        const std::string key(name.str());
        if (key == "address") {
            plan.address = GateAddress(Where(path, node), Text(path, key, node));
            hasAddress = true;
            if (plan.address.empty() || plan.address.size() > 9) {
                Fail(Where(path, node),
                     "'address' must be 1 to 9 characters, e.g. \"A_01/0002\", \"1/2/3\" or \"GET_LAYER\"");
            }
        } else if (key == "instance") {
            plan.instance = static_cast<int>(Integer(path, key, node, 1, 64));
        } else if (key == "type") {
            plan.type = static_cast<uint32_t>(Integer(path, key, node, 0, 255));
        } else if (key == "expect_parse") {
            plan.expectParse = static_cast<int32_t>(Integer(path, key, node, -1, 255));
        } else {
            Fail(Where(path, node), "[[gate]] does not take '" + key + "' (known: address, instance, type, expect_parse)");
        }
    }
    if (!hasAddress) Fail(plan.where, "[[gate]] needs an address, e.g. address = \"A_01/0002\"");
    return plan;
}

Step ReadStep(const std::string& path, const toml::table& table) {
    Step step;
    step.where = Where(path, table);
    bool hasAction = false;
    for (const auto& [name, node] : table) {
        const std::string key(name.str());
        if (key == "do") {
            step.action = Text(path, key, node);
            hasAction = true;
        } else if (node.is_integer()) {
            step.keys[key] = *node.value<int64_t>();
        } else if (node.is_string() && key == "gate") {
            step.keys[key] = GateAddress(Where(path, node), *node.value<std::string>());
        } else if (node.is_string()) {
            step.keys[key] = *node.value<std::string>();
        } else if (node.is_boolean()) {
            step.keys[key] = static_cast<int64_t>(*node.value<bool>() ? 1 : 0);
        } else {
            Fail(Where(path, node), "'" + key + "' must be an integer or text");
        }
    }
    if (!hasAction) Fail(step.where, "[[step]] needs do = \"ACTION\", e.g. do = \"read\"");
    std::string problem = CheckStep(step);
    if (!problem.empty()) Fail(step.where, problem);
    return step;
}

}  // namespace

void ReadSessionFile(const std::string& path, SessionPlan& plan, bool allowSteps) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& error) {
        const auto& source = error.source();
        if (source.begin.line == 0) throw InputError(path + ": cannot read: " + std::string(error.description()));
        throw InputError(path + ":" + std::to_string(source.begin.line) + ": " + std::string(error.description()));
    }
    for (const auto& [name, node] : root) {
        const std::string section(name.str());
        if (section != "instance" && section != "gate" && section != "step") {
            Fail(Where(path, node), "unknown section '" + section + "' (known: [[instance]], [[gate]], [[step]])");
        }
        if (section == "step" && !allowSteps) {
            Fail(Where(path, node), "steps belong in a script: give this file with --script");
        }
        const toml::array* items = node.as_array();
        if (items == nullptr) Fail(Where(path, node), "'" + section + "' must be written [[" + section + "]]");
        for (const toml::node& item : *items) {
            const toml::table& table = Table(path, section, item);
            if (section == "instance") plan.instances.push_back(ReadInstance(path, table));
            if (section == "gate") plan.gates.push_back(ReadGate(path, table));
            if (section == "step") plan.steps.push_back(ReadStep(path, table));
        }
    }
}

void CheckPlan(const SessionPlan& plan) {
    const auto count = static_cast<int64_t>(plan.instances.size());
    for (const GatePlan& gate : plan.gates) {
        if (gate.instance > count) {
            Fail(gate.where, "gate '" + gate.address + "' is for instance " + std::to_string(gate.instance) +
                                 ", but only " + std::to_string(count) + " instance(s) are declared");
        }
    }
    for (const Step& step : plan.steps) {
        if (step.Has("instance") && step.Integer("instance") > count) {
            Fail(step.where, "instance " + std::to_string(step.Integer("instance")) + " is not declared (" +
                                 std::to_string(count) + " instance(s))");
        }
        if (!step.Has("gate")) continue;
        const std::string wanted = UpperCase(step.Text("gate"));
        bool declared = false;
        for (const GatePlan& gate : plan.gates) {
            bool sameInstance = !step.Has("instance") || step.Integer("instance") == gate.instance;
            if (sameInstance && UpperCase(gate.address) == wanted) declared = true;
        }
        if (!declared) Fail(step.where, "gate '" + step.Text("gate") + "' is not declared in any [[gate]]");
    }
}

}  // namespace eibhost
