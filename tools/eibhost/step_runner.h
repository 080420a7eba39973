// Runs one step against the driver and checks what it expects.
#pragma once

#include <cstdint>
#include <string>

#include "driver_host.h"
#include "gate_board.h"
#include "session_plan.h"

namespace eibhost {

struct StepOutcome {
    bool ok = true;
    std::string message;  // what happened, or what went wrong
};

class StepRunner {
public:
    StepRunner(DriverHost& host, GateBoard& board) : host_(host), board_(board) {}

    StepOutcome run(const Step& step);
    // Instance used by steps that name none.
    int defaultInstance = 1;

private:
    StepOutcome gateStep(const Step& step);
    StepOutcome commandStep(const Step& step, int instance);
    StepOutcome portStep(const Step& step, int instance);
    StepOutcome waitStep(const Step& step);
    StepOutcome expectStep(const Step& step);
    StepOutcome stopStep(const Step& step);
    // Checks the result (and value) against the step's expectations.
    StepOutcome judge(const Step& step, const std::string& what, int32_t result, const uint16_t* value);

    DriverHost& host_;
    GateBoard& board_;
    int32_t lastResult_ = 0;
};

}  // namespace eibhost
