// A pseudo terminal with modem lines under a line: raw bytes on the master,
// RTS and DTR edges from the modem FIFO, CTS onto the modem page.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "line_transport.h"
#include "modem_pty.h"

namespace bcuemu::detail {

namespace {

// While no port has the device open, the master only reports its hang-up:
// look again this often (a port's open raises DTR, which wakes us at once).
constexpr int64_t kOpenCheckUs = 5000;

class PtyTransport final : public LineTransport {
public:
    PtyTransport() {
        if (pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) wakePipe_[0] = wakePipe_[1] = -1;
    }
    ~PtyTransport() override {
        Close();
        ::close(wakePipe_[0]);
        ::close(wakePipe_[1]);
    }

    bool Listen(const std::string& endpoint, std::string& portName, std::string& error) override {
        if (!pty_.Open(endpoint, error)) return false;
        portName = pty_.PortPath();
        return true;
    }

    Event Pump(int64_t timeoutUs, uint8_t* buffer, size_t capacity) override {
        if (pty_.MasterFd() < 0) return {};
        if (!connected_) {
            if (pty_.DeviceOpen()) {
                connected_ = true;
                return {Event::Kind::kConnected, 0};
            }
            timeoutUs = std::min(timeoutUs, kOpenCheckUs);
        }
        pollfd fds[3] = {{wakePipe_[0], POLLIN, 0}, {pty_.ChangesFd(), POLLIN, 0}, {pty_.MasterFd(), POLLIN, 0}};
        const nfds_t n = connected_ ? 3 : 2;
        const timespec timeout{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000 * 1000)};
        if (ppoll(fds, n, &timeout, nullptr) <= 0) return {};
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        if (!connected_) {
            // An edge before the open is seen: report the open first, the edge next.
            if (pty_.DeviceOpen()) {
                connected_ = true;
                return {Event::Kind::kConnected, 0};
            }
            return {};
        }
        // Line changes before bytes when both wait. The driver changes a line
        // just before its byte (RTS up, then the octet), and after it only once
        // the BCU has reacted or when it gave up on the BCU. Both waiting means
        // this thread was held off: the changes came first, or they ended the
        // exchange, and a byte answered after them would complete a frame the
        // driver had abandoned.
        if ((fds[1].revents & POLLIN) != 0) {
            const size_t got = pty_.TakeChanges(buffer, capacity);
            if (got > 0) return {Event::Kind::kLines, got};
        }
        if ((fds[2].revents & POLLIN) != 0) {
            const ssize_t got = read(pty_.MasterFd(), buffer, capacity);
            if (got > 0) return {Event::Kind::kData, static_cast<size_t>(got)};
        }
        if ((fds[2].revents & (POLLHUP | POLLERR)) != 0 && !pty_.DeviceOpen()) {
            // The port's last close: its lines drop, as a real port's do.
            uint8_t stale[64];
            while (pty_.TakeChanges(stale, sizeof stale) > 0) {
            }
            pty_.DropDeviceLines();
            pty_.SetCts(false);  // the next port finds the BCU idle
            connected_ = false;
            return {Event::Kind::kDisconnected, 0};
        }
        return {};
    }

    bool Write(const uint8_t* bytes, size_t count) override {
        if (!connected_) return false;
        while (count > 0) {
            const ssize_t put = ::write(pty_.MasterFd(), bytes, count);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            bytes += put;
            count -= static_cast<size_t>(put);
        }
        return true;
    }

    bool Raw() const override { return true; }
    void SetCts(bool on) override { pty_.SetCts(on); }

    void Wake() override {
        const char one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1], &one, 1);
    }

    void Close() override {
        pty_.Close();
        connected_ = false;
    }

private:
    int wakePipe_[2] = {-1, -1};
    ModemPty pty_;
    bool connected_ = false;
};

}  // namespace

std::unique_ptr<LineTransport> LineTransport::CreatePty() { return std::make_unique<PtyTransport>(); }

}  // namespace bcuemu::detail
