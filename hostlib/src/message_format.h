// printf-style formatting of a log message into a string of any length.
#pragma once

#include <cstdarg>
#include <string>

namespace huxtor {

std::string formatMessage(const char* format, va_list args);

}  // namespace huxtor
