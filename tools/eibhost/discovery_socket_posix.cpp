#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

class PosixDiscoverySocket final : public DiscoverySocket {
public:
    explicit PosixDiscoverySocket(int fd) : fd_(fd) {}
    ~PosixDiscoverySocket() override { ::close(fd_); }

    bool Send(const std::vector<uint8_t>& bytes, const UdpEndpoint& to) override {
        const sockaddr_in a = AddressOf(to);
        return ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a),
                        sizeof a) == static_cast<ssize_t>(bytes.size());
    }

    size_t Receive(int timeoutMs, uint8_t* buffer, size_t capacity, UdpEndpoint& from) override {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return 0;
        sockaddr_in a{};
        socklen_t size = sizeof a;
        const ssize_t n = ::recvfrom(fd_, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&a), &size);
        if (n <= 0) return 0;
        from = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
        return static_cast<size_t>(n);
    }

private:
    int fd_;
};

std::string Failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::unique_ptr<DiscoverySocket> DiscoverySocket::Open(const UdpEndpoint& to, UdpEndpoint& local, std::string& error) {
    // A connected probe learns which local address the route to `to` takes; nothing is sent on it.
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = AddressOf(to);
    socklen_t size = sizeof a;
    if (probe < 0 || ::connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        error = Failed("no route to the search address");
        if (probe >= 0) ::close(probe);
        return nullptr;
    }
    ::close(probe);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    a.sin_port = 0;
    size = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        error = Failed("cannot open a UDP socket");
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    local = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
    return std::make_unique<PosixDiscoverySocket>(fd);
}

}  // namespace eibhost
