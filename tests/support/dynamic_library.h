// The OS's dynamic loader, as the test helpers need it.
#pragma once

#include <string>

namespace qel::test::dynlib {

// Loads a library privately (its symbols are not offered to libraries loaded
// later) with every reference bound now. nullptr on failure, with the reason in `error`.
void* open(const std::string& path, std::string* error);
// An exported function of a library; nullptr when missing.
void* symbol(void* library, const char* name);

}  // namespace qel::test::dynlib
