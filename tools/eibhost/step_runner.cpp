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

StepOutcome StepRunner::judge(const Step& step, const std::string& what, int32_t result, const uint16_t* value) {
    lastResult_ = result;
    std::string message = what + " -> result " + std::to_string(result);
    if (value != nullptr) message += ", value " + ValueText(*value);
    int64_t expected = step.integer("expect_result", 0);
    if (result != expected) return {false, message + ", expected result " + std::to_string(expected)};
    if (value != nullptr && step.has("expect_value") && *value != step.integer("expect_value")) {
        return {false, message + ", expected value " + ValueText(static_cast<uint16_t>(step.integer("expect_value")))};
    }
    return {true, message};
}

StepOutcome StepRunner::run(const Step& step) {
    const std::string& action = step.action;
    if (action == "say") return {true, step.text("text")};
    if (action == "wait") return waitStep(step);
    if (action == "expect") return expectStep(step);
    if (action == "stop") return stopStep(step);
    if (action == "read" || action == "write") return gateStep(step);

    int instance = static_cast<int>(step.integer("instance", defaultInstance));
    if (instance < 1 || instance > host_.instanceCount()) return {false, "no instance " + std::to_string(instance)};
    if (action == "start") {
        if (host_.isRunning(instance)) return {false, "instance " + std::to_string(instance) + " is already running"};
        return judge(step, "start " + host_.portOf(instance), host_.start(instance), nullptr);
    }
    if (action == "close" || action == "open" || action == "reconfigure") return portStep(step, instance);
    if (!host_.isRunning(instance)) return {false, NotRunning(instance)};
    return commandStep(step, instance);
}

StepOutcome StepRunner::gateStep(const Step& step) {
    int preferred = static_cast<int>(step.integer("instance", defaultInstance));
    const GateRow* row = host_.findGate(step.text("gate"), preferred);
    if (row == nullptr || (step.has("instance") && row->instance != preferred)) {
        return {false, "gate '" + step.text("gate") + "' is not declared" +
                           (step.has("instance") ? " on instance " + std::to_string(preferred) : "")};
    }
    if (!host_.isRunning(row->instance)) return {false, NotRunning(row->instance)};
    const std::string where = " " + row->address + " (instance " + std::to_string(row->instance) + ")";
    if (step.action == "read") {
        uint16_t value = 0;
        int32_t result = host_.read(*row, value);
        return judge(step, "read" + where, result, &value);
    }
    auto value = static_cast<uint16_t>(step.integer("value"));
    return judge(step, "write" + where + " " + ValueText(value), host_.write(*row, value), nullptr);
}

StepOutcome StepRunner::commandStep(const Step& step, int instance) {
    const std::string& action = step.action;
    const std::string on = " (instance " + std::to_string(instance) + ")";
    std::string problem;
    if (action == "warm") return judge(step, "warm start" + on, host_.warmStart(instance), nullptr);
    if (action == "cell-read" || action == "chk") {
        std::string name = action == "chk" ? "CHK_COMM" : UpperCase(step.text("cell"));
        uint16_t value = 0;
        int32_t result = host_.commandRead(instance, name, value, problem);
        if (!problem.empty()) return {false, problem};
        return judge(step, "read " + name + on, result, &value);
    }
    std::string name = action == "dtr" ? "SET_DTR" : action == "rts" ? "SET_RTS" : UpperCase(step.text("cell"));
    auto value = static_cast<uint16_t>(step.integer("value"));
    int32_t result = host_.commandWrite(instance, name, value, problem);
    if (!problem.empty()) return {false, problem};
    return judge(step, "write " + name + on + " " + ValueText(value), result, nullptr);
}

StepOutcome StepRunner::portStep(const Step& step, int instance) {
    const std::string on = " (instance " + std::to_string(instance) + ")";
    if (step.action == "close") return judge(step, "close port" + on, host_.closePort(instance), nullptr);
    if (step.action == "open") return judge(step, "open port" + on, host_.openPort(instance), nullptr);
    qel::LineSettings line = host_.lineOf(instance);
    line.baud = static_cast<uint16_t>(step.integer("baud", line.baud));
    line.dataBits = static_cast<uint16_t>(step.integer("data_bits", line.dataBits));
    line.stopBits = static_cast<uint16_t>(step.integer("stop_bits", line.stopBits));
    line.parity = static_cast<uint16_t>(step.integer("parity", line.parity));
    const std::string port = step.text("port");
    auto readTimeout = static_cast<uint32_t>(step.integer("read_timeout", 0));
    return judge(step, "reconfigure" + on + " to " + port, host_.reconfigure(instance, port, readTimeout, line),
                 nullptr);
}

StepOutcome StepRunner::waitStep(const Step& step) {
    if (step.has("ms")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step.integer("ms")));
        return {true, "waited " + std::to_string(step.integer("ms")) + " ms"};
    }
    const GateRow* row = host_.findGate(step.text("gate"), static_cast<int>(step.integer("instance", defaultInstance)));
    if (row == nullptr) return {false, "gate '" + step.text("gate") + "' is not declared"};
    auto value = static_cast<uint16_t>(step.integer("value"));
    auto timeout = std::chrono::milliseconds(step.integer("timeout_ms", 10000));
    const std::string what = "wait for " + row->address + " = " + ValueText(value);
    if (board_.waitForValue(row->gateId, value, timeout)) return {true, what + ": reached"};
    GateState state = board_.state(row->gateId);
    return {false, what + ": not reached within " + std::to_string(timeout.count()) + " ms (value " +
                       (state.value ? ValueText(*state.value) : "none") + ")"};
}

StepOutcome StepRunner::expectStep(const Step& step) {
    if (step.has("log")) {
        const std::string text = step.text("log");
        if (board_.logContains(text)) return {true, "log holds \"" + text + "\""};
        return {false, "no log line holds \"" + text + "\""};
    }
    if (step.has("result")) {
        const std::string what = "last result " + std::to_string(lastResult_);
        if (lastResult_ == step.integer("result")) return {true, what};
        return {false, what + ", expected " + std::to_string(step.integer("result"))};
    }
    const GateRow* row = host_.findGate(step.text("gate"), static_cast<int>(step.integer("instance", defaultInstance)));
    if (row == nullptr) return {false, "gate '" + step.text("gate") + "' is not declared"};
    auto wanted = static_cast<uint16_t>(step.integer("value"));
    GateState state = board_.state(row->gateId);
    const std::string what = row->address + " = " + (state.value ? ValueText(*state.value) : "none");
    if (state.value == wanted) return {true, what};
    return {false, what + ", expected " + ValueText(wanted)};
}

StepOutcome StepRunner::stopStep(const Step& step) {
    if (step.has("instance")) {
        int instance = static_cast<int>(step.integer("instance"));
        if (!host_.isRunning(instance)) return {false, NotRunning(instance)};
        return judge(step, "stop instance " + std::to_string(instance), host_.stop(instance), nullptr);
    }
    StepOutcome all{true, ""};
    for (int instance = 1; instance <= host_.instanceCount(); ++instance) {
        if (!host_.isRunning(instance)) continue;
        StepOutcome one = judge(step, "stop instance " + std::to_string(instance), host_.stop(instance), nullptr);
        if (!one.ok) all.ok = false;
        all.message += (all.message.empty() ? "" : "; ") + one.message;
    }
    if (all.message.empty()) all.message = "no instance is running";
    return all;
}

}  // namespace eibhost
