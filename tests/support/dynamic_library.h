// The OS's dynamic loader, as the test helpers need it.
#pragma once

#include <string>

namespace qel::test::dynlib {

// Loads a library privately (its symbols are not offered to libraries loaded
// later) with every reference bound now. nullptr on failure, with the reason in `error`.
void* open(const std::string& path, std::string* error);
// An exported function of a library; nullptr when missing.
void* symbol(void* library, const char* name);

// Where the build puts the host library and the driver, found from the running
// test program; for builds that compile no paths into the test helpers.
std::string defaultHostLibraryPath();
std::string defaultDriverPath();

}  // namespace qel::test::dynlib
