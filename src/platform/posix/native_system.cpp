#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/posix/posix_backend.h"

namespace qel::platform {
namespace posix {

uint32_t TickMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void SleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void* HostSymbol(const char* name) {
    // Bound from the host library's own handle: a global lookup would find
    // libc's err(3) before the host's err.
    static std::atomic<void*> library{nullptr};
    void* handle = library.load(std::memory_order_acquire);
    if (handle == nullptr) {
        handle = dlopen("libhuxtor.so", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return nullptr;
        void* expected = nullptr;
        if (!library.compare_exchange_strong(expected, handle, std::memory_order_acq_rel)) {
            dlclose(handle);  // another thread got there first; drop our extra reference
            handle = expected;
        }
    }
    return dlsym(handle, name);
}

bool LibraryPath(char* out, uint32_t size) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) return false;
    const size_t n = std::strlen(info.dli_fname);
    if (n == 0 || n >= size) return false;
    std::memcpy(out, info.dli_fname, n + 1);
    return true;
}

}  // namespace posix

const System& NativeSystem() {
    static const System table = {
        .openPort = posix::OpenPort,
        .tickMs = posix::TickMs,
        .sleepMs = posix::SleepMs,
        .startThread = posix::StartThread,
        .joinThread = posix::JoinThread,
        .detachThread = posix::DetachThread,
        .threadEnded = posix::ThreadEnded,
        .setThreadPriority = posix::SetThreadPriority,
        .createEvent = posix::CreateNamedEvent,
        .setEvent = posix::SignalEvent,
        .waitEvent = posix::WaitForEvent,
        .closeEvent = posix::CloseNamedEvent,
        .createMutex = posix::CreateNamedMutex,
        .lockMutex = posix::LockNamedMutex,
        .unlockMutex = posix::UnlockNamedMutex,
        .closeMutex = posix::CloseNamedMutex,
        .hostSymbol = posix::HostSymbol,
        .createWake = posix::CreateWake,
        .signalWake = posix::SignalWake,
        .waitWake = posix::WaitWake,
        .closeWake = posix::CloseWake,
        .libraryPath = posix::LibraryPath,
        .resolveHost = posix::ResolveHost,
        .openDatagram = posix::OpenDatagram,
        .sendDatagram = posix::SendDatagram,
        .receiveDatagram = posix::ReceiveDatagram,
        .closeDatagram = posix::CloseDatagram,
        .connectTcp = posix::ConnectTcpStream,
        .openGroupDatagram = posix::OpenGroupDatagram,
        .joinGroup = posix::JoinGroup,
        .leaveGroup = posix::LeaveGroup,
        .setMulticastInterface = posix::SetMulticastInterface,
        .setMulticastLoop = posix::SetMulticastLoop,
    };
    return table;
}

}  // namespace qel::platform
