// Relays a pseudo terminal with modem lines to an emulated BCU that serves
// RFC 2217 on TCP, for a test process under Wine, which can open the terminal
// as a COM port but cannot hold its master:
//   qel_pty_bridge CONTROL_PORT LINE_PORT LINK_PATH
// Makes the terminal and the link to it, then connects to 127.0.0.1:CONTROL_PORT
// to say so; ends when that connection closes. While a port has the device
// open it holds a connection to 127.0.0.1:LINE_PORT, so that the BCU sees the
// port's open and close as a driver's on a virtual line: bytes both ways, the
// port's RTS and DTR edges as SET-CONTROL, the BCU's CTS notifications onto
// the terminal's CTS.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/virtual_line/telnet_codec.h"
#include "posix/modem_pty.h"

namespace {

namespace tn = qel::telnet;
using bcuemu::detail::ModemPty;

// While no port has the device open the master only reports its hang-up:
// look again this often, as the emulator's own terminal line does.
constexpr int kOpenCheckMs = 5;

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;  // each handshake byte goes at once
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool SendAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t put = send(fd, bytes, count, MSG_NOSIGNAL);
        if (put <= 0) return false;
        bytes += put;
        count -= static_cast<size_t>(put);
    }
    return true;
}

class Bridge {
public:
    Bridge(ModemPty& pty, uint16_t linePort) : pty_(pty), linePort_(linePort) {}

    // One turn: false when the control connection has closed.
    bool Turn(int control) {
        pollfd fds[4] = {{control, POLLIN, 0}, {pty_.ChangesFd(), POLLIN, 0}, {pty_.MasterFd(), POLLIN, 0},
                         {line_, POLLIN, 0}};
        const bool open = deviceOpen_;
        const nfds_t n = !open ? 2 : line_ >= 0 ? 4 : 3;
        if (poll(fds, n, open ? -1 : kOpenCheckMs) < 0) return true;
        if (fds[0].revents != 0) return false;
        if (!open) {
            // An edge before the open is seen waits on the FIFO: the open goes first.
            if (pty_.DeviceOpen()) Opened();
            return true;
        }
        // The port's bytes before its edges, as they were sent.
        if ((fds[2].revents & POLLIN) != 0) FromDevice();
        if ((fds[1].revents & POLLIN) != 0) Edges();
        if (line_ >= 0 && fds[3].revents != 0) FromBcu();
        if ((fds[2].revents & (POLLHUP | POLLERR)) != 0 && !pty_.DeviceOpen()) Closed();
        return true;
    }

private:
    void Opened() {
        deviceOpen_ = true;
        line_ = Connect(linePort_);
        decoder_ = tn::Decoder{};
        uint8_t out[3 + 7];
        size_t n = tn::EncodeOption(tn::kWill, tn::kComPortOption, out);
        const uint8_t mask[2] = {tn::kSetModemstateMask, tn::kModemCts | tn::kModemDeltaCts};
        n += tn::EncodeSubnegotiation(tn::kComPortOption, mask, sizeof mask, out + n);
        ToBcu(out, n);
    }

    // The port's last close: its lines drop, as a real port's do, and the BCU
    // sees the driver go.
    void Closed() {
        uint8_t stale[64];
        while (pty_.TakeChanges(stale, sizeof stale) > 0) {
        }
        pty_.DropDeviceLines();
        pty_.SetCts(false);
        DropLine();
        deviceOpen_ = false;
    }

    void FromDevice() {
        uint8_t bytes[256];
        const ssize_t got = read(pty_.MasterFd(), bytes, sizeof bytes);
        uint8_t out[2 * sizeof bytes];
        size_t n = 0;
        for (ssize_t i = 0; i < got; ++i) n += tn::EncodeData(bytes[i], out + n);
        ToBcu(out, n);
    }

    void Edges() {
        uint8_t changes[64 * sizeof(QelModemChange)];
        const size_t got = pty_.TakeChanges(changes, sizeof changes);
        for (size_t at = 0; at + sizeof(QelModemChange) <= got; at += sizeof(QelModemChange)) {
            QelModemChange edge;
            std::memcpy(&edge, changes + at, sizeof edge);
            const bool on = (edge.change & QEL_MODEM_CHANGE_ON) != 0;
            const uint8_t control[2] = {
                tn::kSetControl, (edge.change & QEL_MODEM_CHANGE_DTR) != 0
                                     ? (on ? tn::kControlDtrOn : tn::kControlDtrOff)
                                     : (on ? tn::kControlRtsOn : tn::kControlRtsOff)};
            uint8_t out[5 + 2 * sizeof control];
            ToBcu(out, tn::EncodeSubnegotiation(tn::kComPortOption, control, sizeof control, out));
        }
    }

    // Data onto the terminal, CTS onto its page; the answers are not needed.
    void FromBcu() {
        uint8_t bytes[512];
        const ssize_t got = recv(line_, bytes, sizeof bytes, 0);
        if (got <= 0) {  // the BCU stopped: the port finds no one on the line
            DropLine();
            pty_.SetCts(false);
            return;
        }
        uint8_t data[sizeof bytes];
        size_t n = 0;
        tn::Item item;
        for (ssize_t i = 0; i < got; ++i) {
            if (!decoder_.feed(bytes[i], item)) continue;
            if (item.kind == tn::Item::Kind::kData) {
                data[n++] = item.byte;
            } else if (item.kind == tn::Item::Kind::kSubnegotiation && item.length >= 2 &&
                       item.payload[0] == tn::kNotifyModemstate + tn::kServerOffset) {
                n = FlushData(data, n);
                pty_.SetCts((item.payload[1] & tn::kModemCts) != 0);
            }
        }
        FlushData(data, n);
    }

    size_t FlushData(const uint8_t* data, size_t n) {
        while (n > 0) {
            const ssize_t put = write(pty_.MasterFd(), data, n);
            if (put <= 0) break;
            data += put;
            n -= static_cast<size_t>(put);
        }
        return 0;
    }

    void ToBcu(const uint8_t* bytes, size_t n) {
        if (line_ >= 0 && !SendAll(line_, bytes, n)) DropLine();
    }

    void DropLine() {
        if (line_ >= 0) close(line_);
        line_ = -1;
    }

    ModemPty& pty_;
    const uint16_t linePort_;
    bool deviceOpen_ = false;
    int line_ = -1;
    tn::Decoder decoder_;
};

// The link names the terminal for a COM port that the next test process may
// take over at once: it is replaced in one step, and removed only while it
// still names this bridge's terminal.
bool MakeLink(const std::string& device, const std::string& link) {
    const std::string temporary = link + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    return symlink(device.c_str(), temporary.c_str()) == 0 && rename(temporary.c_str(), link.c_str()) == 0;
}

void RemoveLinkIfOurs(const std::string& device, const std::string& link) {
    char target[256];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && device == std::string(target, static_cast<size_t>(n))) unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s CONTROL_PORT LINE_PORT LINK_PATH\n", argv[0]);
        return 2;
    }
    // Started by a process that has the modem-line library preloaded: that
    // library is for the port's side, not the terminal's owner.
    if (std::getenv("LD_PRELOAD") != nullptr) {
        unsetenv("LD_PRELOAD");
        execv("/proc/self/exe", argv);
        return 2;
    }
    const auto controlPort = static_cast<uint16_t>(std::atoi(argv[1]));
    const auto linePort = static_cast<uint16_t>(std::atoi(argv[2]));
    const std::string link = argv[3];
    ModemPty pty;
    std::string error;
    if (!pty.Open("", error)) {
        std::fprintf(stderr, "qel_pty_bridge: %s\n", error.c_str());
        return 1;
    }
    const std::string device = pty.DevicePath();
    if (!MakeLink(device, link)) {
        std::fprintf(stderr, "qel_pty_bridge: cannot link %s\n", link.c_str());
        return 1;
    }
    const int control = Connect(controlPort);
    if (control < 0) {
        std::fprintf(stderr, "qel_pty_bridge: no control connection on port %u\n", controlPort);
        return 1;
    }
    Bridge bridge(pty, linePort);
    while (bridge.Turn(control)) {
    }
    RemoveLinkIfOurs(device, link);
    pty.Close();
    close(control);
    return 0;
}
