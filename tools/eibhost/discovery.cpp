#include "discovery.h"

#include <chrono>
#include <cstdio>
#include <set>

#include "group_address.h"
#include "session.h"

namespace eibhost {

namespace {

constexpr uint16_t kSearchRequestService = 0x0201;
constexpr uint16_t kSearchResponseService = 0x0202;
constexpr uint8_t kDeviceInfoDib = 0x01;
constexpr uint8_t kFamiliesDib = 0x02;
constexpr uint8_t kTunnellingFamily = 0x04, kRoutingFamily = 0x05, kSecurityFamily = 0x09;

std::string EndpointText(const UdpEndpoint& e) {
    return std::to_string(e.address >> 24) + "." + std::to_string((e.address >> 16) & 0xFF) + "." +
           std::to_string((e.address >> 8) & 0xFF) + "." + std::to_string(e.address & 0xFF) + ":" +
           std::to_string(e.port);
}

// Digits at `pos` up to `max`; advances `pos`.
std::optional<unsigned> Number(const std::string& text, size_t& pos, unsigned max) {
    const size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 5) {
        value = value * 10 + static_cast<unsigned>(text[pos++] - '0');
    }
    if (pos == start || value > max) return std::nullopt;
    return value;
}

void ReadDevice(const uint8_t* dib, FoundServer& server) {
    server.individualAddress = static_cast<uint16_t>((dib[4] << 8) | dib[5]);
    for (int i = 0; i < 6; ++i) server.serial[i] = dib[8 + i];
    for (int i = 24; i < 54 && dib[i] != 0; ++i) {
        server.name += dib[i] >= 0x20 && dib[i] < 0x7F ? static_cast<char>(dib[i]) : '?';
    }
}

void ReadFamilies(const uint8_t* dib, size_t size, FoundServer& server) {
    for (size_t i = 2; i + 1 < size; i += 2) {
        server.tunnelling = server.tunnelling || dib[i] == kTunnellingFamily;
        server.routing = server.routing || dib[i] == kRoutingFamily;
        server.secure = server.secure || dib[i] == kSecurityFamily;
    }
}

}  // namespace

std::optional<UdpEndpoint> ParseSearchTarget(const std::string& text) {
    UdpEndpoint e{0, 3671};
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && (pos >= text.size() || text[pos++] != '.')) return std::nullopt;
        const auto part = Number(text, pos, 255);
        if (!part) return std::nullopt;
        e.address = (e.address << 8) | *part;
    }
    if (pos < text.size()) {
        if (text[pos++] != ':') return std::nullopt;
        const auto port = Number(text, pos, 65535);
        if (!port || *port == 0 || pos != text.size()) return std::nullopt;
        e.port = static_cast<uint16_t>(*port);
    }
    return e;
}

std::vector<uint8_t> SearchRequest(const UdpEndpoint& answersTo) {
    const uint32_t a = answersTo.address;
    return {0x06, 0x10, kSearchRequestService >> 8, kSearchRequestService & 0xFF, 0x00, 0x0E,
            0x08, 0x01, static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8),
            static_cast<uint8_t>(a), static_cast<uint8_t>(answersTo.port >> 8), static_cast<uint8_t>(answersTo.port)};
}

std::optional<FoundServer> ParseSearchResponse(const uint8_t* bytes, size_t count, const UdpEndpoint& from) {
    if (count < 14 || bytes[0] != 0x06 || bytes[1] != 0x10 || ((bytes[2] << 8) | bytes[3]) != kSearchResponseService ||
        static_cast<size_t>((bytes[4] << 8) | bytes[5]) != count || bytes[6] != 0x08) {
        return std::nullopt;
    }
    FoundServer server;
    server.control.address = (static_cast<uint32_t>(bytes[8]) << 24) | (bytes[9] << 16) | (bytes[10] << 8) | bytes[11];
    server.control.port = static_cast<uint16_t>((bytes[12] << 8) | bytes[13]);
    if (server.control.address == 0) server.control = from;
    bool device = false;
    for (size_t at = 14; at < count;) {
        const size_t size = bytes[at];
        if (size < 2 || at + size > count) return std::nullopt;
        if (bytes[at + 1] == kDeviceInfoDib && size == 54) {
            ReadDevice(bytes + at, server);
            device = true;
        } else if (bytes[at + 1] == kFamiliesDib) {
            ReadFamilies(bytes + at, size, server);
        }
        at += size;
    }
    if (!device) return std::nullopt;
    return server;
}

std::string ServerLine(const FoundServer& server) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%02X%02X:%02X%02X%02X%02X", server.serial[0], server.serial[1],
                  server.serial[2], server.serial[3], server.serial[4], server.serial[5]);
    std::string services;
    for (const auto& [offered, name] : {std::pair{server.tunnelling, "tunnelling"}, std::pair{server.routing, "routing"},
                                        std::pair{server.secure, "secure"}}) {
        if (offered) services += (services.empty() ? "" : ", ") + std::string(name);
    }
    return server.name + " | " + EndpointText(server.control) + " | " + IndividualText(server.individualAddress) +
           " | " + serial + " | " + (services.empty() ? "none" : services);
}

int Discover(const std::string& target, int waitMs) {
    const std::optional<UdpEndpoint> to = ParseSearchTarget(target);
    if (!to) {
        std::fprintf(stderr, "eibhost: --discover %s: give an IPv4 address, optionally with :PORT\n", target.c_str());
        return kBadInput;
    }
    UdpEndpoint local;
    std::string error;
    const auto socket = DiscoverySocket::Open(*to, local, error);
    if (!socket || !socket->Send(SearchRequest(local), *to)) {
        std::fprintf(stderr, "eibhost: --discover %s: %s\n", target.c_str(), error.empty() ? "send failed" : error.c_str());
        return kStepFailed;
    }
    // Every answer until the time is up: any number of servers may answer a multicast search.
    std::set<std::string> printed;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    uint8_t buffer[512];
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        UdpEndpoint from;
        const size_t n = socket->Receive(static_cast<int>(left) + 1, buffer, sizeof buffer, from);
        const std::optional<FoundServer> server = ParseSearchResponse(buffer, n, from);
        if (!server) continue;
        const std::string line = ServerLine(*server);
        if (printed.insert(line).second) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    if (printed.empty()) {
        std::fprintf(stderr, "eibhost: no KNXnet/IP server answered at %s within %d ms\n", target.c_str(), waitMs);
        return kStepFailed;
    }
    return kSuccess;
}

}  // namespace eibhost
