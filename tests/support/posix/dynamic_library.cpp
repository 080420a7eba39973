#include "support/dynamic_library.h"

#include <dlfcn.h>

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

}  // namespace qel::test::dynlib
