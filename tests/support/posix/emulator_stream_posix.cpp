#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "support/emulator_stream.h"

namespace qel::test {

namespace {

class SocketStream final : public EmulatorStream {
public:
    explicit SocketStream(int fd) : fd_(fd) {}
    ~SocketStream() override { ::close(fd_); }

    bool write(const uint8_t* bytes, size_t count) override {
        while (count > 0) {
            ssize_t put = send(fd_, bytes, count, MSG_NOSIGNAL);
            if (put <= 0) return false;
            bytes += put;
            count -= static_cast<size_t>(put);
        }
        return true;
    }

    int read(uint8_t* buffer, size_t capacity, int timeoutMs) override {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, timeoutMs);
        if (ready == 0) return 0;
        if (ready < 0) return -1;
        ssize_t got = recv(fd_, buffer, capacity, 0);
        return got > 0 ? static_cast<int>(got) : -1;
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<EmulatorStream> EmulatorStream::open(const std::string& portName) {
    sockaddr_un address{};
    if (portName.size() >= sizeof address.sun_path) return nullptr;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, portName.c_str(), portName.size());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return nullptr;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SocketStream>(fd);
}

}  // namespace qel::test
