#include "platform/virtual_line/tcp_target.h"

#include "platform/virtual_line/virtual_port.h"

#include <cctype>
#include <cstring>

namespace qel::platform {

bool IsRfc2217Target(const char* target) {
    const size_t n = sizeof kRfc2217Scheme - 1;
    for (size_t i = 0; i < n; ++i) {
        if (target[i] == '\0' || std::tolower(static_cast<unsigned char>(target[i])) != kRfc2217Scheme[i]) return false;
    }
    return true;
}

bool ParseRfc2217Target(const char* target, char* host, size_t hostSize, uint16_t* port) {
    if (!IsRfc2217Target(target)) return false;
    const char* rest = target + sizeof kRfc2217Scheme - 1;
    const char* colon = std::strrchr(rest, ':');
    if (colon == nullptr || colon == rest || static_cast<size_t>(colon - rest) >= hostSize) return false;
    for (const char* c = rest; c < colon; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '.' && *c != '-') return false;
    }
    unsigned long number = 0;
    const char* digits = colon + 1;
    if (*digits == '\0' || std::strlen(digits) > 5) return false;
    for (const char* c = digits; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        number = number * 10 + static_cast<unsigned long>(*c - '0');
    }
    if (number == 0 || number > 65535) return false;
    std::memcpy(host, rest, static_cast<size_t>(colon - rest));
    host[colon - rest] = '\0';
    *port = static_cast<uint16_t>(number);
    return true;
}

Port* OpenRfc2217Port(const char* target, ByteStream* (*connect)(const char* host, uint16_t port)) {
    char host[kHostSize];
    uint16_t port = 0;
    if (!ParseRfc2217Target(target, host, sizeof host, &port)) return nullptr;
    ByteStream* stream = connect(host, port);
    return stream != nullptr ? OpenVirtualPort(stream) : nullptr;
}

}  // namespace qel::platform
