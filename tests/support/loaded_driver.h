// Loads the shipped driver as a host does: first the host library (at run
// time, never linked), then the driver, and resolves QelMain and the host
// library's control functions from their own libraries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "huxtor_control.h"
#include "abi/records.h"

namespace qel::test {

struct LogLine {
    int level;
    std::string text;
};

class LoadedDriver {
public:
    // Paths default to the libraries built beside the tests. Aborts the test on failure.
    LoadedDriver();
    LoadedDriver(const std::string& hostLibraryPath, const std::string& driverPath);
    ~LoadedDriver();
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    // QelMain itself.
    int32_t call(RequestBlock* request) const;
    // Builds a RequestBlock and calls QelMain.
    int32_t call(uint32_t code, InstanceData* instance, void* params, uint8_t hostByte = 0) const;

    // The host library's log, as lines.
    std::vector<LogLine> log() const;
    std::vector<std::string> logTexts() const;

    // The host library's control functions (resolved from the host library).
    decltype(&HuxCtlReset) reset = nullptr;
    decltype(&HuxCtlAddGate) addGate = nullptr;
    decltype(&HuxCtlGateId) gateId = nullptr;
    decltype(&HuxCtlSetRaw) setRaw = nullptr;
    decltype(&HuxCtlGetRaw) getRaw = nullptr;
    decltype(&HuxCtlGetCooked) getCooked = nullptr;
    decltype(&HuxCtlPutCount) putCount = nullptr;
    decltype(&HuxCtlUncook) uncook = nullptr;
    decltype(&HuxCtlClientCount) clientCount = nullptr;
    decltype(&HuxCtlClientName) clientName = nullptr;
    decltype(&HuxCtlLogCount) logCount = nullptr;
    decltype(&HuxCtlLogLine) logLine = nullptr;
    decltype(&HuxCtlLogClear) logClear = nullptr;
    decltype(&HuxCtlLogEcho) logEcho = nullptr;
    decltype(&HuxCtlFail) fail = nullptr;
    decltype(&HuxCtlCallCount) callCount = nullptr;
    decltype(&HuxCtlOnPut) onPut = nullptr;
    decltype(&HuxCtlOnLog) onLog = nullptr;

private:
    void load(const std::string& hostLibraryPath, const std::string& driverPath);
    void* hostLibrary_ = nullptr;
    void* driver_ = nullptr;
    int32_t(__attribute__((stdcall)) * qelMain_)(RequestBlock*) = nullptr;
};

}  // namespace qel::test
