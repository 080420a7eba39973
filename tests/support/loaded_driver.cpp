#include "support/loaded_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "support/dynamic_library.h"

namespace qel::test {
namespace {

// Records the reason as a test failure, then ends the test: nothing after a
// failed load could do anything but crash on a missing function.
[[noreturn]] void failLoad(const std::string& reason) {
    ADD_FAILURE() << reason;
    throw std::runtime_error(reason);
}

template <typename Fn>
void resolve(void* library, const std::string& libraryPath, Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(dynlib::symbol(library, name));
    if (slot == nullptr) failLoad(std::string("missing ") + name + " in " + libraryPath);
}

}  // namespace

LoadedDriver::LoadedDriver() {
#if defined(QEL_HOSTLIB_PATH) && defined(QEL_DRIVER_PATH)
    load(QEL_HOSTLIB_PATH, QEL_DRIVER_PATH);
#else
    load(dynlib::defaultHostLibraryPath(), dynlib::defaultDriverPath());
#endif
}

LoadedDriver::LoadedDriver(const std::string& hostLibraryPath, const std::string& driverPath) {
    load(hostLibraryPath, driverPath);
}

// The libraries stay loaded for the life of the process. A driver may leave
// threads running in its code after a failed test, and it binds the host
// functions once per load; unloading either library under them would turn a
// test failure into a crash. Loading again hands back the same handles.
LoadedDriver::~LoadedDriver() = default;

void LoadedDriver::load(const std::string& hostLibraryPath, const std::string& driverPath) {
    std::string error;
    // The host library first, privately: the driver must find it as its own dependency.
    hostLibrary_ = dynlib::open(hostLibraryPath, &error);
    if (hostLibrary_ == nullptr) failLoad("cannot load the host library " + hostLibraryPath + ": " + error);
    driver_ = dynlib::open(driverPath, &error);
    if (driver_ == nullptr) failLoad("cannot load the driver " + driverPath + ": " + error);
    resolve(driver_, driverPath, qelMain_, "QelMain");

    resolve(hostLibrary_, hostLibraryPath, reset, "HuxCtlReset");
    resolve(hostLibrary_, hostLibraryPath, addGate, "HuxCtlAddGate");
    resolve(hostLibrary_, hostLibraryPath, gateId, "HuxCtlGateId");
    resolve(hostLibrary_, hostLibraryPath, setRaw, "HuxCtlSetRaw");
    resolve(hostLibrary_, hostLibraryPath, getRaw, "HuxCtlGetRaw");
    resolve(hostLibrary_, hostLibraryPath, getCooked, "HuxCtlGetCooked");
    resolve(hostLibrary_, hostLibraryPath, putCount, "HuxCtlPutCount");
    resolve(hostLibrary_, hostLibraryPath, uncook, "HuxCtlUncook");
    resolve(hostLibrary_, hostLibraryPath, clientCount, "HuxCtlClientCount");
    resolve(hostLibrary_, hostLibraryPath, clientName, "HuxCtlClientName");
    resolve(hostLibrary_, hostLibraryPath, logCount, "HuxCtlLogCount");
    resolve(hostLibrary_, hostLibraryPath, logLine, "HuxCtlLogLine");
    resolve(hostLibrary_, hostLibraryPath, logClear, "HuxCtlLogClear");
    resolve(hostLibrary_, hostLibraryPath, logEcho, "HuxCtlLogEcho");
    resolve(hostLibrary_, hostLibraryPath, fail, "HuxCtlFail");
    resolve(hostLibrary_, hostLibraryPath, callCount, "HuxCtlCallCount");
    resolve(hostLibrary_, hostLibraryPath, onPut, "HuxCtlOnPut");
    resolve(hostLibrary_, hostLibraryPath, onLog, "HuxCtlOnLog");

    // Each test starts from an empty host: the libraries outlive the test before it.
    reset();
}

int32_t LoadedDriver::call(RequestBlock* request) const { return qelMain_(request); }

int32_t LoadedDriver::call(uint32_t code, InstanceData* instance, void* params, uint8_t hostByte) const {
    RequestBlock request;
    std::memset(&request, 0, sizeof request);
    request.instance = instance;
    request.functionCode = code;
    request.hostByte = hostByte;
    request.params = params;
    return call(&request);
}

std::vector<LogLine> LoadedDriver::log() const {
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

std::vector<std::string> LoadedDriver::logTexts() const {
    std::vector<std::string> texts;
    for (auto& line : log()) texts.push_back(std::move(line.text));
    return texts;
}

}  // namespace qel::test
