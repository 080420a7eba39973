// Serial devices through termios: the Win32 comm effects the driver relies on.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/posix/posix_backend.h"
#include "platform/virtual_line/read_timeouts.h"
#include "platform/virtual_line/tcp_target.h"

namespace qel::platform::posix {
namespace {

struct TtyPort {
    Port base;
    int fd;
    bool isTty;
    LineState state;  // what was set, for the fields termios cannot hold
    Timeouts timeouts;
    uint32_t lastActivity;  // tick of the last CTS seen on or byte written
};

// CTS while the listener waits: TIOCMIWAIT ends only on a line change or a
// signal, and a plug-in may neither install a signal handler in the host nor
// keep a descriptor past its close, so CTS is read on a timer instead. While
// frames come it is read every millisecond; once the line has been quiet the
// period stretches to kIdleCtsCheckMs, four short wake-ups a second. The
// wake's descriptor is polled meanwhile, so a claim or a stop ends the wait
// at once. A BCU that gives up an unanswered announcement after its 130 ms
// message time-out announces the frame again after its error pause, so the
// first frame after a quiet spell comes later, never lost.
constexpr uint32_t kBusyWindowMs = 500;
constexpr uint32_t kIdleCtsCheckMs = 250;
constexpr uint32_t kStretchPerMs = 10;  // quiet ms per added ms of period
// Between the checks of a byte handshake: a CTS change cannot be waited for,
// and a spin would take a core that the line's far side may need.
constexpr long kLinePauseNs = 50000;

uint32_t CtsCheckMs(uint32_t quietMs) {
    if (quietMs < kBusyWindowMs) return 1;
    return std::min(kIdleCtsCheckMs, 1 + (quietMs - kBusyWindowMs) / kStretchPerMs);
}

TtyPort* self(Port* p) { return reinterpret_cast<TtyPort*>(p); }

struct BaudCode {
    uint32_t baud;
    speed_t code;
};

constexpr BaudCode kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
};

bool SpeedFor(uint32_t baud, speed_t* code) {
    for (const BaudCode& b : kBauds) {
        if (b.baud == baud) {
            *code = b.code;
            return true;
        }
    }
    return false;
}

uint32_t BaudFor(speed_t code, uint32_t fallback) {
    for (const BaudCode& b : kBauds)
        if (b.code == code) return b.baud;
    return fallback;
}

bool ModemBits(int fd, unsigned long request, int bits) { return ioctl(fd, request, &bits) == 0; }

bool TtyClose(Port* p) {
    close(self(p)->fd);  // the descriptor is gone whatever close reports, and its flock with it
    delete self(p);
    return true;
}

bool TtyGetState(Port* p, LineState* out) {
    TtyPort* tp = self(p);
    termios t{};
    if (tcgetattr(tp->fd, &t) != 0) return false;
    LineState s = tp->state;
    s.baud = BaudFor(cfgetospeed(&t), s.baud);
    switch (t.c_cflag & CSIZE) {
    case CS5: s.byteSize = 5; break;
    case CS6: s.byteSize = 6; break;
    case CS7: s.byteSize = 7; break;
    default: s.byteSize = 8; break;
    }
    if ((t.c_cflag & PARENB) == 0) s.parity = 0;
    else if ((t.c_cflag & CMSPAR) != 0) s.parity = (t.c_cflag & PARODD) != 0 ? 3 : 4;
    else s.parity = (t.c_cflag & PARODD) != 0 ? 1 : 2;
    if ((t.c_cflag & CSTOPB) == 0) s.stopBits = 0;
    else if (s.stopBits == 0) s.stopBits = 2;
    s.parityCheck = (t.c_iflag & INPCK) != 0;
    s.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    s.outX = (t.c_iflag & IXON) != 0;
    s.inX = (t.c_iflag & IXOFF) != 0;
    *out = s;
    return true;
}

bool TtySetState(Port* p, const LineState* s) {
    TtyPort* tp = self(p);
    constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    speed_t speed;
    if (!SpeedFor(s->baud, &speed) || s->byteSize < 5 || s->byteSize > 8 || s->parity > 4 || s->stopBits > 2)
        return false;
    termios t{};
    if (tcgetattr(tp->fd, &t) != 0) return false;
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= kSizes[s->byteSize - 5] | CLOCAL | CREAD;
    if (s->parity != 0) t.c_cflag |= PARENB;
    if (s->parity == 1 || s->parity == 3) t.c_cflag |= PARODD;
    if (s->parity >= 3) t.c_cflag |= CMSPAR;
    if (s->stopBits != 0) t.c_cflag |= CSTOPB;
    if (s->outxCtsFlow) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(INPCK | IXON | IXOFF);
    if (s->parityCheck) t.c_iflag |= INPCK;
    if (s->outX) t.c_iflag |= IXON;
    if (s->inX) t.c_iflag |= IXOFF;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(tp->fd, TCSANOW, &t) != 0) return false;
    tp->state = *s;
    // As SetCommState does: an enabled line goes up, a disabled one down. A
    // pseudo terminal has no modem lines: the settings apply all the same.
    if (s->dtrControl == kDtrEnable) ModemBits(tp->fd, TIOCMBIS, TIOCM_DTR);
    if (s->dtrControl == kDtrDisable) ModemBits(tp->fd, TIOCMBIC, TIOCM_DTR);
    if (s->rtsControl == kRtsEnable) ModemBits(tp->fd, TIOCMBIS, TIOCM_RTS);
    if (s->rtsControl == kRtsDisable) ModemBits(tp->fd, TIOCMBIC, TIOCM_RTS);
    return true;
}

bool TtyGetTimeouts(Port* p, Timeouts* out) {
    if (!self(p)->isTty) return false;
    *out = self(p)->timeouts;
    return true;
}

bool TtySetTimeouts(Port* p, const Timeouts* t) {
    if (!self(p)->isTty) return false;
    self(p)->timeouts = *t;
    return true;
}

bool TtySetQueueSizes(Port* p, uint32_t, uint32_t) { return self(p)->isTty; }

bool TtyWrite(Port* p, const uint8_t* bytes, uint32_t n, uint32_t* written) {
    const int fd = self(p)->fd;
    self(p)->lastActivity = TickMs();
    *written = 0;
    while (*written < n) {
        const ssize_t r = ::write(fd, bytes + *written, n - *written);
        if (r > 0) {
            *written += static_cast<uint32_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) {
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool TtyRead(Port* p, uint8_t* buffer, uint32_t n, uint32_t* got) {
    TtyPort* tp = self(p);
    *got = 0;
    const uint32_t start = TickMs();
    uint32_t lastByte = start;
    while (*got < n) {
        const uint32_t t = TickMs();
        const uint32_t wait = ReadWaitMs(tp->timeouts, n, t - start, t - lastByte, *got > 0);
        pollfd pfd{tp->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, wait == kInfinite ? -1 : static_cast<int>(wait));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready == 0) {
            if (wait == 0) return true;
            continue;  // the next turn finds the time spent
        }
        const ssize_t r = ::read(tp->fd, buffer + *got, n - *got);
        if (r > 0) {
            *got += static_cast<uint32_t>(r);
            lastByte = TickMs();
            continue;
        }
        if (r == 0) return true;  // end of file: nothing more will come
        if (errno == EAGAIN || errno == EINTR) continue;
        return false;
    }
    return true;
}

bool TtyQueryInput(Port* p, uint32_t* waiting, uint32_t* errors) {
    int count = 0;
    *errors = 0;
    if (ioctl(self(p)->fd, FIONREAD, &count) != 0) return false;
    *waiting = static_cast<uint32_t>(count);
    return true;
}

bool TtySetModemLine(Port* p, ModemLine line, bool on) {
    return ModemBits(self(p)->fd, on ? TIOCMBIS : TIOCMBIC, line == ModemLine::kRts ? TIOCM_RTS : TIOCM_DTR);
}

bool TtyGetCts(Port* p, bool* on) {
    int bits = 0;
    if (ioctl(self(p)->fd, TIOCMGET, &bits) != 0) return false;
    *on = (bits & TIOCM_CTS) != 0;
    return true;
}

bool TtySetEventMask(Port* p, uint32_t) { return self(p)->isTty; }

// Input can be waited for, so a byte ends the pause as it arrives; with input
// already waiting the caller waits for CTS, which cannot.
void TtyAwaitLine(Port* p, uint32_t maxMs) {
    if (maxMs == 0) return;
    const timespec pause{0, kLinePauseNs};
    int waiting = 0;
    if (ioctl(self(p)->fd, FIONREAD, &waiting) == 0 && waiting == 0) {
        pollfd pfd{self(p)->fd, POLLIN, 0};
        ppoll(&pfd, 1, &pause, nullptr);
        return;
    }
    nanosleep(&pause, nullptr);
}

bool TtyAwaitCts(Port* p, Wake* wake, uint32_t maxMs) {
    TtyPort* tp = self(p);
    const uint32_t start = TickMs();
    for (;;) {
        bool on = false;
        if (!TtyGetCts(p, &on)) return false;
        const uint32_t now = TickMs();
        if (on) {
            tp->lastActivity = now;
            return true;
        }
        const uint32_t elapsed = now - start;
        if (elapsed >= maxMs) return true;
        const uint32_t step = std::min(maxMs - elapsed, CtsCheckMs(now - tp->lastActivity));
        pollfd pfd{WakeFd(wake), POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(step)) > 0 && TakeWake(wake)) return true;
    }
}

// The descriptor and the wake's in one poll: a byte or the wake ends it.
bool TtyAwaitInput(Port* p, Wake* wake, uint32_t maxMs) {
    const uint32_t start = TickMs();
    for (;;) {
        const uint32_t elapsed = TickMs() - start;
        const int left = static_cast<int>(elapsed < maxMs ? maxMs - elapsed : 0);
        pollfd pfds[2] = {{self(p)->fd, POLLIN, 0}, {wake != nullptr ? WakeFd(wake) : -1, POLLIN, 0}};
        const int ready = poll(pfds, wake != nullptr ? 2 : 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (pfds[0].revents & (POLLERR | POLLNVAL)) != 0) return false;
        if (ready == 0 || pfds[0].revents != 0) return true;
        if (TakeWake(wake)) return true;
    }
}

const PortMethods kTtyMethods = {
    .close = TtyClose,
    .getState = TtyGetState,
    .setState = TtySetState,
    .getTimeouts = TtyGetTimeouts,
    .setTimeouts = TtySetTimeouts,
    .setQueueSizes = TtySetQueueSizes,
    .write = TtyWrite,
    .read = TtyRead,
    .queryInput = TtyQueryInput,
    .setModemLine = TtySetModemLine,
    .getCts = TtyGetCts,
    .setEventMask = TtySetEventMask,
    .awaitLine = TtyAwaitLine,
    .awaitCts = TtyAwaitCts,
    .awaitInput = TtyAwaitInput,
};

// "COM3" -> /dev/ttyS2, "NUL" -> /dev/null, "ttyUSB0" -> /dev/ttyUSB0, a path as it is.
bool DevicePath(const char* name, char* out, size_t size) {
    int written;
    if (std::strcmp(name, "NUL") == 0) {
        written = std::snprintf(out, size, "/dev/null");
    } else if (std::strchr(name, '/') != nullptr) {
        written = std::snprintf(out, size, "%s", name);
    } else if ((name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
               (name[2] == 'M' || name[2] == 'm') && name[3] >= '1' && name[3] <= '9' &&
               std::strspn(name + 3, "0123456789") == std::strlen(name + 3) && std::strlen(name + 3) <= 3) {
        written = std::snprintf(out, size, "/dev/ttyS%d", std::atoi(name + 3) - 1);
    } else {
        written = std::snprintf(out, size, "/dev/%s", name);
    }
    return written > 0 && static_cast<size_t>(written) < size;
}

}  // namespace

Port* OpenPort(const char* name) {
    if (name == nullptr || name[0] == '\0') return nullptr;
    if (IsRfc2217Target(name)) return OpenRfc2217Port(name, ConnectTcpStream);
    char path[256];
    if (!DevicePath(name, path, sizeof path)) return nullptr;
    struct stat st{};
    if (stat(path, &st) != 0) return nullptr;
    if (S_ISSOCK(st.st_mode)) {
        ByteStream* stream = ConnectSocketStream(path);
        return stream != nullptr ? OpenVirtualPort(stream) : nullptr;
    }
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    const bool nullDevice = std::strcmp(name, "NUL") == 0;
    // flock excludes a second opener in this process too; TIOCEXCL keeps out
    // openers that do not ask for the lock.
    if (!nullDevice && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    const bool isTty = isatty(fd) != 0;
    if (isTty) ioctl(fd, TIOCEXCL);
    auto* tp = new (std::nothrow) TtyPort{};
    if (tp == nullptr) {
        close(fd);
        return nullptr;
    }
    tp->base.methods = &kTtyMethods;
    tp->fd = fd;
    tp->isTty = isTty;
    tp->lastActivity = TickMs();
    tp->state.baud = 9600;
    tp->state.byteSize = 8;
    tp->state.binary = true;
    tp->state.dtrControl = kDtrEnable;
    tp->state.rtsControl = kRtsEnable;
    return &tp->base;
}

}  // namespace qel::platform::posix
