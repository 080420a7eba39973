// A serial port carried over a byte stream with telnet COM-PORT-OPTION
// framing (RFC 2217 client side). The backend supplies the stream (a
// Unix-domain socket, a named pipe); everything else is here and touches no
// operating system.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qel::platform {

// How long open waits for the server to accept the com-port option, and
// setModemLine for the server's answer.
constexpr uint32_t kNegotiationMs = 1000;
constexpr uint32_t kControlAnswerMs = 1000;

// Negotiates the com-port option on `stream` and returns a port over it. The
// port owns the stream from here on; on failure the stream is closed and the
// result is nullptr.
Port* OpenVirtualPort(ByteStream* stream);

}  // namespace qel::platform
