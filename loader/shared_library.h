// A library loaded at run time, as the real host loads its plug-ins.
#pragma once

#include <string>

namespace qel::loader {

class SharedLibrary {
public:
    SharedLibrary() = default;
    // Never unloads: the driver's listener threads may still run code from it
    // after a failed session or test, and it binds the host functions once per load.
    ~SharedLibrary() = default;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads `path` privately (its symbols are not offered to libraries loaded
    // later) with every reference bound now. False, with the reason in `error`.
    bool Open(const std::string& path, std::string& error);
    // The address of an exported symbol, or nullptr.
    void* Symbol(const char* name) const;
    bool IsOpen() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

// The directory that holds the running program, with a trailing separator.
std::string ExecutableDirectory();
// True when a file exists at `path`.
bool FileExists(const std::string& path);

}  // namespace qel::loader
