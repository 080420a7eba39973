// A library loaded at run time, as the real host loads its plug-ins.
#pragma once

#include <string>

namespace eibhost {

class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads `path` with its symbols kept local. False, with `error` set, on failure.
    bool open(const std::string& path, std::string& error);
    // The address of an exported symbol, or nullptr.
    void* symbol(const char* name) const;
    bool isOpen() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

// The directory that holds the running program, with a trailing separator.
std::string ExecutableDirectory();
// True when a file exists at `path`.
bool FileExists(const std::string& path);

}  // namespace eibhost
