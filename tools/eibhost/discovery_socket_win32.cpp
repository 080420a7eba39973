#include <winsock2.h>
#include <ws2tcpip.h>

#include "discovery_socket.h"

namespace eibhost {

namespace {

sockaddr_in AddressOf(const UdpEndpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.address);
    a.sin_port = htons(e.port);
    return a;
}

class WinsockDiscoverySocket final : public DiscoverySocket {
public:
    explicit WinsockDiscoverySocket(SOCKET s) : socket_(s) {}
    ~WinsockDiscoverySocket() override {
        closesocket(socket_);
        WSACleanup();
    }

    bool Send(const std::vector<uint8_t>& bytes, const UdpEndpoint& to) override {
        const sockaddr_in a = AddressOf(to);
        return ::sendto(socket_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                        reinterpret_cast<const sockaddr*>(&a), sizeof a) == static_cast<int>(bytes.size());
    }

    size_t Receive(int timeoutMs, uint8_t* buffer, size_t capacity, UdpEndpoint& from) override {
        WSAPOLLFD p{};
        p.fd = socket_;
        p.events = POLLRDNORM;
        if (WSAPoll(&p, 1, timeoutMs) <= 0) return 0;
        sockaddr_in a{};
        int size = sizeof a;
        const int n = ::recvfrom(socket_, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                                 reinterpret_cast<sockaddr*>(&a), &size);
        if (n <= 0) return 0;
        from = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
        return static_cast<size_t>(n);
    }

private:
    SOCKET socket_;
};

std::string Failed(const char* what) { return std::string(what) + ": error " + std::to_string(WSAGetLastError()); }

}  // namespace

std::unique_ptr<DiscoverySocket> DiscoverySocket::Open(const UdpEndpoint& to, UdpEndpoint& local, std::string& error) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error = "cannot start Winsock";
        return nullptr;
    }
    // A connected probe learns which local address the route to `to` takes; nothing is sent on it.
    const SOCKET probe = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = AddressOf(to);
    int size = sizeof a;
    if (probe == INVALID_SOCKET || ::connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        error = Failed("no route to the search address");
        if (probe != INVALID_SOCKET) closesocket(probe);
        WSACleanup();
        return nullptr;
    }
    closesocket(probe);
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    a.sin_port = 0;
    size = sizeof a;
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        error = Failed("cannot open a UDP socket");
        if (s != INVALID_SOCKET) closesocket(s);
        WSACleanup();
        return nullptr;
    }
    local = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
    return std::make_unique<WinsockDiscoverySocket>(s);
}

}  // namespace eibhost
