#include "step_runner.h"

#include <thread>

namespace eibhost {
namespace {

std::string ValueText(uint16_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%u (0x%04X)", value, value);
    return text;
}

std::string NotRunning(int instance) {
    return "instance " + std::to_string(instance) + " is not running";
}

}  // namespace

StepOutcome StepRunner::Judge(const Step& step, const std::string& what, int32_t result, const uint16_t* value) {
    lastResult_ = result;
    std::string message = what + " -> result " + std::to_string(result);
    if (value != nullptr) message += ", value " + ValueText(*value);
    int64_t expected = step.Integer("expect_result", 0);
    if (result != expected) return {false, message + ", expected result " + std::to_string(expected)};
    if (value != nullptr && step.Has("expect_value") && *value != step.Integer("expect_value")) {
        return {false, message + ", expected value " + ValueText(static_cast<uint16_t>(step.Integer("expect_value")))};
    }
    return {true, message};
}

StepOutcome StepRunner::Run(const Step& step) {
    const std::string& action = step.action;
    if (action == "say") return {true, step.Text("text")};
    if (action == "wait") return WaitStep(step);
    if (action == "expect") return ExpectStep(step);
    if (action == "stop") return StopStep(step);
    if (action == "read" || action == "write") return GateStep(step);

    int instance = static_cast<int>(step.Integer("instance", defaultInstance));
    if (instance < 1 || instance > host_.InstanceCount()) return {false, "no instance " + std::to_string(instance)};
    if (action == "start") {
        if (host_.IsRunning(instance)) return {false, "instance " + std::to_string(instance) + " is already running"};
        return Judge(step, "start " + host_.PortOf(instance), host_.Start(instance), nullptr);
    }
    if (action == "close" || action == "open" || action == "reconfigure") return PortStep(step, instance);
    if (!host_.IsRunning(instance)) return {false, NotRunning(instance)};
    return CommandStep(step, instance);
}

StepOutcome StepRunner::GateStep(const Step& step) {
    int preferred = static_cast<int>(step.Integer("instance", defaultInstance));
    const GateRow* row = host_.FindGate(step.Text("gate"), preferred);
    if (row == nullptr || (step.Has("instance") && row->instance != preferred)) {
        return {false, "gate '" + step.Text("gate") + "' is not declared" +
                           (step.Has("instance") ? " on instance " + std::to_string(preferred) : "")};
    }
    if (!host_.IsRunning(row->instance)) return {false, NotRunning(row->instance)};
    const std::string where = " " + row->address + " (instance " + std::to_string(row->instance) + ")";
    if (step.action == "read") {
        uint16_t value = 0;
        int32_t result = host_.Read(*row, value);
        return Judge(step, "read" + where, result, &value);
    }
    auto value = static_cast<uint16_t>(step.Integer("value"));
    return Judge(step, "write" + where + " " + ValueText(value), host_.Write(*row, value), nullptr);
}

StepOutcome StepRunner::CommandStep(const Step& step, int instance) {
    const std::string& action = step.action;
    const std::string on = " (instance " + std::to_string(instance) + ")";
    std::string problem;
    if (action == "warm") return Judge(step, "warm start" + on, host_.WarmStart(instance), nullptr);
    if (action == "cell-read" || action == "chk") {
        std::string name = action == "chk" ? "CHK_COMM" : UpperCase(step.Text("cell"));
        uint16_t value = 0;
        int32_t result = host_.CommandRead(instance, name, value, problem);
        if (!problem.empty()) return {false, problem};
        return Judge(step, "read " + name + on, result, &value);
    }
    std::string name = action == "dtr" ? "SET_DTR" : action == "rts" ? "SET_RTS" : UpperCase(step.Text("cell"));
    auto value = static_cast<uint16_t>(step.Integer("value"));
    int32_t result = host_.CommandWrite(instance, name, value, problem);
    if (!problem.empty()) return {false, problem};
    return Judge(step, "write " + name + on + " " + ValueText(value), result, nullptr);
}

StepOutcome StepRunner::PortStep(const Step& step, int instance) {
    const std::string on = " (instance " + std::to_string(instance) + ")";
    if (step.action == "close") return Judge(step, "close port" + on, host_.ClosePort(instance), nullptr);
    if (step.action == "open") return Judge(step, "open port" + on, host_.OpenPort(instance), nullptr);
    qel::LineSettings line = host_.LineOf(instance);
    line.baud = static_cast<uint16_t>(step.Integer("baud", line.baud));
    line.dataBits = static_cast<uint16_t>(step.Integer("data_bits", line.dataBits));
    line.stopBits = static_cast<uint16_t>(step.Integer("stop_bits", line.stopBits));
    line.parity = static_cast<uint16_t>(step.Integer("parity", line.parity));
    const std::string port = step.Text("port");
    auto readTimeout = static_cast<uint32_t>(step.Integer("read_timeout", 0));
    return Judge(step, "reconfigure" + on + " to " + port, host_.Reconfigure(instance, port, readTimeout, line),
                 nullptr);
}

StepOutcome StepRunner::WaitStep(const Step& step) {
    if (step.Has("ms")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step.Integer("ms")));
        return {true, "waited " + std::to_string(step.Integer("ms")) + " ms"};
    }
    const GateRow* row = host_.FindGate(step.Text("gate"), static_cast<int>(step.Integer("instance", defaultInstance)));
    if (row == nullptr) return {false, "gate '" + step.Text("gate") + "' is not declared"};
    auto value = static_cast<uint16_t>(step.Integer("value"));
    auto timeout = std::chrono::milliseconds(step.Integer("timeout_ms", 10000));
    const std::string what = "wait for " + row->address + " = " + ValueText(value);
    if (board_.WaitForValue(row->gateId, value, timeout)) return {true, what + ": reached"};
    GateState state = board_.State(row->gateId);
    return {false, what + ": not reached within " + std::to_string(timeout.count()) + " ms (value " +
                       (state.value ? ValueText(*state.value) : "none") + ")"};
}

StepOutcome StepRunner::ExpectStep(const Step& step) {
    if (step.Has("log")) {
        const std::string text = step.Text("log");
        if (board_.LogContains(text)) return {true, "log holds \"" + text + "\""};
        return {false, "no log line holds \"" + text + "\""};
    }
    if (step.Has("result")) {
        const std::string what = "last result " + std::to_string(lastResult_);
        if (lastResult_ == step.Integer("result")) return {true, what};
        return {false, what + ", expected " + std::to_string(step.Integer("result"))};
    }
    const GateRow* row = host_.FindGate(step.Text("gate"), static_cast<int>(step.Integer("instance", defaultInstance)));
    if (row == nullptr) return {false, "gate '" + step.Text("gate") + "' is not declared"};
    auto wanted = static_cast<uint16_t>(step.Integer("value"));
    GateState state = board_.State(row->gateId);
    const std::string what = row->address + " = " + (state.value ? ValueText(*state.value) : "none");
    if (state.value == wanted) return {true, what};
    return {false, what + ", expected " + ValueText(wanted)};
}

StepOutcome StepRunner::StopStep(const Step& step) {
    if (step.Has("instance")) {
        int instance = static_cast<int>(step.Integer("instance"));
        if (!host_.IsRunning(instance)) return {false, NotRunning(instance)};
        return Judge(step, "stop instance " + std::to_string(instance), host_.Stop(instance), nullptr);
    }
    StepOutcome all{true, ""};
    for (int instance = 1; instance <= host_.InstanceCount(); ++instance) {
        if (!host_.IsRunning(instance)) continue;
        StepOutcome one = Judge(step, "stop instance " + std::to_string(instance), host_.Stop(instance), nullptr);
        if (!one.ok) all.ok = false;
        all.message += (all.message.empty() ? "" : "; ") + one.message;
    }
    if (all.message.empty()) all.message = "no instance is running";
    return all;
}

}  // namespace eibhost
