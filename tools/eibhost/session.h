// One run of eibhost: start the instances, define the gates, run the script or
// the typed commands, stop everything, and say how it went.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "driver_host.h"
#include "gate_board.h"
#include "session_plan.h"

namespace eibhost {

enum ExitStatus { kSuccess = 0, kStepFailed = 1, kBadInput = 2, kLoadFailed = 3 };

class Session {
public:
    // `monitor`: print every group telegram the instances receive as knxd's
    // group monitor does, and nothing else on the standard output.
    Session(const qel::loader::DriverLibrary& driver, const SessionPlan& plan, bool monitor = false);
    ~Session();

    // Describes the driver: the text, and false when the driver is unusable.
    bool Describe(std::string& text);
    // Runs the whole session; `interactive` reads commands from the input.
    int Run(bool interactive, bool liveOutput, const std::string& header);

    // The host library's callbacks, on the driver's listener threads (puts) or any thread (log).
    void OnBusPut(uint32_t clientId, uint32_t gateId, const char* address, uint16_t raw);
    void OnDriverLog(const std::string& text);

private:
    void Monitor(const uint8_t* frame);
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
    bool monitor_;
    std::mutex monitorMutex_;  // one telegram line at a time
    std::string failure_;
};

}  // namespace eibhost
