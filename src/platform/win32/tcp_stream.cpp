// The byte stream of a virtual line over TCP on Windows (a network serial
// server speaking RFC 2217). The socket is non-blocking, with an event for
// "readable or closed" that a wait can take together with a wake.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <new>

#include "platform/win32/win32_backend.h"

namespace qel::platform::win32 {
namespace {

constexpr DWORD kConnectMs = 3000;  // a server that does not answer must not hold a ColdStart
constexpr uint32_t kLingerMs = 200;

struct TcpStream {
    ByteStream base;
    SOCKET socket;
    WSAEVENT readable;
};

TcpStream* self(ByteStream* s) { return reinterpret_cast<TcpStream*>(s); }

// Waits for the socket to be readable (or closed) or a wake; WAIT_OBJECT_0 is the socket.
DWORD WaitReadable(TcpStream* ts, Wake* wake, uint32_t ms) {
    HANDLE handles[2] = {ts->readable, wake != nullptr ? WakeHandle(wake) : nullptr};
    const DWORD r = WaitForMultipleObjects(wake != nullptr ? 2 : 1, handles, FALSE, ms);
    if (r == WAIT_OBJECT_0) {
        WSANETWORKEVENTS events{};
        WSAEnumNetworkEvents(ts->socket, ts->readable, &events);  // resets the event
    }
    return r;
}

bool TcpWriteAll(ByteStream* s, const uint8_t* bytes, uint32_t n, uint32_t timeoutMs) {
    TcpStream* ts = self(s);
    const DWORD start = GetTickCount();
    uint32_t done = 0;
    while (done < n) {
        const int r = send(ts->socket, reinterpret_cast<const char*>(bytes + done), static_cast<int>(n - done), 0);
        if (r > 0) {
            done += static_cast<uint32_t>(r);
            continue;
        }
        if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            // A far side that stops reading fails the write once `timeoutMs` has passed.
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs) return false;
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(ts->socket, &writable);
            const DWORD left = timeoutMs - elapsed;
            timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
            if (select(0, nullptr, &writable, nullptr, &wait) == SOCKET_ERROR) return false;
            continue;
        }
        return false;
    }
    return true;
}

int32_t TcpRead(ByteStream* s, uint8_t* buffer, uint32_t n, uint32_t timeoutMs) {
    TcpStream* ts = self(s);
    const DWORD start = GetTickCount();
    for (;;) {
        const int r = recv(ts->socket, reinterpret_cast<char*>(buffer), static_cast<int>(n), 0);
        if (r > 0) return r;
        if (r == 0) return -1;  // the far end closed
        if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        DWORD left = INFINITE;
        if (timeoutMs != kInfinite) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs) return 0;
            left = timeoutMs - elapsed;
        }
        const DWORD w = WaitReadable(ts, nullptr, left);
        if (w == WAIT_TIMEOUT) return 0;
        if (w != WAIT_OBJECT_0) return -1;
    }
}

StreamWait TcpAwaitInput(ByteStream* s, Wake* wake, uint32_t timeoutMs) {
    TcpStream* ts = self(s);
    char peek;
    const int r = recv(ts->socket, &peek, 1, MSG_PEEK);
    if (r >= 0 || WSAGetLastError() != WSAEWOULDBLOCK) return StreamWait::kInput;  // data, or its end
    // The line first: what came is taken before a request gets the line.
    switch (WaitReadable(ts, wake, timeoutMs)) {
    case WAIT_OBJECT_0: return StreamWait::kInput;
    case WAIT_OBJECT_0 + 1: return StreamWait::kWoken;
    case WAIT_TIMEOUT: return StreamWait::kTimedOut;
    default: return StreamWait::kClosed;
    }
}

// An orderly close: the far side sees the end of the stream, and what it sent
// last is read, so that it sees no reset.
void TcpClose(ByteStream* s) {
    TcpStream* ts = self(s);
    shutdown(ts->socket, SD_SEND);
    uint8_t scratch[256];
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < kLingerMs; elapsed = GetTickCount() - start) {
        if (TcpRead(s, scratch, sizeof scratch, kLingerMs - elapsed) <= 0) break;
    }
    closesocket(ts->socket);
    WSACloseEvent(ts->readable);
    delete ts;
    WSACleanup();
}

const StreamMethods kTcpMethods = {
    .writeAll = TcpWriteAll,
    .read = TcpRead,
    .close = TcpClose,
    .awaitInput = TcpAwaitInput,
};

SOCKET Connect(const char* host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) return INVALID_SOCKET;
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    bool connected = false;
    if (sock != INVALID_SOCKET) {
        u_long nonBlocking = 1;
        ioctlsocket(sock, FIONBIO, &nonBlocking);
        if (connect(sock, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0) {
            connected = true;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(sock, &writable);
            FD_SET(sock, &failed);
            timeval wait{static_cast<long>(kConnectMs / 1000), static_cast<long>(kConnectMs % 1000 * 1000)};
            connected = select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(sock, &writable) &&
                        !FD_ISSET(sock, &failed);
        }
    }
    freeaddrinfo(found);
    if (!connected && sock != INVALID_SOCKET) {
        closesocket(sock);
        sock = INVALID_SOCKET;
    }
    return sock;
}

}  // namespace

ByteStream* ConnectTcpStream(const char* host, uint16_t port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return nullptr;
    const SOCKET sock = Connect(host, port);
    WSAEVENT readable = sock != INVALID_SOCKET ? WSACreateEvent() : WSA_INVALID_EVENT;
    if (readable == WSA_INVALID_EVENT || WSAEventSelect(sock, readable, FD_READ | FD_CLOSE) != 0) {
        if (readable != WSA_INVALID_EVENT) WSACloseEvent(readable);
        if (sock != INVALID_SOCKET) closesocket(sock);
        WSACleanup();
        return nullptr;
    }
    // Every octet of the handshake is a small write that waits for its answer.
    const BOOL one = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    auto* ts = new (std::nothrow) TcpStream{{&kTcpMethods}, sock, readable};
    if (ts == nullptr) {
        WSACloseEvent(readable);
        closesocket(sock);
        WSACleanup();
        return nullptr;
    }
    return &ts->base;
}

}  // namespace qel::platform::win32
