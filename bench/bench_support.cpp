#include "bench_support.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string Fixed(double v, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

double CpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

std::string MapPort(const std::string& dir, const std::string& name, const std::string& target) {
    static std::string text;
    text += name + " = " + target + "\n";
    const std::string path = dir + "/qeleib.ports";
    std::ofstream(path) << text;
    setenv("QELEIB_PORTS", path.c_str(), 1);
    return name;
}

Traffic::Traffic(bcuemu::Bus& bus, uint16_t group, double rate)
    : thread_([this, &bus, group, rate] {
          const auto period = std::chrono::duration<double>(1.0 / rate);
          auto next = Clock::now();
          for (uint16_t v = 0; !stop_; ++v) {
              bus.Inject(group, bcuemu::ValueSize::kByte, v & 0xFF, 0x1120);
              ++sent_;
              next += std::chrono::duration_cast<Clock::duration>(period);
              std::this_thread::sleep_until(next);
          }
      }) {}

Traffic::~Traffic() { Stop(); }

void Traffic::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::string WritesUnderTraffic(DriverHost& host, bcuemu::Bus& bus, uint16_t writeGroup, uint16_t trafficGroup,
                               double windowS) {
    std::ostringstream text;
    for (double rate : {15.0, 25.0}) {
        Traffic traffic(bus, trafficGroup, rate);
        int writes = 0, failed = 0;
        const auto end = Clock::now() + std::chrono::duration<double>(windowS);
        while (Clock::now() < end) failed += host.WriteBit(writeGroup, static_cast<uint16_t>(writes++ & 1)) != 0;
        traffic.Stop();
        text << "Writes for " << Fixed(windowS, 0) << " s under " << Fixed(rate, 0) << " telegrams/s: " << writes
             << ", failed " << failed << ".\n";
    }
    return text.str();
}

std::string ListenerAt49(DriverHost& host, bcuemu::Bus& bus, uint16_t trafficGroup, uint32_t trafficGate,
                         double windowS) {
    struct Count {
        uint32_t gate;
        std::atomic<int> delivered{0};
    } count{trafficGate, {}};
    host.OnPut([](void* c, uint32_t gate) {
        auto* counted = static_cast<Count*>(c);
        if (gate == counted->gate) ++counted->delivered;
    }, &count);
    // Writes that routing does not confirm may still be queued on the bus.
    bus.WaitIdle(60000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last deliveries of earlier traffic
    count.delivered = 0;
    bus.ClearHistory();
    Traffic traffic(bus, trafficGroup, 49);
    std::this_thread::sleep_for(std::chrono::duration<double>(windowS));
    traffic.Stop();
    bus.WaitIdle(5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int carried = 0;
    for (const bcuemu::Telegram& t : bus.History()) carried += t.destination == trafficGroup;
    host.OnPut(nullptr, nullptr);
    std::ostringstream text;
    text << "Listener at 49/s offered for " << Fixed(windowS, 0) << " s: " << traffic.Sent() << " offered, "
         << carried << " carried by the bus (" << Fixed(carried / windowS) << "/s), " << count.delivered
         << " delivered, " << carried - count.delivered << " lost by the driver.\n";
    return text.str();
}

}  // namespace bench
