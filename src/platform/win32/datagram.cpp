// UDP datagrams on Windows, for KNXnet/IP, to a server or a multicast group: a
// non-blocking socket with an event for "readable" that a wait takes together
// with a wake.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <new>

#include "platform/win32/win32_backend.h"

namespace qel::platform {

struct Datagram {
    SOCKET socket;
    WSAEVENT readable;
};

namespace win32 {
namespace {

// SIO_UDP_CONNRESET, which not every SDK's headers name.
constexpr DWORD kUdpConnectionReset = _WSAIOW(IOC_VENDOR, 12);

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

// The local address Windows would send from towards `remote`: a connected
// UDP socket sends nothing, it only picks the route.
bool LocalAddressTowards(uint32_t remote, uint32_t* local) {
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) return false;
    sockaddr_in to = SocketAddress(remote, 3671);
    sockaddr_in me{};
    int length = sizeof me;
    const bool found = connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&me), &length) == 0;
    closesocket(probe);
    if (found) *local = ntohl(me.sin_addr.s_addr);
    return found;
}

void Fail(SOCKET sock, WSAEVENT readable) {
    if (readable != WSA_INVALID_EVENT) WSACloseEvent(readable);
    if (sock != INVALID_SOCKET) closesocket(sock);
    WSACleanup();
}

}  // namespace

bool ResolveHost(const char* name, uint32_t* address) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    const bool resolved = getaddrinfo(name, nullptr, &hints, &found) == 0 && found != nullptr;
    if (resolved) {
        *address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        freeaddrinfo(found);
    }
    WSACleanup();
    return resolved;
}

Datagram* OpenDatagram(uint32_t towards, Endpoint* local) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return nullptr;
    uint32_t address = 0;
    const SOCKET sock = LocalAddressTowards(towards, &address) ? socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP) : INVALID_SOCKET;
    const WSAEVENT readable = sock != INVALID_SOCKET ? WSACreateEvent() : WSA_INVALID_EVENT;
    sockaddr_in at = SocketAddress(address, 0);
    int length = sizeof at;
    if (readable == WSA_INVALID_EVENT || bind(sock, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&at), &length) != 0 ||
        WSAEventSelect(sock, readable, FD_READ) != 0) {  // also makes the socket non-blocking
        Fail(sock, readable);
        return nullptr;
    }
    // Without this an ICMP "port unreachable" for an earlier send fails the next receive.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(sock, kUdpConnectionReset, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    auto* datagram = new (std::nothrow) Datagram{sock, readable};
    if (datagram == nullptr) {
        Fail(sock, readable);
        return nullptr;
    }
    *local = {ntohl(at.sin_addr.s_addr), ntohs(at.sin_port)};
    return datagram;
}

bool SendDatagram(Datagram* datagram, const Endpoint* to, const uint8_t* bytes, uint32_t n) {
    const sockaddr_in sa = SocketAddress(to->address, to->port);
    const int sent = sendto(datagram->socket, reinterpret_cast<const char*>(bytes), static_cast<int>(n), 0,
                            reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return sent == static_cast<int>(n);
}

DatagramWait ReceiveDatagram(Datagram* datagram, Wake* wake, uint32_t timeoutMs, uint8_t* buffer, uint32_t size,
                             uint32_t* n, Endpoint* from) {
    const DWORD start = GetTickCount();
    for (;;) {
        sockaddr_in sa{};
        int length = sizeof sa;
        const int got = recvfrom(datagram->socket, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0,
                                 reinterpret_cast<sockaddr*>(&sa), &length);
        const int error = got == SOCKET_ERROR ? WSAGetLastError() : 0;
        if (got >= 0 || error == WSAEMSGSIZE) {
            *n = got >= 0 ? static_cast<uint32_t>(got) : size;
            *from = {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
            return DatagramWait::kReceived;
        }
        if (error != WSAEWOULDBLOCK && error != WSAECONNRESET) return DatagramWait::kFailed;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return DatagramWait::kTimedOut;
        const HANDLE handles[2] = {datagram->readable, wake != nullptr ? WakeHandle(wake) : nullptr};
        const DWORD which = WaitForMultipleObjects(wake != nullptr ? 2 : 1, handles, FALSE, timeoutMs - elapsed);
        if (which == WAIT_OBJECT_0) {
            WSANETWORKEVENTS events{};
            WSAEnumNetworkEvents(datagram->socket, datagram->readable, &events);  // resets the event
        } else if (which == WAIT_OBJECT_0 + 1) {
            return DatagramWait::kWoken;
        } else if (which != WAIT_TIMEOUT) {
            return DatagramWait::kFailed;
        }
    }
}

Datagram* OpenGroupDatagram(uint32_t group, uint16_t port, Endpoint* local) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return nullptr;
    const SOCKET sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const WSAEVENT readable = sock != INVALID_SOCKET ? WSACreateEvent() : WSA_INVALID_EVENT;
    // Windows binds no socket to a group address: to any, the port shared.
    const BOOL share = TRUE;
    sockaddr_in at = SocketAddress(INADDR_ANY, port);
    int length = sizeof at;
    if (readable == WSA_INVALID_EVENT ||
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&share), sizeof share) != 0 ||
        bind(sock, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&at), &length) != 0 ||
        WSAEventSelect(sock, readable, FD_READ) != 0) {
        Fail(sock, readable);
        return nullptr;
    }
    auto* datagram = new (std::nothrow) Datagram{sock, readable};
    if (datagram == nullptr) {
        Fail(sock, readable);
        return nullptr;
    }
    *local = {group, ntohs(at.sin_port)};
    return datagram;
}

bool JoinGroup(Datagram* datagram, uint32_t group, uint32_t interface) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interface);
    return setsockopt(datagram->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                      sizeof request) == 0;
}

bool LeaveGroup(Datagram* datagram, uint32_t group, uint32_t interface) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interface);
    return setsockopt(datagram->socket, IPPROTO_IP, IP_DROP_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                      sizeof request) == 0;
}

bool SetMulticastInterface(Datagram* datagram, uint32_t interface) {
    in_addr address{};
    address.s_addr = htonl(interface);
    return setsockopt(datagram->socket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&address),
                      sizeof address) == 0;
}

bool SetMulticastLoop(Datagram* datagram, bool on) {
    const DWORD loop = on ? 1 : 0;
    return setsockopt(datagram->socket, IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&loop),
                      sizeof loop) == 0;
}

void CloseDatagram(Datagram* datagram) {
    closesocket(datagram->socket);
    WSACloseEvent(datagram->readable);
    delete datagram;
    WSACleanup();
}

}  // namespace win32
}  // namespace qel::platform
