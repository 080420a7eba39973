// The byte stream of a virtual line on posix: a Unix-domain stream socket, or
// TCP to a network serial server; TCP also carries a KNXnet/IP tunnel.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/posix/posix_backend.h"

namespace qel::platform::posix {
namespace {

struct SocketStream {
    ByteStream base;
    int fd;
};

int FdOf(ByteStream* s) { return reinterpret_cast<SocketStream*>(s)->fd; }

// A far side that stops reading fails the write once `timeoutMs` has passed.
bool SocketWriteAll(ByteStream* s, const uint8_t* bytes, uint32_t n, uint32_t timeoutMs) {
    const uint32_t start = TickMs();
    uint32_t done = 0;
    while (done < n) {
        const ssize_t r = send(FdOf(s), bytes + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<uint32_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const uint32_t elapsed = TickMs() - start;
            if (elapsed >= timeoutMs) return false;
            pollfd pfd{FdOf(s), POLLOUT, 0};
            poll(&pfd, 1, static_cast<int>(std::min<uint32_t>(timeoutMs - elapsed, 1000)));
            continue;
        }
        return false;
    }
    return true;
}

int32_t SocketRead(ByteStream* s, uint8_t* buffer, uint32_t n, uint32_t timeoutMs) {
    const uint32_t start = TickMs();
    for (;;) {
        const uint32_t elapsed = TickMs() - start;
        uint32_t left = 0;
        if (timeoutMs == kInfinite) left = kInfinite;
        else if (elapsed < timeoutMs) left = timeoutMs - elapsed;
        pollfd pfd{FdOf(s), POLLIN, 0};
        const int ready = poll(&pfd, 1, left == kInfinite ? -1 : static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        const ssize_t r = recv(FdOf(s), buffer, n, MSG_DONTWAIT);
        if (r > 0) return static_cast<int32_t>(r);
        if (r == 0) return -1;  // the far end closed
        if (errno == EAGAIN || errno == EINTR) continue;
        return -1;
    }
}

StreamWait SocketAwaitInput(ByteStream* s, Wake* wake, uint32_t timeoutMs) {
    const uint32_t start = TickMs();
    for (;;) {
        const uint32_t elapsed = TickMs() - start;
        const int left = timeoutMs == kInfinite ? -1 : static_cast<int>(elapsed < timeoutMs ? timeoutMs - elapsed : 0);
        pollfd pfds[2] = {{FdOf(s), POLLIN, 0}, {wake != nullptr ? WakeFd(wake) : -1, POLLIN, 0}};
        const int ready = poll(pfds, 2, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return StreamWait::kClosed;
        if (ready == 0) return StreamWait::kTimedOut;
        // The line first: what came is taken before a request gets the line.
        if (pfds[0].revents != 0) return StreamWait::kInput;
        if (wake != nullptr && TakeWake(wake)) return StreamWait::kWoken;
    }
}

// An orderly close: the far side sees the end of the stream, and what it sent
// last (modem-state notifications) is read, so that it sees no reset.
void SocketClose(ByteStream* s) {
    constexpr uint32_t kLingerMs = 200;
    shutdown(FdOf(s), SHUT_WR);
    uint8_t scratch[256];
    const uint32_t start = TickMs();
    for (uint32_t elapsed = 0; elapsed < kLingerMs; elapsed = TickMs() - start) {
        if (SocketRead(s, scratch, sizeof scratch, kLingerMs - elapsed) <= 0) break;
    }
    close(FdOf(s));
    delete reinterpret_cast<SocketStream*>(s);
}

const StreamMethods kSocketMethods = {
    .writeAll = SocketWriteAll,
    .read = SocketRead,
    .close = SocketClose,
    .awaitInput = SocketAwaitInput,
};

}  // namespace

ByteStream* ConnectTcpStream(const char* host, uint16_t port) {
    // A server that does not answer must not hold a ColdStart for minutes.
    constexpr int kConnectMs = 3000;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    char service[8];
    snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    if (getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) return nullptr;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool connected = false;
    if (fd >= 0) {
        if (connect(fd, found->ai_addr, found->ai_addrlen) == 0) {
            connected = true;
        } else if (errno == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            int error = 0;
            socklen_t size = sizeof error;
            connected = poll(&pfd, 1, kConnectMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
                        error == 0;
        }
    }
    freeaddrinfo(found);
    if (!connected) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    // Every octet of the handshake is a small write that waits for its answer.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto* s = new (std::nothrow) SocketStream{{&kSocketMethods}, fd};
    if (s == nullptr) close(fd);
    return s != nullptr ? &s->base : nullptr;
}

ByteStream* ConnectSocketStream(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) return nullptr;
    std::strcpy(addr.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return nullptr;
    }
    auto* s = new (std::nothrow) SocketStream{{&kSocketMethods}, fd};
    if (s == nullptr) close(fd);
    return s != nullptr ? &s->base : nullptr;
}

}  // namespace qel::platform::posix
