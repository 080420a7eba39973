// KNXnet/IP routing datagrams: ROUTING_INDICATION with its cEMI frame both
// ways, and the routers' ROUTING_BUSY and ROUTING_LOST_MESSAGE. Pure byte
// work: the parser takes untrusted bytes and refuses what is malformed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::routing {

constexpr size_t kMaxDatagram = 512;

enum class Service : uint16_t {
    kIndication = 0x0530,
    kLostMessage = 0x0531,
    kBusy = 0x0532,
};

// A ROUTING_INDICATION around `length` bytes of cEMI into `out` (kMaxDatagram
// bytes); its length, 0 when the frame does not fit.
size_t RoutingIndication(uint8_t* out, const uint8_t* cemi, size_t length);

// A routing datagram as the driver reads it.
struct Routed {
    Service service;
    const uint8_t* cemi = nullptr;  // indication
    size_t cemiLength = 0;
    uint16_t waitMs = 0;            // busy: how long to hold back
    uint16_t control = 0;           // busy: 0 for everyone
    uint16_t lost = 0;              // lost message: how many
};
// False for anything that is not a well-formed routing datagram.
bool ParseRouted(const uint8_t* bytes, size_t n, Routed* out);

}  // namespace qel::routing
