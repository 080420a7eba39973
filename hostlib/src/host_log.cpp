#include "host_log.h"

namespace huxtor {

void HostLog::append(int level, std::string text) {
    std::lock_guard lock(mutex_);
    echo_.write(level, text);
    lines_.push_back(LogLine{level, std::move(text)});
}

uint32_t HostLog::count() const {
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(lines_.size());
}

std::optional<LogLine> HostLog::line(uint32_t index) const {
    std::lock_guard lock(mutex_);
    if (index >= lines_.size()) return std::nullopt;
    return lines_[index];
}

void HostLog::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

bool HostLog::echoTo(const char* path) {
    std::lock_guard lock(mutex_);
    return echo_.start(path);
}

}  // namespace huxtor
