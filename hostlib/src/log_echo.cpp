#include "log_echo.h"

namespace huxtor {

LogEcho::~LogEcho() { stop(); }

bool LogEcho::start(const char* path) {
    stop();
    if (path == nullptr || *path == '\0') return true;
    if (std::string(path) == "-") {
        file_ = stderr;
        return true;
    }
    file_ = std::fopen(path, "a");
    ownsFile_ = file_ != nullptr;
    return file_ != nullptr;
}

void LogEcho::stop() {
    if (ownsFile_) std::fclose(file_);
    file_ = nullptr;
    ownsFile_ = false;
}

void LogEcho::write(int level, const std::string& text) {
    if (file_ == nullptr) return;
    const bool endsLine = !text.empty() && text.back() == '\n';
    std::fprintf(file_, "[%d] %s%s", level, text.c_str(), endsLine ? "" : "\n");
    std::fflush(file_);
}

}  // namespace huxtor
