#include "session.h"

#include <cstdio>
#include <iostream>

#include "command_text.h"
#include "display.h"
#include "step_rules.h"
#include "step_runner.h"
#include "terminal.h"

namespace eibhost {
namespace {

void OnPut(void* context, uint32_t gateId, const char* address, uint16_t raw) {
    static_cast<GateBoard*>(context)->busPut(gateId, address != nullptr ? address : "?", raw);
}

void OnLog(void* context, int /*level*/, const char* text) {
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    static_cast<GateBoard*>(context)->journal("log", line);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

}  // namespace

Session::Session(const DriverBinding& driver, const SessionPlan& plan)
    : driver_(driver), plan_(plan), host_(driver, board_) {
    driver_.onPut(OnPut, &board_);
    driver_.onLog(OnLog, &board_);
}

Session::~Session() {
    driver_.onPut(nullptr, nullptr);
    driver_.onLog(nullptr, nullptr);
}

bool Session::describe(std::string& text) { return host_.describe(text) == 0; }

bool Session::startInstances() {
    for (const InstancePlan& instance : plan_.instances) host_.addInstance(instance);
    for (int number = 1; number <= host_.instanceCount(); ++number) {
        const InstancePlan& plan = plan_.instances[static_cast<size_t>(number - 1)];
        Step step;
        step.action = "start";
        step.where = plan.where;
        step.keys["instance"] = number;
        step.keys["expect_result"] = plan.expectStart;
        board_.journal("step", "starting instance " + std::to_string(number) + " on " + plan.port);
        if (!report(step, "instance " + std::to_string(number))) return false;
    }
    return true;
}

bool Session::defineGates() {
    for (const GatePlan& gate : plan_.gates) {
        std::string problem;
        host_.addGate(gate, problem);
        if (!problem.empty()) {
            failure_ = gate.where.text() + ": " + problem;
            board_.journal("error", failure_);
            return false;
        }
    }
    return true;
}

bool Session::report(const Step& step, const std::string& label) {
    StepRunner runner(host_, board_);
    StepOutcome outcome = runner.run(step);
    board_.journal(outcome.ok ? "step" : "error", label + ": " + outcome.message + (outcome.ok ? "" : "  FAILED"));
    if (!outcome.ok) failure_ = step.where.text() + ": " + label + " failed: " + outcome.message;
    return outcome.ok;
}

bool Session::runScript() {
    StepRunner runner(host_, board_);
    int number = 0;
    for (const Step& step : plan_.steps) {
        ++number;
        StepOutcome outcome = runner.run(step);
        const std::string label = "step " + std::to_string(number) + " (" + step.where.text() + ") " + step.action;
        board_.journal(outcome.ok ? "step" : "error", label + ": " + outcome.message + (outcome.ok ? "" : "  FAILED"));
        if (!outcome.ok) {
            failure_ = label + " failed: " + outcome.message;
            return false;
        }
    }
    return true;
}

bool Session::runCommands(bool fromTerminal) {
    StepRunner runner(host_, board_);
    bool allGood = true;
    board_.journal("note", "type 'help' for commands, 'quit' to stop");
    std::string line;
    while (std::getline(std::cin, line)) {
        Step step;
        std::string error;
        ParseCommandText(line, step, error);
        if (step.action.empty()) continue;
        if (!fromTerminal) board_.journal("note", "> " + line);
        if (!error.empty()) {
            board_.journal("error", line + ": " + error);
            allGood = false;
            continue;
        }
        if (step.action == "quit" || step.action == "exit") break;
        if (step.action == "help") {
            for (const std::string& text : SplitLines(StepHelp())) {
                if (!text.empty()) board_.journal("note", text);
            }
            continue;
        }
        if (step.action == "use") {
            runner.defaultInstance = static_cast<int>(step.integer("instance"));
            board_.journal("note", "commands now go to instance " + std::to_string(runner.defaultInstance));
            continue;
        }
        StepOutcome outcome = runner.run(step);
        board_.journal(outcome.ok ? "step" : "error", outcome.message + (outcome.ok ? "" : "  FAILED"));
        if (!outcome.ok) {
            allGood = false;
            if (failure_.empty()) failure_ = "'" + line + "' failed: " + outcome.message;
        }
    }
    return allGood;
}

bool Session::stopInstances() {
    bool allGood = true;
    for (int number = 1; number <= host_.instanceCount(); ++number) {
        if (!host_.isRunning(number)) continue;
        int32_t result = host_.stop(number);
        board_.journal(result == 0 ? "step" : "error",
                       "stop instance " + std::to_string(number) + " -> result " + std::to_string(result));
        if (result != 0) {
            allGood = false;
            if (failure_.empty()) failure_ = "stopping instance " + std::to_string(number) + " gave result " +
                                             std::to_string(result);
        }
    }
    return allGood;
}

int Session::run(bool interactive, bool liveOutput, const std::string& header) {
    Display display(board_, liveOutput, interactive && StdinIsTerminal(), SplitLines(header));
    if (!liveOutput) {
        for (const std::string& line : SplitLines(header)) std::printf("%s\n", line.c_str());
    }
    display.start();
    bool good = startInstances() && defineGates();
    if (good) good = interactive ? runCommands(StdinIsTerminal()) || StdinIsTerminal() : runScript();
    bool stopped = stopInstances();
    display.stop();
    for (const std::string& line : FormatGateTable(board_.snapshot())) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (good && stopped) {
        std::printf("eibhost: %s\n", interactive ? "session ended" : "script passed");
        return kSuccess;
    }
    std::fprintf(stderr, "eibhost: %s\n", failure_.c_str());
    return kStepFailed;
}

}  // namespace eibhost
