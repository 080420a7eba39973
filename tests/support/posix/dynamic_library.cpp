#include "support/dynamic_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace qel::test::dynlib {

void* open(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr && error != nullptr) {
        const char* reason = dlerror();
        *error = reason != nullptr ? reason : "dlopen failed";
    }
    return library;
}

void* symbol(void* library, const char* name) { return dlsym(library, name); }

namespace {

// The test programs sit in <build>/tests, the libraries in <build>/hostlib and <build>/src.
std::string buildDirectory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string program(path, static_cast<size_t>(length));
    return program.substr(0, program.rfind('/')) + "/..";
}

}  // namespace

std::string defaultHostLibraryPath() { return buildDirectory() + "/hostlib/libhuxtor.so"; }
std::string defaultDriverPath() { return buildDirectory() + "/src/libqeleib.so"; }

}  // namespace qel::test::dynlib
