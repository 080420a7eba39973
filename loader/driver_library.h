// The driver and the host library, loaded at run time in the host's order:
// the host library first, privately, so that the driver's import of it binds
// to the same copy whose control functions the caller uses; then the driver
// and QelMain. Used by eibhost, the end-to-end tests and the benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "huxtor_control.h"
#include "abi/records.h"
#include "shared_library.h"

namespace qel::loader {

using QelMainFunction = int32_t(__attribute__((stdcall))*)(RequestBlock*);

struct LibraryPaths {
    std::string hostLibrary;
    std::string driver;
};

// Paths used when none are given: beside the program (as a Windows host keeps
// its plug-ins), else in ../lib/ (the Linux archive), else where the build put them.
LibraryPaths DefaultLibraryPaths();

struct LogLine {
    int level;
    std::string text;
};

class DriverLibrary {
public:
    DriverLibrary() = default;
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // Loads both libraries and resolves QelMain and every control function.
    // False, with `error` naming the library or symbol, when anything is missing:
    // "cannot load the host library PATH: ...", "cannot load the driver PATH: ...",
    // "missing NAME in PATH".
    bool Load(const LibraryPaths& paths, std::string& error);
    bool IsLoaded() const { return qelMain != nullptr; }

    // QelMain itself.
    int32_t Call(RequestBlock* request) const { return qelMain(request); }
    // Builds a RequestBlock and calls QelMain.
    int32_t Call(uint32_t code, InstanceData* instance, void* params, uint8_t hostByte = 0) const;

    // The host library's log, as lines.
    std::vector<LogLine> Log() const;
    std::vector<std::string> LogTexts() const;

    QelMainFunction qelMain = nullptr;
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
    SharedLibrary hostLibrary_;
    SharedLibrary driver_;
};

}  // namespace qel::loader
