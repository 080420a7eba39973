#include "driver_binding.h"

#include "eibhost_paths.h"

namespace eibhost {
namespace {

std::string Preferred(const std::string& besideProgram, const std::string& built) {
    return FileExists(besideProgram) ? besideProgram : built;
}

template <typename Fn>
bool Resolve(const SharedLibrary& library, const char* name, Fn& target, const std::string& path,
             std::string& error) {
    target = reinterpret_cast<Fn>(library.symbol(name));
    if (target == nullptr) error = path + ": no symbol " + name;
    return target != nullptr;
}

}  // namespace

LibraryPaths DefaultLibraryPaths() {
    const std::string here = ExecutableDirectory();
    return {Preferred(here + kHostLibraryFileName, kBuiltHostLibraryPath),
            Preferred(here + kDriverFileName, kBuiltDriverPath)};
}

bool DriverBinding::load(const LibraryPaths& paths, std::string& error) {
    if (!hostLibrary_.open(paths.hostLibrary, error)) return false;
    if (!driver_.open(paths.driver, error)) return false;
    const std::string& hostPath = paths.hostLibrary;
    return Resolve(driver_, "QelMain", qelMain, paths.driver, error) &&
           Resolve(hostLibrary_, "HuxCtlAddGate", addGate, hostPath, error) &&
           Resolve(hostLibrary_, "HuxCtlSetRaw", setRaw, hostPath, error) &&
           Resolve(hostLibrary_, "HuxCtlGetRaw", getRaw, hostPath, error) &&
           Resolve(hostLibrary_, "HuxCtlOnPut", onPut, hostPath, error) &&
           Resolve(hostLibrary_, "HuxCtlOnLog", onLog, hostPath, error);
}

int32_t DriverBinding::call(uint32_t code, qel::InstanceData* instance, void* params, uint8_t hostByte) const {
    qel::RequestBlock request{};
    request.instance = instance;
    request.functionCode = code;
    request.hostByte = hostByte;
    request.params = params;
    return qelMain(&request);
}

}  // namespace eibhost
