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
