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

}  // namespace qel::test::dynlib
