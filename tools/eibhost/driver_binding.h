// The driver and the host library, loaded at run time in the host's order:
// the host library first, so that the driver's import of it binds to the same
// copy whose control functions this program uses.
#pragma once

#include <cstdint>
#include <string>

#include "huxtor_control.h"
#include "abi/records.h"
#include "shared_library.h"

namespace eibhost {

using QelMainFn = int32_t(__attribute__((stdcall))*)(qel::RequestBlock*);

struct LibraryPaths {
    std::string hostLibrary;
    std::string driver;
};

// Paths used when none are given: beside the program, else where the build put them.
LibraryPaths DefaultLibraryPaths();

class DriverBinding {
public:
    // False, with `error` naming the library or symbol, when anything is missing.
    bool load(const LibraryPaths& paths, std::string& error);

    // Builds a RequestBlock and calls QelMain.
    int32_t call(uint32_t code, qel::InstanceData* instance, void* params, uint8_t hostByte = 0) const;

    QelMainFn qelMain = nullptr;
    decltype(&HuxCtlAddGate) addGate = nullptr;
    decltype(&HuxCtlSetRaw) setRaw = nullptr;
    decltype(&HuxCtlGetRaw) getRaw = nullptr;
    decltype(&HuxCtlOnPut) onPut = nullptr;
    decltype(&HuxCtlOnLog) onLog = nullptr;

private:
    SharedLibrary hostLibrary_;
    SharedLibrary driver_;
};

}  // namespace eibhost
