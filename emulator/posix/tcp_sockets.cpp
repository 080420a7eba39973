#include "knxnet/tcp_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace bcuemu::detail {

namespace {

sockaddr_in AddressOf(const knxnet::Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.address);
    a.sin_port = htons(e.port);
    return a;
}

class PosixTcpSockets final : public TcpSockets {
public:
    PosixTcpSockets() {
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    }
    ~PosixTcpSockets() override {
        for (const auto& [id, fd] : connections_) ::close(fd);
        for (int fd : {listener_, wake_[0], wake_[1]}) {
            if (fd >= 0) ::close(fd);
        }
    }

    bool Listen(const knxnet::Endpoint& at, std::string& error) override {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0 || wake_[0] < 0) {
            error = std::string("cannot create a TCP socket: ") + std::strerror(errno);
            return false;
        }
        const int on = 1;  // a restart right after a stop must not wait out TIME_WAIT
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in a = AddressOf(at);
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 8) != 0) {
            error = "cannot listen on TCP " + knxnet::EndpointText(at) + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    uint32_t Connect(const knxnet::Endpoint& to, std::string& error) override {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = AddressOf(to);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            error = "cannot connect to TCP " + knxnet::EndpointText(to) + ": " + std::strerror(errno);
            if (fd >= 0) ::close(fd);
            return 0;
        }
        return Add(fd);
    }

    Event Wait(int timeoutMs, uint8_t* buffer, size_t capacity) override {
        std::vector<pollfd> polled = {{wake_[0], POLLIN, 0}};
        std::vector<uint32_t> ids = {0};
        {
            std::lock_guard lock(mutex_);
            if (!closing_.empty()) return Forget(*closing_.begin());
            if (listener_ >= 0) {
                polled.push_back({listener_, POLLIN, 0});
                ids.push_back(0);
            }
            for (const auto& [id, fd] : connections_) {
                polled.push_back({fd, POLLIN, 0});
                ids.push_back(id);
            }
        }
        if (::poll(polled.data(), polled.size(), timeoutMs) <= 0) return {};
        if (polled[0].revents != 0) {
            char drained[64];
            while (::read(wake_[0], drained, sizeof drained) > 0) {
            }
            return {};
        }
        for (size_t i = 1; i < polled.size(); ++i) {
            if (polled[i].revents == 0) continue;
            if (ids[i] == 0) return Accept();
            const ssize_t n = ::recv(polled[i].fd, buffer, capacity, 0);
            std::lock_guard lock(mutex_);
            if (n <= 0 || closing_.count(ids[i])) return Forget(ids[i]);
            return {Event::Kind::kData, ids[i], static_cast<size_t>(n), {}};
        }
        return {};
    }

    bool Send(uint32_t connection, const std::vector<uint8_t>& bytes) override {
        std::lock_guard lock(mutex_);
        const auto c = connections_.find(connection);
        if (c == connections_.end() || closing_.count(connection)) return false;
        const ssize_t n = ::send(c->second, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(bytes.size())) return true;
        CloseLocked(connection);
        return false;
    }

    void Close(uint32_t connection) override {
        std::lock_guard lock(mutex_);
        CloseLocked(connection);
    }

    void Wake() override {
        const char one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &one, 1);
    }

private:
    uint32_t Add(int fd) {
        const int on = 1;  // frames are small and each one is due now
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard lock(mutex_);
        connections_[next_] = fd;
        return next_++;
    }

    Event Accept() {
        sockaddr_in a{};
        socklen_t size = sizeof a;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&a), &size, SOCK_CLOEXEC);
        if (fd < 0) return {};
        return {Event::Kind::kAccepted, Add(fd), 0, {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port), true}};
    }

    // Called with mutex_ held: the connection is gone.
    Event Forget(uint32_t connection) {
        const auto c = connections_.find(connection);
        if (c != connections_.end()) ::close(c->second);
        connections_.erase(connection);
        closing_.erase(connection);
        return {Event::Kind::kClosed, connection, 0, {}};
    }

    void CloseLocked(uint32_t connection) {
        if (!connections_.count(connection)) return;
        closing_.insert(connection);
        Wake();
    }

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;  // connections_, closing_, next_
    std::map<uint32_t, int> connections_;
    std::set<uint32_t> closing_;  // to close by Wait(), which may be polling them
    uint32_t next_ = 1;
};

}  // namespace

std::unique_ptr<TcpSockets> TcpSockets::Create(std::string& /*error*/) { return std::make_unique<PosixTcpSockets>(); }

}  // namespace bcuemu::detail
