// The port map: the host gives a port name of at most 11 characters; the map
// lets that name stand for a target that does not fit or is no local device:
// a long device path, \\.\COM12, rfc2217://HOST:PORT (a network serial
// server), knxip://HOST[:PORT][?nat], knxrouting://[GROUP][:PORT][?if=ADDRESS][&secure=PATH],
// ft12:DEVICE[?cemi][?baud=N]. One "NAME = TARGET" a line, "#" starts
// a comment, names compare without regard to letter case. The file is the one
// QELEIB_PORTS names, else qeleib.ports beside the driver library; it is read
// afresh at every lookup (each ColdStart and port request), so a change
// applies at the next start. A name not in the map means what it always meant.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

enum class MapLookup : uint8_t { kNotMapped, kMapped, kBroken };

constexpr char kPortMapVariable[] = "QELEIB_PORTS";
constexpr char kPortMapFile[] = "qeleib.ports";
constexpr size_t kTargetSize = 260;

// What is wrong with a map that cannot be used: its line (1-based) and why.
struct PortMapFault {
    unsigned line = 0;
    const char* why = "";
};

// A knxip://HOST[:PORT][?nat|?tcp|?secure=PATH] target: the server's host
// (an IPv4 literal or a name), its port (3671 when not given), and whether it
// is to answer where the datagrams come from (route-back, for a driver behind
// NAT) or the tunnel goes over a TCP connection instead of UDP; with
// ?secure=PATH over TCP in a KNX IP Secure session, PATH naming the
// credentials file (docs/knxip-secure.md).
struct TunnelTarget {
    char host[kTargetSize];
    uint16_t port;
    bool nat;
    bool tcp;
    char secure[kTargetSize];  // "": no secure session
};
// False when `target` (n characters) is no such target.
bool ParseTunnelTarget(const char* target, size_t n, TunnelTarget* out);

// A knxrouting://[GROUP][:PORT][?if=ADDRESS] target: KNXnet/IP routing on a
// multicast group (224.0.23.12 when not given) and port (3671), sent and
// joined on the interface with the local address ADDRESS (0: the system's
// choice). Addresses are IPv4 literals, kept in host order. With
// ?secure=PATH (after ?if=: &secure=PATH; last, the path runs to the end)
// KNX IP Secure routing, PATH naming the credentials file.
struct RoutingTarget {
    uint32_t group;
    uint16_t port;
    uint32_t interface;
    char secure[kTargetSize];  // "": plain routing
};
// False when `target` (n characters) is no such target.
bool ParseRoutingTarget(const char* target, size_t n, RoutingTarget* out);

// An ft12:DEVICE target: a BCU2 in FT1.2 mode (EMI2 frames) or, with
// "?cemi", a cEMI module, on the serial device DEVICE (itself a device path or
// a short name), at `baud` bits per second ("?baud=N", 19200 when not given).
struct Ft12Target {
    char device[kTargetSize];
    bool cemi;
    uint32_t baud;
};
// False when `target` (n characters) is no such target.
bool ParseFt12Target(const char* target, size_t n, Ft12Target* out);

// Looks `name` up in a map's text. A line that does not parse, or a name
// mapped twice, makes the whole map kBroken, whatever name is asked for.
MapLookup LookUpInPortMap(const char* text, const char* name, char* target, size_t size, PortMapFault* fault);

// Looks `name` up in the map file, if there is one; a broken or unreadable map
// is logged in one line naming the file (and the line).
MapLookup LookUpPort(const char* name, char* target, size_t size);

}  // namespace qel
