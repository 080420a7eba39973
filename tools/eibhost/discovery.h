// eibhost --discover: a KNXnet/IP SEARCH_REQUEST and one line per server
// that answers. The frames are built and read here; the socket is behind
// discovery_socket.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discovery_socket.h"

namespace eibhost {

constexpr const char* kSearchAddress = "224.0.23.12:3671";  // the KNXnet/IP system setup multicast

// What a SEARCH_RESPONSE tells about its server.
struct FoundServer {
    std::string name;
    UdpEndpoint control;
    uint16_t individualAddress = 0;
    uint8_t serial[6] = {};
    bool tunnelling = false, routing = false, secure = false;
};

// "ADDRESS[:PORT]", IPv4 only; the port defaults to 3671.
std::optional<UdpEndpoint> ParseSearchTarget(const std::string& text);
std::vector<uint8_t> SearchRequest(const UdpEndpoint& answersTo);
// nullopt for anything but a well-formed SEARCH_RESPONSE; `from` stands in
// for a control endpoint of 0.0.0.0.
std::optional<FoundServer> ParseSearchResponse(const uint8_t* bytes, size_t count, const UdpEndpoint& from);
// "bcusim | 127.0.0.1:3671 | 1.1.240 | 00FA:00000001 | tunnelling"
std::string ServerLine(const FoundServer& server);

// Searches `target` for `waitMs` and prints each server once; the exit status.
int Discover(const std::string& target, int waitMs);

}  // namespace eibhost
