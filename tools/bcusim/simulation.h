// A running bcusim: one bus, one emulated BCU per line, the scenario's
// devices sending on their schedules, scripted and typed commands, and a
// monitor that prints every telegram as it crosses the bus.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bcuemu/bcu.h"
#include "bcuemu/bus.h"
#include "bcuemu/ft12_interface.h"
#include "bcuemu/knxnet_router.h"
#include "bcuemu/knxnet_server.h"
#include "scenario.h"

namespace bcusim {

struct Settings {
    bool realistic = false;
    bool ctsDropAfterRts = false;
    bool announcementTimesOut = false;
    bool answerHeaderWithOwnHeader = false;
    int reactionUs = -1;     // the BCU's reaction; negative: the timing's default
    unsigned queueLimit = 0;  // frames waiting for the driver; 0: no limit
    std::vector<std::string> endpoints;  // from the command line; override the scenario's
    int lineCount = 0;                   // at least this many lines
    bool pty = false;                    // pseudo terminals with modem lines, not virtual lines
    bool record = false;                 // keep line events (for a VCD)
    std::string knxnet;                  // KNXnet/IP tunnelling server at ADDRESS[:PORT]; empty: none
    bool knxnetAnyAddress = false;       // the server may take a non-loopback address (a test's namespace)
    std::string knxnetSecure;            // a folder: TCP tunnels in KNX IP Secure sessions and secure routing, demo credentials there
    std::string ft12;                    // "emi2" or "cemi": FT1.2 interfaces on the ptys; empty: BCUs
    std::string knxnetRouting;           // KNXnet/IP router on GROUP[:PORT]; empty: none
    std::string knxnetInterface;         // its interface's local address; empty: the system's choice
};

class Simulation {
public:
    using Printer = std::function<void(const std::string&)>;

    Simulation(Scenario scenario, const Settings& settings, Printer print);
    ~Simulation();

    // Starts serving every line; false with `error` set when one cannot listen.
    bool Start(std::string& error);
    std::vector<std::string> PortNames() const { return ports_; }
    // Where the tunnelling server listens ("127.0.0.1:3671"); empty without one.
    std::string KnxnetEndpoint() const { return knxnet_ ? knxnet_->LocalEndpoint() : std::string(); }
    std::string RoutingGroup() const { return router_ ? router_->GroupEndpoint() : std::string(); }
    // Runs one command as typed; returns what to print (may be empty), or an
    // error text beginning "error: ".
    std::string Execute(const std::string& command);
    // Writes one VCD per line (FILE, or FILE with -N before the extension for several).
    bool WriteVcds(const std::string& path) const;
    void Stop();

    static const char* Help();

private:
    struct Timed {
        std::chrono::steady_clock::time_point at;
        size_t device;  // index, or SIZE_MAX for a script step
        size_t step;
    };
    void Schedule();
    std::string Status() const;
    double Seconds() const;

    Scenario scenario_;
    Settings settings_;
    Printer print_;
    std::chrono::steady_clock::time_point start_;
    std::unique_ptr<bcuemu::Bus> bus_;
    std::vector<std::unique_ptr<bcuemu::Bcu>> bcus_;
    std::vector<std::unique_ptr<bcuemu::Ft12Interface>> ft12s_;  // with --ft12, in place of the BCUs
    std::unique_ptr<bcuemu::KnxnetServer> knxnet_;  // destroyed before the bus
    std::unique_ptr<bcuemu::KnxnetRouter> router_;  // the same
    std::vector<std::string> ports_;
    std::vector<size_t> nextValue_;  // per device: index into values / current ramp value
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread scheduler_;
};

}  // namespace bcusim
