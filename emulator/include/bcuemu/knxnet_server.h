// The emulated bus as a KNXnet/IP tunnelling server on UDP and TCP (the
// same address and port), for KNX tools (knxd, ETS, ...) beside the driver:
// every telegram on the bus reaches each connected tunnel as L_Data.ind; a
// tunnel's L_Data.req goes on the bus and is confirmed with L_Data.con.
// Answers search and description requests by unicast. Listens on loopback
// only, unless told it runs in a test's own network namespace. Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bcuemu/bus.h"
#include "bcuemu/knxnet_faults.h"
#include "bcuemu/knxnet_secure.h"

namespace bcuemu {

namespace detail {
class UdpSocket;
class TcpSockets;
}
namespace knxnet {
class TunnelServer;
class SecureSessions;
struct Endpoint;
}

class KnxnetServer final : public BusPort {
public:
    using Printer = std::function<void(const std::string&)>;

    // The bus must outlive the server. `note` gets one line per tunnel
    // connected or closed (may be empty).
    explicit KnxnetServer(Bus& bus, Printer note = {});
    ~KnxnetServer() override;
    KnxnetServer(const KnxnetServer&) = delete;
    KnxnetServer& operator=(const KnxnetServer&) = delete;

    // Listens on "ADDRESS[:PORT]" (loopback only; port 0 picks one free on
    // both UDP and TCP) and starts serving; false with `error` set otherwise.
    // `anyAddress` lets in any unicast address: only for a network namespace
    // that a test made for itself.
    bool Start(const std::string& endpoint, std::string& error, bool anyAddress = false);
    // Disconnects every tunnel and stops listening.
    void Stop();
    // "127.0.0.1:3671", the endpoint bound.
    std::string LocalEndpoint() const;
    uint16_t Port() const;

    size_t TunnelCount() const;
    bool WaitTunnels(size_t count, int timeoutMs) const;
    // Until fewer than `count` tunnels are left; false after timeoutMs.
    bool WaitTunnelsBelow(size_t count, int timeoutMs) const;

    // From now on (and across restarts) TCP tunnels only inside KNX IP Secure
    // sessions with these credentials (knxnet/secure_sessions.h).
    void Secure(const knxnet::SecureSettings& settings);

    // Faults on demand (see knxnet/tunnel_server.h), applied under the server's lock.
    void SetFaults(const knxnet::TunnelFaults& faults);
    // Sends every client a DISCONNECT_REQUEST, as a server that closes its tunnels.
    void DisconnectTunnels();
    // Forgets every tunnel without a word, as a server that restarted.
    void ForgetTunnels();
    // Ends every TCP connection without a word, as a network that broke.
    void DropConnections();

    // Frames waiting for the clients (in flight included); 0 while stopped.
    size_t QueuedFrames() const;
    // Keeps, from now on, the cEMI frames the clients acknowledged, in order
    // and across restarts: what a client has certainly received.
    void RecordAcknowledged(bool on);
    std::vector<std::vector<uint8_t>> AcknowledgedFrames() const;
    size_t AcknowledgedCount() const;
    void ClearAcknowledged();

    // BusPort.
    void BusTelegram(const Telegram& telegram) override;
    void BusTelegramSent(const Telegram& telegram) override;

private:
    void Run();
    void RunTcp();
    bool Listen(const knxnet::Endpoint& at, knxnet::Endpoint& bound, std::string& error);
    int64_t NowMs() const;
    // Sends what the protocol produced; called with mutex_ held. Returns the notes to print.
    std::vector<std::string> FlushLocked();
    void Print(const std::vector<std::string>& notes);

    Bus& bus_;
    Printer note_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::unique_ptr<detail::UdpSocket> socket_;
    std::unique_ptr<detail::TcpSockets> tcp_;
    mutable std::mutex mutex_;  // server_, attached_, connections_
    std::vector<uint32_t> connections_;  // TCP connections open
    mutable std::condition_variable changed_;
    std::unique_ptr<knxnet::TunnelServer> server_;
    std::unique_ptr<knxnet::SecureSessions> secure_;  // while serving, when Secure() was called
    std::unique_ptr<knxnet::SecureSettings> secureSettings_;
    bool attached_ = false;
    bool recordAcknowledged_ = false;
    std::vector<std::vector<uint8_t>> acknowledged_;
    uint32_t address_ = 0;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::thread tcpThread_;
};

}  // namespace bcuemu
