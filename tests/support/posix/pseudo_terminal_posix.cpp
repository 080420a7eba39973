#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/platform.h"
#include "support/pseudo_terminal.h"

namespace qel::test {
namespace {

uint32_t baudOf(speed_t s) {
    switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

class PosixPseudoTerminal : public PseudoTerminal {
public:
    PosixPseudoTerminal(int master, int device, std::string path)
        : master_(master), device_(device), path_(std::move(path)) {}
    ~PosixPseudoTerminal() override {
        close(device_);
        close(master_);
    }

    const std::string& devicePath() const override { return path_; }

    TerminalSettings settings() const override {
        termios t{};
        TerminalSettings s;
        if (tcgetattr(device_, &t) != 0) return s;
        s.baud = baudOf(cfgetospeed(&t));
        switch (t.c_cflag & CSIZE) {
        case CS5: s.dataBits = 5; break;
        case CS6: s.dataBits = 6; break;
        case CS7: s.dataBits = 7; break;
        default: s.dataBits = 8; break;
        }
        if ((t.c_cflag & PARENB) == 0) s.parity = 'N';
        else if ((t.c_cflag & CMSPAR) != 0) s.parity = (t.c_cflag & PARODD) != 0 ? 'M' : 'S';
        else s.parity = (t.c_cflag & PARODD) != 0 ? 'O' : 'E';
        s.stopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 1;
        s.parityCheck = (t.c_iflag & INPCK) != 0;
        s.ctsFlow = (t.c_cflag & CRTSCTS) != 0;
        s.xonOutput = (t.c_iflag & IXON) != 0;
        s.xoffInput = (t.c_iflag & IXOFF) != 0;
        s.raw = (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0;
        return s;
    }

    std::vector<uint8_t> readFar(size_t n, uint32_t timeoutMs) override {
        std::vector<uint8_t> out;
        const uint32_t start = platform::NativeSystem().tickMs();
        while (out.size() < n) {
            const uint32_t elapsed = platform::NativeSystem().tickMs() - start;
            if (elapsed >= timeoutMs) break;
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(timeoutMs - elapsed)) <= 0) continue;
            uint8_t buffer[4096];
            const ssize_t r = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
            if (r > 0) out.insert(out.end(), buffer, buffer + r);
        }
        return out;
    }

    bool writeFar(const std::vector<uint8_t>& bytes) override {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    bool openableFromOtherProcess() const override {
        const pid_t child = fork();
        if (child == 0) {
            platform::Port* port = platform::NativeSystem().openPort(path_.c_str());
            _exit(port != nullptr ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    int master_;
    int device_;  // held open so the settings can be read whatever the port does
    std::string path_;
};

}  // namespace

std::unique_ptr<PseudoTerminal> PseudoTerminal::open() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        close(master);
        return nullptr;
    }
    std::string path = ptsname(master);
    const int device = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (device < 0) {
        close(master);
        return nullptr;
    }
    return std::make_unique<PosixPseudoTerminal>(master, device, std::move(path));
}

}  // namespace qel::test
