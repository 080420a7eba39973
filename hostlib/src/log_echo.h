// Copies each log line, as it is written, to a file (appended) or to stderr.
#pragma once

#include <cstdio>
#include <string>

namespace huxtor {

class LogEcho {
public:
    LogEcho() = default;
    ~LogEcho();
    LogEcho(const LogEcho&) = delete;
    LogEcho& operator=(const LogEcho&) = delete;

    // "-" is stderr; nullptr or "" stops echoing. False when the file cannot be opened.
    bool start(const char* path);
    void stop();
    // One line "[level] text", flushed at once so a crash loses nothing.
    void write(int level, const std::string& text);

private:
    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
};

}  // namespace huxtor
