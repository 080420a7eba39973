#include "knxnet/udp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>


#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace bcuemu::detail {

namespace {

sockaddr_in AddressOf(const knxnet::Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.address);
    a.sin_port = htons(e.port);
    return a;
}

std::string ErrorText(int code) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0, text,
                   sizeof text, nullptr);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

class WinsockUdpSocket final : public UdpSocket {
public:
    ~WinsockUdpSocket() override {
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
        WSACleanup();
    }

    bool Bind(const knxnet::Endpoint& at, knxnet::Endpoint& bound, std::string& error) override {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (socket_ == INVALID_SOCKET) {
            error = "cannot create a UDP socket: " + ErrorText(WSAGetLastError());
            return false;
        }
        // Exclusive: a second server on the port fails instead of sharing it.
        BOOL on = TRUE;
        setsockopt(socket_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
        // A client that went away must not make the next receive fail.
        BOOL off = FALSE;
        DWORD returned = 0;
        WSAIoctl(socket_, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr, nullptr);
        sockaddr_in a = AddressOf(at);
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            error = "cannot listen on UDP " + knxnet::EndpointText(at) + ": " + ErrorText(WSAGetLastError());
            return false;
        }
        int size = sizeof a;
        if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
            error = "getsockname: " + ErrorText(WSAGetLastError());
            return false;
        }
        bound = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
        return true;
    }

    bool JoinGroup(const knxnet::Endpoint& group, uint32_t interface, knxnet::Endpoint& bound,
                   std::string& error) override {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        const BOOL on = TRUE;
        if (socket_ == INVALID_SOCKET ||
            setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
            error = "cannot create a shared UDP socket: " + ErrorText(WSAGetLastError());
            return false;
        }
        // Windows binds no socket to a group address: to any, on the group's port.
        sockaddr_in a = AddressOf({0, group.port});
        int size = sizeof a;
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
            error = "cannot bind to " + knxnet::EndpointText(group) + ": " + ErrorText(WSAGetLastError());
            return false;
        }
        ip_mreq request{};
        request.imr_multiaddr.s_addr = htonl(group.address);
        request.imr_interface.s_addr = htonl(interface);
        const DWORD loop = 1;  // on Windows the receiving side decides
        if (setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                       sizeof request) != 0 ||
            setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&loop), sizeof loop) != 0) {
            error = "cannot join " + knxnet::EndpointText(group) + ": " + ErrorText(WSAGetLastError());
            return false;
        }
        bound = {group.address, ntohs(a.sin_port)};
        return true;
    }

    bool SendToGroups(uint32_t interface, std::string& error) override {
        in_addr address{};
        address.s_addr = htonl(interface);
        if (setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&address),
                       sizeof address) != 0) {
            error = "cannot send to multicast groups: " + ErrorText(WSAGetLastError());
            return false;
        }
        return true;
    }

    size_t Receive(int timeoutMs, uint8_t* buffer, size_t capacity, knxnet::Endpoint& from) override {
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

    bool SendTo(const std::vector<uint8_t>& bytes, const knxnet::Endpoint& to) override {
        const sockaddr_in a = AddressOf(to);
        return ::sendto(socket_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                        reinterpret_cast<const sockaddr*>(&a), sizeof a) == static_cast<int>(bytes.size());
    }

    SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace

std::unique_ptr<UdpSocket> UdpSocket::Create(std::string& error) {
    WSADATA data;
    const int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
        error = "cannot start Winsock: " + ErrorText(result);
        return nullptr;
    }
    return std::make_unique<WinsockUdpSocket>();
}

}  // namespace bcuemu::detail
