// The tunnel's TCP connection inside a KNX IP Secure session: before the
// CONNECT_REQUEST the session is set up (SESSION_REQUEST, RESPONSE,
// AUTHENTICATE, STATUS: at most 10 s for each answer), then every frame goes
// sealed and every one received is opened; a frame that does not open is
// dropped and counted in one log line. Quiet sessions get a keep-alive
// SESSION_STATUS after 30 s, and the tunnel's end closes the session. A
// refused session is logged once until a session is up again.
#pragma once

#include "platform/platform.h"
#include "tunnel/knxnet_frames.h"
#include "tunnel/tunnel_transport.h"

namespace qel {

// Sets `t` up for secure sessions with `server` over TCP, with the
// credentials from the file `credentials` (read now). False when that file
// gives none (logged under `owner`). `owner` and `serverText` ("a.b.c.d:port")
// outlive the transport: the session's log lines name them.
bool OpenSecureTransport(Transport& t, const char* credentials, const platform::Endpoint& server, const char* owner,
                         const char* serverText, knxnet::Hpai* own);

}  // namespace qel
