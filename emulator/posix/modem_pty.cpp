#include "modem_pty.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bcuemu::detail {

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool ModemPty::Open(const std::string& linkPath, std::string& error) {
    Close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = Errno("pseudo terminal");
        Close();
        return false;
    }
    devicePath_ = ptsname(master_);
    // Raw before any port opens it: no echo of the BCU's bytes back to it.
    const int device = open(devicePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    termios t{};
    if (device < 0 || fstat(device, &st) != 0 || tcgetattr(device, &t) != 0) {
        error = Errno("device side " + devicePath_);
        if (device >= 0) close(device);
        Close();
        return false;
    }
    cfmakeraw(&t);
    tcsetattr(device, TCSANOW, &t);
    close(device);

    char path[64];
    std::snprintf(path, sizeof path, QEL_MODEM_PAGE_FORMAT, major(st.st_rdev), minor(st.st_rdev));
    pagePath_ = path;
    fifoPath_ = pagePath_ + QEL_MODEM_FIFO_SUFFIX;
    unlink(pagePath_.c_str());  // a page left by a run that died
    unlink(fifoPath_.c_str());
    const int pageFd = open(pagePath_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (pageFd < 0 || ftruncate(pageFd, sizeof(QelModemPage)) != 0) {
        error = Errno("modem page " + pagePath_);
        if (pageFd >= 0) close(pageFd);
        Close();
        return false;
    }
    void* map = mmap(nullptr, sizeof(QelModemPage), PROT_READ | PROT_WRITE, MAP_SHARED, pageFd, 0);
    close(pageFd);
    if (map == MAP_FAILED) {
        error = Errno("modem page " + pagePath_);
        Close();
        return false;
    }
    page_ = static_cast<QelModemPage*>(map);
    // Read and write: the FIFO never reports an end while no port holds it.
    if (mkfifo(fifoPath_.c_str(), 0600) != 0 ||
        (changes_ = open(fifoPath_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        error = Errno("modem FIFO " + fifoPath_);
        Close();
        return false;
    }
    if (!linkPath.empty()) {
        unlink(linkPath.c_str());
        if (symlink(devicePath_.c_str(), linkPath.c_str()) != 0) {
            error = Errno("link " + linkPath);
            Close();
            return false;
        }
        linkPath_ = linkPath;
    }
    page_->magic = QEL_MODEM_PAGE_MAGIC;
    __atomic_store_n(&page_->alive, 1u, __ATOMIC_RELEASE);
    return true;
}

size_t ModemPty::TakeChanges(uint8_t* out, size_t capacity) {
    capacity -= capacity % sizeof(QelModemChange);
    if (changes_ < 0 || capacity == 0) return 0;
    const ssize_t got = read(changes_, out, capacity);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

void ModemPty::SetCts(bool on) {
    if (page_ == nullptr) return;
    const uint32_t before = on ? __atomic_fetch_or(&page_->lines, TIOCM_CTS, __ATOMIC_ACQ_REL)
                               : __atomic_fetch_and(&page_->lines, ~static_cast<uint32_t>(TIOCM_CTS), __ATOMIC_ACQ_REL);
    if (((before & TIOCM_CTS) != 0) == on) return;
    __atomic_fetch_add(&page_->ctsChanges, 1u, __ATOMIC_ACQ_REL);
    syscall(SYS_futex, &page_->ctsChanges, FUTEX_WAKE, 0x7fffffff, nullptr, nullptr, 0);
}

bool ModemPty::Cts() const {
    return page_ != nullptr && (__atomic_load_n(&page_->lines, __ATOMIC_ACQUIRE) & TIOCM_CTS) != 0;
}

void ModemPty::DropDeviceLines() {
    if (page_ != nullptr)
        __atomic_fetch_and(&page_->lines, ~static_cast<uint32_t>(TIOCM_RTS | TIOCM_DTR), __ATOMIC_ACQ_REL);
}

bool ModemPty::DeviceOpen() const {
    if (master_ < 0) return false;
    pollfd p{master_, 0, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void ModemPty::Close() {
    if (page_ != nullptr) {
        __atomic_store_n(&page_->alive, 0u, __ATOMIC_RELEASE);
        __atomic_fetch_add(&page_->ctsChanges, 1u, __ATOMIC_ACQ_REL);  // ends waits in TIOCMIWAIT
        syscall(SYS_futex, &page_->ctsChanges, FUTEX_WAKE, 0x7fffffff, nullptr, nullptr, 0);
        munmap(page_, sizeof(QelModemPage));
        page_ = nullptr;
    }
    if (!linkPath_.empty()) unlink(linkPath_.c_str());
    if (!pagePath_.empty()) unlink(pagePath_.c_str());
    if (!fifoPath_.empty()) unlink(fifoPath_.c_str());
    if (changes_ >= 0) close(changes_);
    if (master_ >= 0) close(master_);
    changes_ = master_ = -1;
    linkPath_.clear();
    pagePath_.clear();
    fifoPath_.clear();
    devicePath_.clear();
}

}  // namespace bcuemu::detail
