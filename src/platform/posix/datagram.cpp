// UDP datagrams on posix, for KNXnet/IP: a socket bound to the address that
// reaches the server, or one that shares a multicast group's port, waited on
// together with a wake.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/posix/posix_backend.h"

namespace qel::platform {

struct Datagram {
    int fd;
};

namespace posix {
namespace {

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

// The local address the kernel would send from towards `remote`: a connected
// UDP socket sends nothing, it only picks the route.
bool LocalAddressTowards(uint32_t remote, uint32_t* local) {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    sockaddr_in to = SocketAddress(remote, 3671);
    sockaddr_in me{};
    socklen_t length = sizeof me;
    const bool found = connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&me), &length) == 0;
    close(probe);
    if (found) *local = ntohl(me.sin_addr.s_addr);
    return found;
}

}  // namespace

bool ResolveHost(const char* name, uint32_t* address) {
    in_addr literal{};
    if (inet_pton(AF_INET, name, &literal) == 1) {
        *address = ntohl(literal.s_addr);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    *address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

Datagram* OpenDatagram(uint32_t towards, Endpoint* local) {
    uint32_t address = 0;
    if (!LocalAddressTowards(towards, &address)) return nullptr;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    sockaddr_in at = SocketAddress(address, 0);
    socklen_t length = sizeof at;
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        close(fd);
        return nullptr;
    }
    auto* datagram = new (std::nothrow) Datagram{fd};
    if (datagram == nullptr) {
        close(fd);
        return nullptr;
    }
    *local = {ntohl(at.sin_addr.s_addr), ntohs(at.sin_port)};
    return datagram;
}

bool SendDatagram(Datagram* datagram, const Endpoint* to, const uint8_t* bytes, uint32_t n) {
    const sockaddr_in sa = SocketAddress(to->address, to->port);
    for (;;) {
        const ssize_t sent = sendto(datagram->fd, bytes, n, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (sent >= 0) return static_cast<uint32_t>(sent) == n;
        if (errno != EINTR) return false;
    }
}

DatagramWait ReceiveDatagram(Datagram* datagram, Wake* wake, uint32_t timeoutMs, uint8_t* buffer, uint32_t size,
                             uint32_t* n, Endpoint* from) {
    const uint32_t start = TickMs();
    for (;;) {
        sockaddr_in sa{};
        socklen_t length = sizeof sa;
        const ssize_t got = recvfrom(datagram->fd, buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &length);
        if (got >= 0) {
            *n = static_cast<uint32_t>(got) < size ? static_cast<uint32_t>(got) : size;
            *from = {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
            return DatagramWait::kReceived;
        }
        // An ICMP error for an earlier send (the server not there yet) is no datagram.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNREFUSED) return DatagramWait::kFailed;
        const uint32_t elapsed = TickMs() - start;
        if (elapsed >= timeoutMs) return DatagramWait::kTimedOut;
        pollfd fds[2] = {{datagram->fd, POLLIN, 0}, {wake != nullptr ? WakeFd(wake) : -1, POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(timeoutMs - elapsed));
        if (ready < 0 && errno != EINTR) return DatagramWait::kFailed;
        if (ready > 0 && (fds[1].revents & POLLIN) != 0 && (fds[0].revents & POLLIN) == 0 && TakeWake(wake))
            return DatagramWait::kWoken;
    }
}

Datagram* OpenGroupDatagram(uint32_t group, uint16_t port, Endpoint* local) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    // Bound to the group, not to any address: only that group's datagrams come in.
    const int on = 1;
    sockaddr_in at = SocketAddress(group, port);
    socklen_t length = sizeof at;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        close(fd);
        return nullptr;
    }
    auto* datagram = new (std::nothrow) Datagram{fd};
    if (datagram == nullptr) {
        close(fd);
        return nullptr;
    }
    *local = {ntohl(at.sin_addr.s_addr), ntohs(at.sin_port)};
    return datagram;
}

bool JoinGroup(Datagram* datagram, uint32_t group, uint32_t interface) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interface);
    return setsockopt(datagram->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
}

bool LeaveGroup(Datagram* datagram, uint32_t group, uint32_t interface) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interface);
    return setsockopt(datagram->fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request) == 0;
}

bool SetMulticastInterface(Datagram* datagram, uint32_t interface) {
    in_addr address{};
    address.s_addr = htonl(interface);
    if (setsockopt(datagram->fd, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) == 0) return true;
    // Without the option (qemu-user lacks it), a socket bound to the
    // interface's address sends to groups through that interface all the same.
    sockaddr_in at{};
    socklen_t length = sizeof at;
    return errno == ENOPROTOOPT && interface != 0 &&
           getsockname(datagram->fd, reinterpret_cast<sockaddr*>(&at), &length) == 0 &&
           ntohl(at.sin_addr.s_addr) == interface;
}

bool SetMulticastLoop(Datagram* datagram, bool on) {
    const int loop = on ? 1 : 0;
    return setsockopt(datagram->fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
}

void CloseDatagram(Datagram* datagram) {
    close(datagram->fd);
    delete datagram;
}

}  // namespace posix
}  // namespace qel::platform
