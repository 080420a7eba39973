// The shipped driver, loaded as a host does (the shared loader), for a test:
// a library or function that cannot be found fails the test by name.
#pragma once

#include <string>

#include "driver_library.h"

namespace qel::test {

using loader::LogLine;

class LoadedDriver : public loader::DriverLibrary {
public:
    // Paths default to the libraries built beside the tests. Aborts the test on failure.
    LoadedDriver();
    LoadedDriver(const std::string& hostLibraryPath, const std::string& driverPath);
};

}  // namespace qel::test
