// The test peer's transport on posix: a Unix-domain socket that takes one client.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "support/virtual_line_peer.h"

namespace qel::test {
namespace {

class SocketEndpoint : public PeerEndpoint {
public:
    SocketEndpoint() {
        static std::atomic<int> serial{0};
        name_ = "/tmp/qelvl-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        unlink(name_.c_str());
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, name_.c_str(), sizeof addr.sun_path - 1);
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(listener_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 4) != 0) {
            close(listener_);
            listener_ = -1;
        }
    }
    ~SocketEndpoint() override {
        if (listener_ >= 0) close(listener_);
        if (client_ >= 0) close(client_);
        unlink(name_.c_str());
    }

    const std::string& portName() const override { return name_; }

    bool acceptClient(uint32_t timeoutMs) override {
        if (listener_ < 0) return false;
        pollfd pfd{listener_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(timeoutMs)) <= 0) return false;
        client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client_ < 0) return false;
        // One client only: later connects are refused while the socket file stays.
        close(listener_);
        listener_ = -1;
        return true;
    }

    int32_t read(uint8_t* buffer, uint32_t n, uint32_t timeoutMs) override {
        pollfd pfd{client_, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(timeoutMs));
        if (ready < 0) return errno == EINTR ? 0 : -1;
        if (ready == 0) return 0;
        const ssize_t r = recv(client_, buffer, n, MSG_DONTWAIT);
        if (r > 0) return static_cast<int32_t>(r);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        return -1;
    }

    bool write(const uint8_t* bytes, uint32_t n) override {
        uint32_t done = 0;
        while (done < n) {
            const ssize_t r = send(client_, bytes + done, n - done, MSG_NOSIGNAL);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            done += static_cast<uint32_t>(r);
        }
        return true;
    }

private:
    std::string name_;
    int listener_ = -1;
    int client_ = -1;
};

}  // namespace

std::unique_ptr<PeerEndpoint> makePeerEndpoint() { return std::make_unique<SocketEndpoint>(); }

}  // namespace qel::test
