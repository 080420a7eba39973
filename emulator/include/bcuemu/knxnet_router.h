// The emulated bus as a KNXnet/IP router on a multicast group: every
// telegram of another sender on the bus goes to the group as a
// ROUTING_INDICATION, and every ROUTING_INDICATION on the group (but its
// own) goes on the bus. ROUTING_BUSY and ROUTING_LOST_MESSAGE on demand, for
// its peers' tests. Multicast leaves the host: only inside a network
// namespace that a test made for itself. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bcuemu/bus.h"

namespace bcuemu {

namespace detail {
class UdpSocket;
}

class KnxnetRouter final : public BusPort {
public:
    // The bus must outlive the router.
    explicit KnxnetRouter(Bus& bus);
    ~KnxnetRouter() override;
    KnxnetRouter(const KnxnetRouter&) = delete;
    KnxnetRouter& operator=(const KnxnetRouter&) = delete;

    // Joins "GROUP[:PORT]" (a multicast address; port 3671 when not given,
    // 0 picks a free one) on the interface with the local address
    // `interface` ("": the system's choice), and starts routing; false with
    // `error` set otherwise.
    bool Start(const std::string& group, const std::string& interface, std::string& error);
    void Stop();
    // "224.0.23.12:3671", the group and the port taken.
    std::string GroupEndpoint() const;

    // A ROUTING_BUSY asking for waitMs, to everyone (control 0) or not.
    void SendBusy(uint16_t waitMs, uint16_t control = 0);
    // A ROUTING_LOST_MESSAGE telling of `count` telegrams lost.
    void SendLostMessage(uint16_t count);
    // The ROUTING_INDICATIONs taken from the group so far.
    size_t IndicationsTaken() const { return taken_; }

    // BusPort.
    void BusTelegram(const Telegram& telegram) override;
    void BusTelegramSent(const Telegram& telegram) override;

private:
    void Run();
    void Send(const std::vector<uint8_t>& datagram);

    Bus& bus_;
    std::unique_ptr<detail::UdpSocket> receiver_;  // on the group's port
    std::unique_ptr<detail::UdpSocket> sender_;    // a port of its own: what comes from there is its own
    mutable std::mutex mutex_;                     // sender_'s use
    uint32_t group_ = 0;
    uint16_t port_ = 0;
    uint32_t ownAddress_ = 0;
    uint16_t ownPort_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> taken_{0};
    std::thread thread_;
};

}  // namespace bcuemu
