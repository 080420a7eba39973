// Under Wine the test process can open a pseudo terminal as a COM port but
// cannot hold its master: a native relay (qel_pty_bridge) holds it and speaks
// RFC 2217 to the BCU, which serves on TCP here. COM40..COM49 are mapped in
// the Wine prefix to links in the build's com-links (scripts/wine-com-ports.sh);
// a named mutex gives each port to one process of the run. The build names the
// relay and the links (QEL_PTY_BRIDGE, QEL_COM_LINKS).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_line.h"

namespace qel::test {
namespace {

constexpr int kFirstCom = 40;
constexpr int kComCount = 10;
constexpr int kBridgeStartMs = 20000;
#if defined(QEL_PTY_BRIDGE) && defined(QEL_COM_LINKS)
constexpr char kBridge[] = QEL_PTY_BRIDGE;
constexpr char kLinks[] = QEL_COM_LINKS;
#else
constexpr char kBridge[] = "";
constexpr char kLinks[] = "";
#endif

struct Winsock {
    Winsock() {
        WSADATA data;
        ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    bool ok = false;
};

// A bridge and its COM port. The bridge ends when its control connection
// closes; it has let the terminal go (and removed its link) when it closes its
// end. A process keeps the last few: more lines than that at once no test
// needs, and a long run of tests in one process must not use up the ports.
struct Held {
    int com;
    HANDLE mutex;
    SOCKET control;
};
constexpr size_t kHeldPerProcess = 3;

std::vector<Held>& HeldLines() {
    static std::vector<Held> held;
    return held;
}

void Release(const Held& held) {
    shutdown(held.control, SD_SEND);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(held.control, &readable);
    timeval limit{kBridgeStartMs / 1000, 0};
    char ignored;
    if (select(0, &readable, nullptr, nullptr, &limit) == 1) recv(held.control, &ignored, 1, 0);
    closesocket(held.control);
    CloseHandle(held.mutex);
}

std::string Fail(const std::string& why) {
    std::fprintf(stderr, "pseudo-terminal line: %s\n", why.c_str());
    return "";
}

// A COM port no other process of the run holds, the one after this process's
// last, so that a port just let go is taken last.
int TakeComNumber(HANDLE* mutex) {
    static int next = 0;
    for (int i = 0; i < kComCount; ++i) {
        const int n = kFirstCom + (next + i) % kComCount;
        const std::string name = "qel-com-" + std::to_string(n);
        *mutex = CreateMutexA(nullptr, FALSE, name.c_str());
        if (*mutex == nullptr) continue;
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            next = n - kFirstCom + 1;
            return n;
        }
        CloseHandle(*mutex);
    }
    return 0;
}

SOCKET ListenOnLoopback(uint16_t* port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, 1) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return s;
}

// Waits for the bridge's control connection: it comes once the link is made.
SOCKET AcceptBridge(SOCKET listener) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval limit{kBridgeStartMs / 1000, 0};
    if (select(0, &readable, nullptr, nullptr, &limit) != 1) return INVALID_SOCKET;
    return accept(listener, nullptr, nullptr);
}

}  // namespace

std::string ServePtyLine(bcuemu::Bcu& bcu) {
    static Winsock winsock;
    const std::string bridge = kBridge;
    const std::string links = kLinks;
    if (bridge.empty()) return Fail("this build has no relay: build linux-i386 first, then configure windows-i686 again");
    if (!winsock.ok) return Fail("no Winsock");
    const std::string line = bcu.ServeTcp();
    if (line.empty()) return Fail(bcu.LastError());
    std::vector<Held>& held = HeldLines();
    if (held.size() >= kHeldPerProcess) {
        Release(held.front());
        held.erase(held.begin());
    }
    HANDLE mutex = nullptr;
    const int com = TakeComNumber(&mutex);
    if (com == 0) return Fail("no free COM port among COM" + std::to_string(kFirstCom) + "..");
    uint16_t controlPort = 0;
    const SOCKET listener = ListenOnLoopback(&controlPort);
    if (listener == INVALID_SOCKET) {
        CloseHandle(mutex);
        return Fail("no control socket");
    }

    // Wine starts a Unix program through CreateProcess (no handle to wait on).
    std::string command = bridge + " " + std::to_string(controlPort) + " " +
                          line.substr(line.rfind(':') + 1) + " " + links + "/com" + std::to_string(com);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        closesocket(listener);
        CloseHandle(mutex);
        return Fail("cannot start " + command);
    }
    if (process.hProcess != nullptr) CloseHandle(process.hProcess);
    if (process.hThread != nullptr) CloseHandle(process.hThread);
    const SOCKET control = AcceptBridge(listener);
    closesocket(listener);
    if (control == INVALID_SOCKET) {
        CloseHandle(mutex);
        return Fail("the bridge did not come: " + command);
    }
    held.push_back({com, mutex, control});
    return "COM" + std::to_string(com);
}

}  // namespace qel::test
