// A virtual line on TCP (a network serial server speaking RFC 2217): the
// target "rfc2217://HOST:PORT" that a port map gives for a port name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace qel::platform {

constexpr char kRfc2217Scheme[] = "rfc2217://";
constexpr size_t kHostSize = 256;

// True for an rfc2217 target, split into host (a name or IPv4 literal) and
// port 1..65535; false for anything else, a malformed target included.
bool ParseRfc2217Target(const char* target, char* host, size_t hostSize, uint16_t* port);
// True when `target` starts with the scheme (well formed or not).
bool IsRfc2217Target(const char* target);

struct ByteStream;
// A virtual line over TCP to an rfc2217 target, through the backend's
// `connect`; nullptr when the target is malformed or cannot be reached.
Port* OpenRfc2217Port(const char* target, ByteStream* (*connect)(const char* host, uint16_t port));

}  // namespace qel::platform
