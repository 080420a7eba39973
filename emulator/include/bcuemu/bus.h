// The emulated installation bus: BCUs and devices on it see each other's
// telegrams. A telegram sent through one BCU is indicated by every other
// BCU, not by its sender, which gets the confirmation instead. Devices
// answer group reads with their value and take group writes. Telegrams go
// out one at a time, in order, on the bus's own thread; with realistic
// timing each occupies the bus as long as on a real one (~20 ms short).
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "bcuemu/telegram.h"

namespace bcuemu {

// Something attached to the bus that sends and receives (a BCU).
class BusPort {
public:
    virtual ~BusPort() = default;
    virtual void BusTelegram(const Telegram& telegram) = 0;      // another sender's telegram
    virtual void BusTelegramSent(const Telegram& telegram) = 0;  // this port's telegram has gone out
};

struct Device {
    uint16_t group = 0;
    ValueSize size = ValueSize::kBit;
    uint16_t value = 0;
    uint16_t address = 0x1201;  // individual address: source of its telegrams
    bool answersReads = true;
};

class Bus {
public:
    explicit Bus(bool realisticTiming = false);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    void Attach(BusPort* port);
    // After Detach() returns, the port is called no more.
    void Detach(BusPort* port);

    // Queues a telegram for the bus; `from` is not indicated and is confirmed.
    void Send(const Telegram& telegram, BusPort* from = nullptr);
    // A telegram from an outside sender (a test, a device of bcusim).
    void Inject(uint16_t group, ValueSize size, uint16_t value, uint16_t source = 0x1201, Apci apci = Apci::kWrite);
    void InjectRead(uint16_t group, uint16_t source = 0x1201);

    void AddDevice(const Device& device);
    void AddDevice(uint16_t group, ValueSize size, uint16_t value, uint16_t address = 0x1201);
    std::optional<uint16_t> DeviceValue(uint16_t group) const;
    // Sets the value of the devices at `group`; with transmit, the first of
    // them also sends it as a group write.
    void SetDeviceValue(uint16_t group, uint16_t value, bool transmit);

    // Every telegram that has gone out, in order.
    std::vector<Telegram> History() const;
    void ClearHistory();
    bool WaitTelegrams(size_t count, int timeoutMs) const;
    // Waits until nothing is queued or going out.
    bool WaitIdle(int timeoutMs) const;

    // Called on the bus thread for every telegram as it goes out.
    void SetMonitor(std::function<void(const Telegram&)> monitor);

    // How long a telegram occupies the bus, acknowledgement included.
    static int64_t DurationUs(const Telegram& telegram);

private:
    struct Pending {
        Telegram telegram;
        BusPort* from;
    };
    void Run();
    void Deliver(const Pending& pending);

    const bool realistic_;
    mutable std::mutex mutex_;  // queue, history, devices, ports list
    mutable std::condition_variable changed_;
    std::deque<Pending> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::vector<Telegram> history_;
    std::vector<Device> devices_;
    std::vector<BusPort*> ports_;
    std::function<void(const Telegram&)> monitor_;
    std::mutex deliverMutex_;  // held while ports are called, so Detach() can wait it out
    std::thread thread_;
};

}  // namespace bcuemu
