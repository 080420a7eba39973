// One run of eibhost: start the instances, define the gates, run the script or
// the typed commands, stop everything, and say how it went.
#pragma once

#include <string>
#include <vector>

#include "driver_host.h"
#include "gate_board.h"
#include "session_plan.h"

namespace eibhost {

enum ExitStatus { kSuccess = 0, kStepFailed = 1, kBadInput = 2, kLoadFailed = 3 };

class Session {
public:
    Session(const qel::loader::DriverLibrary& driver, const SessionPlan& plan);
    ~Session();

    // Describes the driver: the text, and false when the driver is unusable.
    bool Describe(std::string& text);
    // Runs the whole session; `interactive` reads commands from the input.
    int Run(bool interactive, bool liveOutput, const std::string& header);

private:
    bool StartInstances();
    bool DefineGates();
    bool RunScript();
    bool RunCommands(bool fromTerminal);
    bool StopInstances();
    bool Report(const Step& step, const std::string& label);

    const qel::loader::DriverLibrary& driver_;
    SessionPlan plan_;
    GateBoard board_;
    DriverHost host_;
    std::string failure_;
};

}  // namespace eibhost
