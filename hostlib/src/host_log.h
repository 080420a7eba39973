// The log that `err` writes to: (level, text) lines in the order they were written.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "log_echo.h"

namespace huxtor {

struct LogLine {
    int level;
    std::string text;
};

class HostLog {
public:
    void append(int level, std::string text);
    uint32_t count() const;
    std::optional<LogLine> line(uint32_t index) const;
    void clear();
    // See LogEcho::start. Lines are echoed in log order.
    bool echoTo(const char* path);

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
    LogEcho echo_;
};

}  // namespace huxtor
