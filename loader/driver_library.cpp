#include "driver_library.h"

#include <cstring>

#include "library_paths.h"

namespace qel::loader {
namespace {

// The first of: beside the program, in ../lib/ (an unpacked Linux archive:
// bin/ beside lib/), where the build put it.
std::string Preferred(const std::string& here, const char* fileName, const std::string& built) {
    for (const std::string& candidate : {here + fileName, here + "../lib/" + fileName}) {
        if (FileExists(candidate)) return candidate;
    }
    return built;
}

template <typename Function>
bool Resolve(const SharedLibrary& library, const std::string& path, const char* name, Function& slot,
             std::string& error) {
    slot = reinterpret_cast<Function>(library.Symbol(name));
    if (slot == nullptr) error = std::string("missing ") + name + " in " + path;
    return slot != nullptr;
}

}  // namespace

LibraryPaths DefaultLibraryPaths() {
    const std::string here = ExecutableDirectory();
    return {Preferred(here, kHostLibraryFileName, kBuiltHostLibraryPath),
            Preferred(here, kDriverFileName, kBuiltDriverPath)};
}

bool DriverLibrary::Load(const LibraryPaths& paths, std::string& error) {
    std::string reason;
    if (!hostLibrary_.Open(paths.hostLibrary, reason)) {
        error = "cannot load the host library " + paths.hostLibrary + ": " + reason;
        return false;
    }
    if (!driver_.Open(paths.driver, reason)) {
        error = "cannot load the driver " + paths.driver + ": " + reason;
        return false;
    }
    const std::string& host = paths.hostLibrary;
    QelMainFunction entry = nullptr;
    const bool complete = Resolve(driver_, paths.driver, "QelMain", entry, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlReset", reset, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlAddGate", addGate, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlGateId", gateId, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlSetRaw", setRaw, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlGetRaw", getRaw, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlGetCooked", getCooked, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlPutCount", putCount, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlUncook", uncook, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlClientCount", clientCount, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlClientName", clientName, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlLogCount", logCount, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlLogLine", logLine, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlLogClear", logClear, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlLogEcho", logEcho, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlFail", fail, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlCallCount", callCount, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlOnPut", onPut, error) &&
                          Resolve(hostLibrary_, host, "HuxCtlOnLog", onLog, error);
    // QelMain last: IsLoaded() means everything resolved.
    if (complete) qelMain = entry;
    return complete;
}

int32_t DriverLibrary::Call(uint32_t code, InstanceData* instance, void* params, uint8_t hostByte) const {
    RequestBlock request;
    std::memset(&request, 0, sizeof request);
    request.instance = instance;
    request.functionCode = code;
    request.hostByte = hostByte;
    request.params = params;
    return Call(&request);
}

std::vector<LogLine> DriverLibrary::Log() const {
    std::vector<LogLine> lines;
    std::vector<char> buffer(512);
    const uint32_t count = logCount();
    for (uint32_t i = 0; i < count; ++i) {
        int level = 0;
        for (;;) {
            if (logLine(i, &level, buffer.data(), buffer.size()) != 0) return lines;  // cleared meanwhile
            if (std::strlen(buffer.data()) + 1 < buffer.size()) break;
            buffer.resize(buffer.size() * 2);  // may have been cut: read it again whole
        }
        lines.push_back(LogLine{level, buffer.data()});
    }
    return lines;
}

std::vector<std::string> DriverLibrary::LogTexts() const {
    std::vector<std::string> texts;
    for (auto& line : Log()) texts.push_back(std::move(line.text));
    return texts;
}

}  // namespace qel::loader
