// The emulated bus as a KNXnet/IP router on a multicast group: every
// telegram of another sender on the bus goes to the group as a
// ROUTING_INDICATION, and every ROUTING_INDICATION on the group (but its
// own) goes on the bus. ROUTING_BUSY and ROUTING_LOST_MESSAGE on demand, for
// its peers' tests. Made secure, a KNX IP Secure routing member: every
// datagram both ways in a SECURE_WRAPPER under the backbone key and the
// group's timer kept with TIMER_NOTIFY, by the driver's own secure/ code
// (its timer starts at the host's steady clock, so that it answers a new
// member's TIMER_NOTIFY). Multicast leaves the host: only inside a network
// namespace that a test made for itself. Thread-safe.
#pragma once

#include <array>
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

// Misbehaviour of a secure router on demand, each count used up one datagram at a time.
struct RoutingFaults {
    int badMacs = 0;    // datagrams sealed with a wrong MAC
    int oldTimers = 0;  // datagrams sealed with a timer value beyond the tolerance behind
};

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
    // KNX IP Secure routing with `backboneKey` from now on; toleranceMs 0: the default.
    void Secure(const std::array<uint8_t, 16>& backboneKey, uint32_t toleranceMs = 0);
    void SetFaults(const RoutingFaults& faults);
    // Secure: the datagrams dropped so far (not wrapped, bad MAC, old timer).
    size_t Dropped() const { return dropped_; }

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
    struct SecureState;
    void Run();
    // Sealed first when secure; an empty one (the receiver's wake) as it is.
    void Send(const std::vector<uint8_t>& datagram);
    void SendRaw(const std::vector<uint8_t>& datagram);
    // Joins as a secure member: its TIMER_NOTIFY to the group.
    void BeginSecure();
    // The periodic TIMER_NOTIFY when due; how long until the next one.
    int KeepTimer();
    // A received datagram's routing frame: as it is, or opened when secure (empty: none).
    std::vector<uint8_t> Open(const uint8_t* bytes, size_t n);

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
    std::atomic<size_t> dropped_{0};
    std::unique_ptr<SecureState> secure_;  // under mutex_
    std::thread thread_;
};

}  // namespace bcuemu
