// A Unix-domain socket under a virtual line, or TCP on 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "line_transport.h"

namespace bcuemu::detail {

namespace {

std::atomic<unsigned> nameCounter{0};

std::string CandidateName() {
    // "/tmp/q" and five base-36 characters: 11 characters, the port-name limit.
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    unsigned long long n = static_cast<unsigned long long>(getpid()) * 4099u + nameCounter.fetch_add(1) * 7919u;
    std::string name = "/tmp/q";
    for (int i = 0; i < 5; ++i) {
        name += digits[n % 36];
        n /= 36;
    }
    return name;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return true;
}

// True when a socket file exists at path but nobody listens on it.
bool StaleSocket(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    sockaddr_un address{};
    if (!FillAddress(path, address)) return false;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    const bool refused = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == ECONNREFUSED;
    ::close(fd);
    return refused;
}

class SocketTransport final : public LineTransport {
public:
    explicit SocketTransport(bool tcp) : tcp_(tcp) {
        if (pipe(wakePipe_) == 0) {
            fcntl(wakePipe_[0], F_SETFL, O_NONBLOCK);
            fcntl(wakePipe_[1], F_SETFL, O_NONBLOCK);
            fcntl(wakePipe_[0], F_SETFD, FD_CLOEXEC);
            fcntl(wakePipe_[1], F_SETFD, FD_CLOEXEC);
        }
    }
    ~SocketTransport() override {
        Close();
        ::close(wakePipe_[0]);
        ::close(wakePipe_[1]);
    }

    bool Listen(const std::string& endpoint, std::string& portName, std::string& error) override {
        if (tcp_) return ListenTcp(endpoint, portName, error);
        if (endpoint.empty()) {
            for (int attempt = 0; attempt < 64; ++attempt) {
                const std::string name = CandidateName();
                if (access(name.c_str(), F_OK) == 0) continue;
                if (BindTo(name, error)) {
                    portName = name;
                    return true;
                }
                if (errno != EADDRINUSE) return false;
            }
            error = "no free socket name under /tmp";
            return false;
        }
        if (StaleSocket(endpoint)) unlink(endpoint.c_str());
        if (!BindTo(endpoint, error)) return false;
        portName = endpoint;
        return true;
    }

    Event Pump(int64_t timeoutUs, uint8_t* buffer, size_t capacity) override {
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {wakePipe_[0], POLLIN, 0};
        if (listenFd_ >= 0) fds[n++] = {listenFd_, POLLIN, 0};
        if (connFd_ >= 0) fds[n++] = {connFd_, POLLIN, 0};
        const timespec timeout{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000 * 1000)};
        if (ppoll(fds, n, &timeout, nullptr) <= 0) return {};
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == connFd_) {
                ssize_t got = recv(connFd_, buffer, capacity, 0);
                if (got > 0) return {Event::Kind::kData, static_cast<size_t>(got)};
                if (got < 0 && (errno == EINTR || errno == EAGAIN)) return {};
                DropClient();
                return {Event::Kind::kDisconnected, 0};
            }
            if (fds[i].fd == listenFd_) {
                int fd = accept(listenFd_, nullptr, nullptr);
                if (fd < 0) return {};
                if (connFd_ >= 0) {  // one driver per line
                    ::close(fd);
                    return {};
                }
                fcntl(fd, F_SETFD, FD_CLOEXEC);
                if (tcp_) {
                    const int one = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                }
                connFd_ = fd;
                return {Event::Kind::kConnected, 0};
            }
            if (fds[i].fd == wakePipe_[0]) {
                char drain[64];
                while (read(wakePipe_[0], drain, sizeof drain) > 0) {
                }
            }
        }
        return {};
    }

    bool Write(const uint8_t* bytes, size_t count) override {
        if (connFd_ < 0) return false;
        while (count > 0) {
            ssize_t put = send(connFd_, bytes, count, MSG_NOSIGNAL);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;  // the next pump sees the disconnect
            bytes += put;
            count -= static_cast<size_t>(put);
        }
        return true;
    }

    void Wake() override {
        const char one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1], &one, 1);
    }

    void Close() override {
        DropClient();
        if (listenFd_ >= 0) {
            ::close(listenFd_);
            listenFd_ = -1;
            if (!tcp_) unlink(path_.c_str());
        }
    }

private:
    // Loopback only: the endpoint is a port number, empty or "0" a free one.
    bool ListenTcp(const std::string& endpoint, std::string& portName, std::string& error) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(std::atoi(endpoint.c_str())));
        socklen_t size = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            error = "cannot listen on 127.0.0.1:" + endpoint + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        listenFd_ = fd;
        portName = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        return true;
    }

    bool BindTo(const std::string& path, std::string& error) {
        sockaddr_un address{};
        if (!FillAddress(path, address)) {
            error = "socket path too long: " + path;
            errno = ENAMETOOLONG;
            return false;
        }
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
            const int saved = errno;
            error = "cannot listen on " + path + ": " + std::strerror(saved);
            ::close(fd);
            errno = saved;
            return false;
        }
        listenFd_ = fd;
        path_ = path;
        return true;
    }

    void DropClient() {
        if (connFd_ >= 0) {
            ::close(connFd_);
            connFd_ = -1;
        }
    }

    const bool tcp_;
    int wakePipe_[2] = {-1, -1};
    int listenFd_ = -1;
    int connFd_ = -1;
    std::string path_;
};

}  // namespace

std::unique_ptr<LineTransport> LineTransport::Create() { return std::make_unique<SocketTransport>(false); }

std::unique_ptr<LineTransport> CreateTcpTransport() { return std::make_unique<SocketTransport>(true); }

std::string FreeEndpointName() {
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::string name = CandidateName();
        if (access(name.c_str(), F_OK) != 0) return name;
    }
    return CandidateName();
}

}  // namespace bcuemu::detail
