#include "session.h"

#include <cstdio>
#include <iostream>

#include "command_text.h"
#include "display.h"
#include "group_address.h"
#include "step_rules.h"
#include "step_runner.h"
#include "terminal.h"

namespace eibhost {
namespace {

void OnPut(void* context, uint32_t clientId, uint32_t gateId, const char* address, uint16_t raw) {
    static_cast<Session*>(context)->OnBusPut(clientId, gateId, address != nullptr ? address : "?", raw);
}

void OnLog(void* context, int /*level*/, const char* text) {
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    static_cast<Session*>(context)->OnDriverLog(line);
}

// The instance name of a listener's delivery-failure line ("QelEIB01: address
// A_01/0515", "... failed to get GateID", "... failed to COOK", "... failed to
// PutVal"): the telegram came in but found no gate. Empty for other lines.
std::string UndeliveredBy(const std::string& line) {
    const size_t colon = line.find(": address ");
    if (colon == std::string::npos || line.compare(0, 6, "QelEIB") != 0) return {};
    const std::string rest = line.substr(colon + 10);
    const size_t space = rest.find(' ');
    const std::string address = rest.substr(0, space);
    const std::string tail = space == std::string::npos ? "" : rest.substr(space);
    if (GroupTextOfGate(address).empty()) return {};
    if (!tail.empty() && tail != " failed to get GateID" && tail != " failed to COOK" && tail != " failed to PutVal") {
        return {};
    }
    return line.substr(0, colon);
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

Session::Session(const qel::loader::DriverLibrary& driver, const SessionPlan& plan, bool monitor)
    : driver_(driver), plan_(plan), host_(driver, board_), monitor_(monitor) {
    driver_.onPut(OnPut, this);
    driver_.onLog(OnLog, this);
}

void Session::OnBusPut(uint32_t clientId, uint32_t gateId, const char* address, uint16_t raw) {
    board_.BusPut(gateId, address, raw);
    if (monitor_) Monitor(host_.ReceivedFrameOfClient(clientId));
}

void Session::OnDriverLog(const std::string& text) {
    board_.Journal("log", text);
    if (!monitor_) return;
    const std::string instanceName = UndeliveredBy(text);
    if (!instanceName.empty()) Monitor(host_.ReceivedFrameOfInstance(instanceName));
}

void Session::Monitor(const uint8_t* frame) {
    if (frame == nullptr) return;
    const std::string line = MonitorLine(frame, qel::kFrameAreaSize);
    if (line.empty()) return;
    std::lock_guard lock(monitorMutex_);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

Session::~Session() {
    driver_.onPut(nullptr, nullptr);
    driver_.onLog(nullptr, nullptr);
}

bool Session::Describe(std::string& text) { return host_.Describe(text) == 0; }

bool Session::StartInstances() {
    for (const InstancePlan& instance : plan_.instances) host_.AddInstance(instance);
    for (int number = 1; number <= host_.InstanceCount(); ++number) {
        const InstancePlan& plan = plan_.instances[static_cast<size_t>(number - 1)];
        Step step;
        step.action = "start";
        step.where = plan.where;
        step.keys["instance"] = number;
        step.keys["expect_result"] = plan.expectStart;
        board_.Journal("step", "starting instance " + std::to_string(number) + " on " + plan.port);
        if (!Report(step, "instance " + std::to_string(number))) return false;
    }
    return true;
}

bool Session::DefineGates() {
    for (const GatePlan& gate : plan_.gates) {
        std::string problem;
        host_.AddGate(gate, problem);
        if (!problem.empty()) {
            failure_ = gate.where.Text() + ": " + problem;
            board_.Journal("error", failure_);
            return false;
        }
    }
    return true;
}

bool Session::Report(const Step& step, const std::string& label) {
    StepRunner runner(host_, board_);
    StepOutcome outcome = runner.Run(step);
    board_.Journal(outcome.ok ? "step" : "error", label + ": " + outcome.message + (outcome.ok ? "" : "  FAILED"));
    if (!outcome.ok) failure_ = step.where.Text() + ": " + label + " failed: " + outcome.message;
    return outcome.ok;
}

bool Session::RunScript() {
    StepRunner runner(host_, board_);
    int number = 0;
    for (const Step& step : plan_.steps) {
        ++number;
        StepOutcome outcome = runner.Run(step);
        const std::string label = "step " + std::to_string(number) + " (" + step.where.Text() + ") " + step.action;
        board_.Journal(outcome.ok ? "step" : "error", label + ": " + outcome.message + (outcome.ok ? "" : "  FAILED"));
        if (!outcome.ok) {
            failure_ = label + " failed: " + outcome.message;
            return false;
        }
    }
    return true;
}

bool Session::RunCommands(bool fromTerminal) {
    StepRunner runner(host_, board_);
    bool allGood = true;
    board_.Journal("note", "type 'help' for commands, 'quit' to stop");
    std::string line;
    while (std::getline(std::cin, line)) {
        Step step;
        std::string error;
        ParseCommandText(line, step, error);
        if (step.action.empty()) continue;
        if (!fromTerminal) board_.Journal("note", "> " + line);
        if (!error.empty()) {
            board_.Journal("error", line + ": " + error);
            allGood = false;
            continue;
        }
        if (step.action == "quit" || step.action == "exit") break;
        if (step.action == "help") {
            for (const std::string& text : SplitLines(StepHelp())) {
                if (!text.empty()) board_.Journal("note", text);
            }
            continue;
        }
        if (step.action == "use") {
            runner.defaultInstance = static_cast<int>(step.Integer("instance"));
            board_.Journal("note", "commands now go to instance " + std::to_string(runner.defaultInstance));
            continue;
        }
        StepOutcome outcome = runner.Run(step);
        board_.Journal(outcome.ok ? "step" : "error", outcome.message + (outcome.ok ? "" : "  FAILED"));
        if (!outcome.ok) {
            allGood = false;
            if (failure_.empty()) failure_ = "'" + line + "' failed: " + outcome.message;
        }
    }
    return allGood;
}

bool Session::StopInstances() {
    bool allGood = true;
    for (int number = 1; number <= host_.InstanceCount(); ++number) {
        if (!host_.IsRunning(number)) continue;
        int32_t result = host_.Stop(number);
        board_.Journal(result == 0 ? "step" : "error",
                       "stop instance " + std::to_string(number) + " -> result " + std::to_string(result));
        if (result != 0) {
            allGood = false;
            if (failure_.empty()) failure_ = "stopping instance " + std::to_string(number) + " gave result " +
                                             std::to_string(result);
        }
    }
    return allGood;
}

int Session::Run(bool interactive, bool liveOutput, const std::string& header) {
    if (monitor_) {
        // The standard output carries the telegrams alone, as knxtool's does.
        bool good = StartInstances() && DefineGates();
        if (good) good = interactive ? RunCommands(true) || StdinIsTerminal() : RunScript();
        bool stopped = StopInstances();
        if (good && stopped) return kSuccess;
        std::fprintf(stderr, "eibhost: %s\n", failure_.c_str());
        return kStepFailed;
    }
    Display display(board_, liveOutput, interactive && StdinIsTerminal(), SplitLines(header));
    if (!liveOutput) {
        for (const std::string& line : SplitLines(header)) std::printf("%s\n", line.c_str());
    }
    display.Start();
    bool good = StartInstances() && DefineGates();
    if (good) good = interactive ? RunCommands(StdinIsTerminal()) || StdinIsTerminal() : RunScript();
    bool stopped = StopInstances();
    display.Stop();
    for (const std::string& line : FormatGateTable(board_.Snapshot())) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (good && stopped) {
        std::printf("eibhost: %s\n", interactive ? "session ended" : "script passed");
        return kSuccess;
    }
    std::fprintf(stderr, "eibhost: %s\n", failure_.c_str());
    return kStepFailed;
}

}  // namespace eibhost
