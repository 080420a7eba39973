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

    StepOutcome Run(const Step& step);
    // Instance used by steps that name none.
    int defaultInstance = 1;

private:
    StepOutcome GateStep(const Step& step);
    StepOutcome CommandStep(const Step& step, int instance);
    StepOutcome PortStep(const Step& step, int instance);
    StepOutcome WaitStep(const Step& step);
    StepOutcome ExpectStep(const Step& step);
    StepOutcome StopStep(const Step& step);
    // Checks the result (and value) against the step's expectations.
    StepOutcome Judge(const Step& step, const std::string& what, int32_t result, const uint16_t* value);

    DriverHost& host_;
    GateBoard& board_;
    int32_t lastResult_ = 0;
};

}  // namespace eibhost
