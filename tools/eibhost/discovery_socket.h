// The UDP socket of --discover behind eibhost's OS seam
// (discovery_socket_posix.cpp, discovery_socket_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace eibhost {

// An IPv4 endpoint, address in host order (127.0.0.1 is 0x7F000001).
struct UdpEndpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

class DiscoverySocket {
public:
    // An ephemeral socket on the address whose route leads to `to`; `local`
    // is the endpoint taken, for the request's HPAI. nullptr with `error` set.
    static std::unique_ptr<DiscoverySocket> Open(const UdpEndpoint& to, UdpEndpoint& local, std::string& error);
    virtual ~DiscoverySocket() = default;

    virtual bool Send(const std::vector<uint8_t>& bytes, const UdpEndpoint& to) = 0;
    // Waits up to timeoutMs for a datagram; returns its size (0: none).
    virtual size_t Receive(int timeoutMs, uint8_t* buffer, size_t capacity, UdpEndpoint& from) = 0;
};

}  // namespace eibhost
