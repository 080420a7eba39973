#include "support/loaded_driver.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace qel::test {
namespace {

// Records the reason as a test failure, then ends the test: nothing after a
// failed load could do anything but crash on a missing function.
void LoadOrFail(loader::DriverLibrary& driver, const loader::LibraryPaths& paths) {
    std::string error;
    if (driver.Load(paths, error)) return;
    ADD_FAILURE() << error;
    throw std::runtime_error(error);
}

}  // namespace

// The libraries stay loaded for the life of the process (see SharedLibrary):
// loading again hands back the same handles, so each test starts from an
// empty host by a reset.
LoadedDriver::LoadedDriver() {
    LoadOrFail(*this, loader::DefaultLibraryPaths());
    reset();
}

LoadedDriver::LoadedDriver(const std::string& hostLibraryPath, const std::string& driverPath) {
    LoadOrFail(*this, {hostLibraryPath, driverPath});
    reset();
}

}  // namespace qel::test
