#include "support/dynamic_library.h"

#include <windows.h>

namespace qel::test::dynlib {

void* open(const std::string& path, std::string* error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr && error != nullptr) {
        *error = "LoadLibraryA failed, error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<void*>(library);
}

void* symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

namespace {

// The build copies both DLLs beside each test program, as a host keeps them.
std::string programDirectory() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return ".";
    std::string program(path, length);
    return program.substr(0, program.find_last_of("\\/"));
}

}  // namespace

std::string defaultHostLibraryPath() { return programDirectory() + "\\HUXTOR.dll"; }
std::string defaultDriverPath() { return programDirectory() + "\\qeleib.dll"; }

}  // namespace qel::test::dynlib
