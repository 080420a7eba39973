#include "message_format.h"

#include <cstdio>
#include <vector>

namespace huxtor {

std::string formatMessage(const char* format, va_list args) {
    if (format == nullptr) return {};
    char small[256];
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(small, sizeof small, format, measure);
    va_end(measure);
    if (length < 0) return format;  // a broken format: keep what the caller meant to say
    if (static_cast<size_t>(length) < sizeof small) return std::string(small, static_cast<size_t>(length));
    std::vector<char> large(static_cast<size_t>(length) + 1);
    va_list again;
    va_copy(again, args);
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    return std::string(large.data(), static_cast<size_t>(length));
}

}  // namespace huxtor
