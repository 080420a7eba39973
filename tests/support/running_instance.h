// A driver instance running on an emulated BCU over the run's line, or on the
// emulated bus's tunnelling server over KNXnet/IP (OverTunnel), or with its
// router on a multicast group (OverRouting), or on an emulated FT1.2
// interface of the bus (OverFt12).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "bcuemu/bcu.h"
#include "bcuemu/bus.h"
#include "bcuemu/knxnet_router.h"
#include "bcuemu/knxnet_server.h"
#include "support/driver_session.h"
#include "support/test_line.h"

namespace qel::test {

// Waits until a log line contains `needle`; the log is the event here.
bool WaitForLogLine(const LoadedDriver& driver, const std::string& needle, int timeoutMs);
// Waits until `condition` holds, testing it every few milliseconds.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

class RunningInstance {
public:
    RunningInstance(const LoadedDriver& driver, bcuemu::Bus* bus, bcuemu::Options options = {});
    ~RunningInstance();

    // ColdStart on the BCU's line; when `settle`, also waits for the listener's start.
    int32_t start(bool settle = true);
    int32_t stop();

    DriverInstance& instance() { return instance_; }
    bcuemu::Bcu& bcu() { return *bcu_; }
    // The tunnelling server of a KNXnet/IP run, else nullptr.
    bcuemu::KnxnetServer* tunnelServer() { return tunnelServer_.get(); }
    // The router of a routing run, else nullptr.
    bcuemu::KnxnetRouter* router() { return router_.get(); }
    const std::string& port() const { return port_; }

private:
    const LoadedDriver& driver_;
    std::unique_ptr<bcuemu::Bcu> bcu_;
    std::unique_ptr<bcuemu::KnxnetServer> tunnelServer_;
    std::unique_ptr<bcuemu::KnxnetRouter> router_;
    std::unique_ptr<bcuemu::Ft12Interface> ft12_;
    DriverInstance instance_;
    std::string port_;
    bool running_ = false;
};

}  // namespace qel::test
