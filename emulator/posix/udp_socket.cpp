#include "knxnet/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bcuemu::detail {

namespace {

sockaddr_in AddressOf(const knxnet::Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.address);
    a.sin_port = htons(e.port);
    return a;
}

class PosixUdpSocket final : public UdpSocket {
public:
    ~PosixUdpSocket() override {
        if (fd_ >= 0) ::close(fd_);
    }

    bool Bind(const knxnet::Endpoint& at, knxnet::Endpoint& bound, std::string& error) override {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
            return false;
        }
        sockaddr_in a = AddressOf(at);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            error = "cannot listen on UDP " + knxnet::EndpointText(at) + ": " + std::strerror(errno);
            return false;
        }
        socklen_t size = sizeof a;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
            error = std::string("getsockname: ") + std::strerror(errno);
            return false;
        }
        bound = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
        return true;
    }

    bool JoinGroup(const knxnet::Endpoint& group, uint32_t interface, knxnet::Endpoint& bound,
                   std::string& error) override {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            error = std::string("cannot create a shared UDP socket: ") + std::strerror(errno);
            return false;
        }
        // Bound to the group itself: only its datagrams come in.
        sockaddr_in a = AddressOf(group);
        socklen_t size = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
            error = "cannot bind to " + knxnet::EndpointText(group) + ": " + std::strerror(errno);
            return false;
        }
        ip_mreq request{};
        request.imr_multiaddr.s_addr = htonl(group.address);
        request.imr_interface.s_addr = htonl(interface);
        if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
            error = "cannot join " + knxnet::EndpointText(group) + ": " + std::strerror(errno);
            return false;
        }
        bound = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
        return true;
    }

    bool SendToGroups(uint32_t interface, std::string& error) override {
        in_addr address{};
        address.s_addr = htonl(interface);
        // Without the option (qemu-user lacks it), a socket bound to the
        // interface's address sends to groups through that interface all the same.
        sockaddr_in at{};
        socklen_t size = sizeof at;
        const bool routed = ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) == 0 ||
                            (errno == ENOPROTOOPT && ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size) == 0 &&
                             at.sin_addr.s_addr == address.s_addr);
        const int loop = 1;
        if (!routed || ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
            error = std::string("cannot send to multicast groups: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

    size_t Receive(int timeoutMs, uint8_t* buffer, size_t capacity, knxnet::Endpoint& from) override {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return 0;
        sockaddr_in a{};
        socklen_t size = sizeof a;
        const ssize_t n = ::recvfrom(fd_, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&a), &size);
        if (n <= 0) return 0;
        from = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
        return static_cast<size_t>(n);
    }

    bool SendTo(const std::vector<uint8_t>& bytes, const knxnet::Endpoint& to) override {
        const sockaddr_in a = AddressOf(to);
        return ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(bytes.size());
    }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<UdpSocket> UdpSocket::Create(std::string& /*error*/) { return std::make_unique<PosixUdpSocket>(); }

}  // namespace bcuemu::detail
