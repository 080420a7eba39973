// What the link benchmarks beside a bare client share: a steady stream of
// the bus's own telegrams, the port map they reach their link through, and
// the figures' arithmetic and text.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bcuemu/bus.h"
#include "driver_host.h"

namespace bench {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d);
double Median(std::vector<double> v);
std::string Fixed(double v, int digits = 1);
// CPU seconds of this process so far.
double CpuSeconds();

// Maps `name` to `target` in DIR/qeleib.ports (every name mapped so far stays)
// and points QELEIB_PORTS at it; the name.
std::string MapPort(const std::string& dir, const std::string& name, const std::string& target);

// One-byte telegrams to `group` from 1.1.32 at `rate` a second, until Stop().
class Traffic {
public:
    Traffic(bcuemu::Bus& bus, uint16_t group, double rate);
    ~Traffic();
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;
    void Stop();
    int Sent() const { return sent_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// Group writes in a loop to `writeGroup` for `windowS` under 15 and then 25
// telegrams/s of the bus's own on `trafficGroup`: a line of text for each.
std::string WritesUnderTraffic(DriverHost& host, bcuemu::Bus& bus, uint16_t writeGroup, uint16_t trafficGroup,
                               double windowS);
// The listener at 49 telegrams/s offered on `trafficGroup` for `windowS`: what
// the bus carried against what reached `trafficGate`, a line of text.
std::string ListenerAt49(DriverHost& host, bcuemu::Bus& bus, uint16_t trafficGroup, uint32_t trafficGate,
                         double windowS);

}  // namespace bench
