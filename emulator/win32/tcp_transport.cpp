// TCP under a virtual line, on 127.0.0.1: one client at a time, as the pipe.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>

#include "line_transport.h"

namespace bcuemu::detail {

namespace {

class TcpTransport final : public LineTransport {
public:
    TcpTransport() {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        wakeEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        listenEvent_ = WSACreateEvent();
        connEvent_ = WSACreateEvent();
    }
    ~TcpTransport() override {
        Close();
        CloseHandle(wakeEvent_);
        WSACloseEvent(listenEvent_);
        WSACloseEvent(connEvent_);
        if (started_) WSACleanup();
    }

    bool Listen(const std::string& endpoint, std::string& portName, std::string& error) override {
        char* end = nullptr;
        const unsigned long port = endpoint.empty() ? 0 : std::strtoul(endpoint.c_str(), &end, 10);
        if (!endpoint.empty() && (*end != '\0' || port > 65535)) {
            error = "not a TCP port: " + endpoint;
            return false;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(port));
        listen_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        int length = sizeof address;
        if (!started_ || listen_ == INVALID_SOCKET ||
            bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listen_, 1) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            WSAEventSelect(listen_, listenEvent_, FD_ACCEPT) != 0) {
            error = "cannot listen on 127.0.0.1:" + endpoint + " (error " + std::to_string(WSAGetLastError()) + ")";
            Close();
            return false;
        }
        portName = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        return true;
    }

    Event Pump(int64_t timeoutUs, uint8_t* buffer, size_t capacity) override {
        const DWORD timeoutMs = static_cast<DWORD>((timeoutUs + 999) / 1000);
        HANDLE handles[3] = {wakeEvent_, listenEvent_, connEvent_};
        const DWORD count = listen_ == INVALID_SOCKET ? 1 : conn_ == INVALID_SOCKET ? 2 : 3;
        const DWORD which = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
        if (which == WAIT_OBJECT_0 + 1) return Accept();
        if (which == WAIT_OBJECT_0 + 2) return Receive(buffer, capacity);
        return {};
    }

    bool Write(const uint8_t* bytes, size_t count) override {
        while (conn_ != INVALID_SOCKET && count > 0) {
            const int put = send(conn_, reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
            if (put > 0) {
                bytes += put;
                count -= static_cast<size_t>(put);
                continue;
            }
            if (WSAGetLastError() != WSAEWOULDBLOCK) return false;  // the next pump sees the disconnect
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(conn_, &writable);
            select(0, nullptr, &writable, nullptr, nullptr);
        }
        return count == 0;
    }

    void Wake() override { SetEvent(wakeEvent_); }

    void Close() override {
        DropClient();
        if (listen_ != INVALID_SOCKET) closesocket(listen_);
        listen_ = INVALID_SOCKET;
    }

private:
    Event Accept() {
        WSANETWORKEVENTS events{};
        WSAEnumNetworkEvents(listen_, listenEvent_, &events);
        const SOCKET s = accept(listen_, nullptr, nullptr);
        if (s == INVALID_SOCKET) return {};
        if (conn_ != INVALID_SOCKET) {  // one client per line
            closesocket(s);
            return {};
        }
        const BOOL noDelay = TRUE;  // each handshake byte goes at once
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        if (WSAEventSelect(s, connEvent_, FD_READ | FD_CLOSE) != 0) {
            closesocket(s);
            return {};
        }
        conn_ = s;
        closing_ = false;
        return {Event::Kind::kConnected, 0};
    }

    Event Receive(uint8_t* buffer, size_t capacity) {
        WSANETWORKEVENTS events{};
        WSAEnumNetworkEvents(conn_, connEvent_, &events);
        if ((events.lNetworkEvents & FD_CLOSE) != 0) closing_ = true;
        const int got = recv(conn_, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
        if (got > 0) {
            if (closing_) WSASetEvent(connEvent_);  // the rest, then the close, on the next pumps
            return {Event::Kind::kData, static_cast<size_t>(got)};
        }
        if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK && !closing_) return {};
        DropClient();
        return {Event::Kind::kDisconnected, 0};
    }

    void DropClient() {
        if (conn_ != INVALID_SOCKET) closesocket(conn_);
        conn_ = INVALID_SOCKET;
        closing_ = false;
        WSAResetEvent(connEvent_);
    }

    bool started_ = false;
    HANDLE wakeEvent_ = nullptr;
    WSAEVENT listenEvent_ = WSA_INVALID_EVENT;
    WSAEVENT connEvent_ = WSA_INVALID_EVENT;
    SOCKET listen_ = INVALID_SOCKET;
    SOCKET conn_ = INVALID_SOCKET;
    bool closing_ = false;
};

}  // namespace

std::unique_ptr<LineTransport> CreateTcpTransport() { return std::make_unique<TcpTransport>(); }

}  // namespace bcuemu::detail
