// The driver's banner is drawn in code page 437; terminals today want UTF-8.
#pragma once

#include <string>

namespace eibhost {

// Converts the box-drawing characters the banner uses (and keeps ASCII). Other
// bytes from 0x80 up become U+FFFD, and CR LF becomes LF.
std::string BannerToUtf8(const char* text);

}  // namespace eibhost
