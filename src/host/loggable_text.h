// A text from the host, as it may be written to the log: at most
// kLoggedTextBytes of it are read, and a longer one is cut and marked "...",
// so that a text without its terminating NUL is never read past.
#pragma once

#include <cstddef>
#include <cstring>

namespace qel::host {

constexpr size_t kLoggedTextBytes = 256;

class LoggableText {
public:
    explicit LoggableText(const char* text) {
        const void* end = std::memchr(text, '\0', kLoggedTextBytes + 1);
        if (end != nullptr) {
            std::memcpy(buffer_, text, static_cast<const char*>(end) - text + 1);
            return;
        }
        std::memcpy(buffer_, text, kLoggedTextBytes);
        std::memcpy(buffer_ + kLoggedTextBytes, "...", 4);
    }
    const char* Get() const { return buffer_; }

private:
    char buffer_[kLoggedTextBytes + 4];
};

}  // namespace qel::host
