// The KNXnet/IP tunnelling server's protocol, without sockets or clocks:
// frames and bus telegrams go in with the time, frames for clients,
// telegrams for the bus and notes for a log come out. Several tunnels at
// once (link layer), each with its own individual address. Over UDP,
// requests to a client wait for its acknowledgement, are sent again once
// after 1 s without one, and the tunnel is dropped after the second silence.
// Over TCP (each connection known by a number from the owner) nothing is
// acknowledged, a connection carries one tunnel, and its end ends the
// tunnel. A tunnel without a connection-state request for 120 s is dropped.
// Not thread-safe: the owner serialises every call.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "bcuemu/knxnet_faults.h"
#include "knxnet/codec.h"

namespace bcuemu::knxnet {

struct Datagram {
    Endpoint to;
    std::vector<uint8_t> bytes;
    uint32_t connection = 0;  // a TCP connection's number; 0: a UDP datagram to `to`
};

struct TunnelSettings {
    uint16_t firstTunnelAddress = 0x11F1;  // 1.1.241, then one more per tunnel slot
    size_t maxTunnels = 8;
    int64_t ackTimeoutMs = 1000;
    int64_t heartbeatTimeoutMs = 120000;
    size_t maxQueued = 4096;  // frames waiting for one client; beyond, the tunnel is dropped
    DeviceDescription device;  // in description and search responses
};

class TunnelServer {
public:
    // `local` is the server's own endpoint, for the HPAIs it sends.
    TunnelServer(const TunnelSettings& settings, const Endpoint& local);

    // One frame from a UDP client (`connection` 0) or a TCP connection.
    void Receive(const uint8_t* bytes, size_t count, const Endpoint& from, int64_t nowMs, uint32_t connection = 0);
    // A TCP connection ended: its tunnel goes without a word.
    void ConnectionClosed(uint32_t connection);
    // Another sender's telegram went out on the bus: L_Data.ind to every tunnel.
    void BusTelegram(const Telegram& telegram, int64_t nowMs);
    // The oldest telegram taken from TakeTelegrams() went out: L_Data.con to
    // the tunnel that sent it, L_Data.ind to the others.
    void BusTelegramSent(const Telegram& telegram, int64_t nowMs);
    // Repeats, acknowledgement and heartbeat time-outs due by now.
    void Tick(int64_t nowMs);
    // Disconnects every tunnel (the server stops).
    void DisconnectAll(int64_t nowMs);
    // Forgets every tunnel without a word, as a server that restarted.
    void ForgetAll();
    TunnelFaults& Faults() { return faults_; }
    // When Tick() has something to do next; -1: nothing pending.
    int64_t NextDeadline() const;

    std::vector<Datagram> TakeDatagrams();
    // Telegrams for the bus, in the order they must be sent there.
    std::vector<Telegram> TakeTelegrams();
    std::vector<std::string> TakeNotes();
    // TCP connections the server closes (a fault asked for it).
    std::vector<uint32_t> TakeClosings();
    // The cEMI frames the clients acknowledged, in order.
    std::vector<std::vector<uint8_t>> TakeAcknowledged();

    size_t TunnelCount() const { return tunnels_.size(); }
    // Frames waiting for the clients, the ones in flight included.
    size_t QueuedFrames() const;

private:
    // Where answers go: a UDP endpoint, or a TCP connection.
    struct Route {
        Endpoint to;
        uint32_t connection = 0;
    };
    struct Tunnel {
        uint8_t channel = 0;
        uint32_t connection = 0;  // TCP; 0: UDP
        size_t slot = 0;
        uint16_t address = 0;
        Endpoint control;
        Endpoint data;
        uint8_t rxSequence = 0;  // expected from the client next
        uint8_t txSequence = 0;  // of the request to the client in flight or next
        std::deque<std::vector<uint8_t>> outgoing;  // cEMI frames, the head in flight when awaitingAck
        bool awaitingAck = false;
        int sends = 0;
        int64_t sentAtMs = 0;
        int64_t heartbeatMs = 0;
    };

    Tunnel* Find(uint8_t channel);
    // The channel's tunnel if it travels on `connection` (0: UDP).
    Tunnel* FindOn(uint8_t channel, uint32_t connection);
    void Search(const Frame& request, const Route& back);
    void Connect(const Frame& request, const Route& back, int64_t nowMs);
    void Tunnelling(const Frame& request, const Route& back);
    void Acknowledged(const Frame& ack, int64_t nowMs);
    void Queue(Tunnel& tunnel, const CemiFrame& frame, int64_t nowMs);
    void Transmit(Tunnel& tunnel, int64_t nowMs);
    void Drop(uint8_t channel, const std::string& why);
    void Reply(const Route& to, const Frame& frame);
    Route RouteOf(const Tunnel& tunnel, bool data) const;
    std::string Name(const Tunnel& tunnel) const;

    const TunnelSettings settings_;
    const Endpoint local_;
    std::vector<Tunnel> tunnels_;
    uint8_t nextChannel_ = 1;
    std::deque<uint8_t> sentBy_;  // the channel of each telegram on its way to the bus
    std::vector<Datagram> datagrams_;
    std::vector<Telegram> telegrams_;
    std::vector<std::string> notes_;
    std::vector<uint32_t> closings_;
    std::vector<std::vector<uint8_t>> acknowledged_;
    TunnelFaults faults_;
};

}  // namespace bcuemu::knxnet
