// What carries a tunnel's frames: UDP datagrams, a frame each, on one socket
// for the tunnel's life; or a TCP connection per tunnel, made before its
// CONNECT_REQUEST and closed when the tunnel ends, the frames cut out of the
// stream by their headers' total lengths; or that connection inside a KNX IP
// Secure session (secure_transport.h). The tunnel (tunnel.cpp) is the same
// over all but for what its transport's table says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "tunnel/knxnet_frames.h"

namespace qel {

enum class Arrival : uint8_t {
    kFrame,    // one frame, handed out until the next receive
    kWoken,    // the wake was signalled (and is reset)
    kNothing,  // no whole frame yet: the time passed, or only the beginning of one came
    kFailed,   // the UDP socket failed
    kEnded,    // TCP: the server closed the connection, or it failed
    kBroken,   // TCP: a header that cannot start a frame; the connection is closed
};

enum class Readiness : uint8_t {
    kReady,    // the request can go
    kNotNow,   // no connection to be had now: as a request without answer
    kRefused,  // the server refused the secure session (logged): as a refused request
};

struct Transport;
struct SecureLink;

struct TransportMethods {
    bool acknowledged;  // TUNNELLING_ACK exchanged (UDP); TCP itself delivers or fails
    // Before a CONNECT_REQUEST: the connection (and secure session) it goes on.
    Readiness (*ready)(Transport&);
    // False when the connection failed taking it (then it is closed); a
    // datagram that cannot go counts as one lost on the way.
    bool (*send)(Transport&, const platform::Endpoint& to, const uint8_t* bytes, size_t n);
    // Until a frame (*frame, n bytes, from *from), the wake (may be nullptr)
    // or ms; without a connection, the wake or ms only.
    Arrival (*receive)(Transport&, platform::Wake* wake, uint32_t ms, const uint8_t** frame, size_t* n,
                       platform::Endpoint* from);
    void (*end)(Transport&);    // the tunnel is over: its TCP connection closed
    void (*close)(Transport&);  // ended, and the socket freed
};

struct Transport {
    const TransportMethods* methods;
    platform::Endpoint server;     // the server's control endpoint
    platform::Datagram* socket;    // UDP
    platform::ByteStream* stream;  // TCP, while connecting or connected
    size_t have;                   // TCP: bytes in `in`
    size_t taken;                  // of them, the frame handed out last
    SecureLink* secure;            // a secure session's state (secure_transport.h), else nullptr
    uint8_t in[knxnet::kMaxDatagram];
};

// Sets `t` up for `server` over TCP or UDP, `own` the HPAI this side names
// in its requests (the UDP socket's local endpoint; over TCP route-back).
// False when there is no UDP socket.
bool OpenTransport(Transport& t, bool tcp, const platform::Endpoint& server, knxnet::Hpai* own);

// The TCP table, for the secure layer above it.
const TransportMethods& TcpMethods();

}  // namespace qel
