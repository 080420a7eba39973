#include "bench_support.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

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

}  // namespace bench
