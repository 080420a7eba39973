#include "knxnet/tcp_sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <map>
#include <mutex>
#include <set>

namespace bcuemu::detail {

namespace {

sockaddr_in AddressOf(const knxnet::Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.address);
    a.sin_port = htons(e.port);
    return a;
}

std::string ErrorText(int code) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0, text,
                   sizeof text, nullptr);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

// WSAPoll takes sockets only: a loopback UDP socket that sends to itself wakes it.
class WinsockTcpSockets final : public TcpSockets {
public:
    ~WinsockTcpSockets() override {
        for (const auto& [id, s] : connections_) closesocket(s);
        for (SOCKET s : {listener_, wake_}) {
            if (s != INVALID_SOCKET) closesocket(s);
        }
        WSACleanup();
    }

    bool Listen(const knxnet::Endpoint& at, std::string& error) override {
        if (!OpenWake(error)) return false;
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener_ == INVALID_SOCKET) {
            error = "cannot create a TCP socket: " + ErrorText(WSAGetLastError());
            return false;
        }
        BOOL on = TRUE;  // a second server on the port fails instead of sharing it
        setsockopt(listener_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
        const sockaddr_in a = AddressOf(at);
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 8) != 0) {
            error = "cannot listen on TCP " + knxnet::EndpointText(at) + ": " + ErrorText(WSAGetLastError());
            return false;
        }
        return true;
    }

    uint32_t Connect(const knxnet::Endpoint& to, std::string& error) override {
        if (!OpenWake(error)) return 0;
        const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const sockaddr_in a = AddressOf(to);
        if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            error = "cannot connect to TCP " + knxnet::EndpointText(to) + ": " + ErrorText(WSAGetLastError());
            if (s != INVALID_SOCKET) closesocket(s);
            return 0;
        }
        return Add(s);
    }

    Event Wait(int timeoutMs, uint8_t* buffer, size_t capacity) override {
        std::vector<WSAPOLLFD> polled;
        std::vector<uint32_t> ids;
        auto watch = [&](SOCKET s, uint32_t id) {
            WSAPOLLFD p{};
            p.fd = s;
            p.events = POLLRDNORM;
            polled.push_back(p);
            ids.push_back(id);
        };
        {
            std::lock_guard lock(mutex_);
            if (!closing_.empty()) return Forget(*closing_.begin());
            watch(wake_, 0);
            if (listener_ != INVALID_SOCKET) watch(listener_, 0);
            for (const auto& [id, s] : connections_) watch(s, id);
        }
        if (WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMs) <= 0) return {};
        if (polled[0].revents != 0) {
            char drained[16];
            ::recv(wake_, drained, sizeof drained, 0);
            return {};
        }
        for (size_t i = 1; i < polled.size(); ++i) {
            if (polled[i].revents == 0) continue;
            if (ids[i] == 0) return Accept();
            const int n = ::recv(polled[i].fd, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
            std::lock_guard lock(mutex_);
            if (n <= 0 || closing_.count(ids[i])) return Forget(ids[i]);
            return {Event::Kind::kData, ids[i], static_cast<size_t>(n), {}};
        }
        return {};
    }

    bool Send(uint32_t connection, const std::vector<uint8_t>& bytes) override {
        std::lock_guard lock(mutex_);
        const auto c = connections_.find(connection);
        if (c == connections_.end() || closing_.count(connection)) return false;
        const int n = ::send(c->second, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
        if (n == static_cast<int>(bytes.size())) return true;
        CloseLocked(connection);
        return false;
    }

    void Close(uint32_t connection) override {
        std::lock_guard lock(mutex_);
        CloseLocked(connection);
    }

    void Wake() override {
        sockaddr_in a{};
        int size = sizeof a;
        if (::getsockname(wake_, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            ::sendto(wake_, "", 1, 0, reinterpret_cast<const sockaddr*>(&a), size);
    }

private:
    bool OpenWake(std::string& error) {
        if (wake_ != INVALID_SOCKET) return true;
        wake_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        const sockaddr_in a = AddressOf({0x7F000001, 0});
        if (wake_ == INVALID_SOCKET || ::bind(wake_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            error = "cannot create a loopback UDP socket: " + ErrorText(WSAGetLastError());
            return false;
        }
        return true;
    }

    uint32_t Add(SOCKET s) {
        u_long nonBlocking = 1;  // Send() must never stall the server
        ioctlsocket(s, FIONBIO, &nonBlocking);
        BOOL on = TRUE;  // frames are small and each one is due now
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        std::lock_guard lock(mutex_);
        connections_[next_] = s;
        return next_++;
    }

    Event Accept() {
        sockaddr_in a{};
        int size = sizeof a;
        const SOCKET s = ::accept(listener_, reinterpret_cast<sockaddr*>(&a), &size);
        if (s == INVALID_SOCKET) return {};
        return {Event::Kind::kAccepted, Add(s), 0, {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port), true}};
    }

    // Called with mutex_ held: the connection is gone.
    Event Forget(uint32_t connection) {
        const auto c = connections_.find(connection);
        if (c != connections_.end()) closesocket(c->second);
        connections_.erase(connection);
        closing_.erase(connection);
        return {Event::Kind::kClosed, connection, 0, {}};
    }

    void CloseLocked(uint32_t connection) {
        if (!connections_.count(connection)) return;
        closing_.insert(connection);
        Wake();
    }

    SOCKET listener_ = INVALID_SOCKET;
    SOCKET wake_ = INVALID_SOCKET;
    std::mutex mutex_;  // connections_, closing_, next_
    std::map<uint32_t, SOCKET> connections_;
    std::set<uint32_t> closing_;  // to close by Wait(), which may be polling them
    uint32_t next_ = 1;
};

}  // namespace

std::unique_ptr<TcpSockets> TcpSockets::Create(std::string& error) {
    WSADATA data;
    const int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
        error = "cannot start Winsock: " + ErrorText(result);
        return nullptr;
    }
    return std::make_unique<WinsockTcpSockets>();
}

}  // namespace bcuemu::detail
