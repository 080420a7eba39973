#include "support/running_instance.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace qel::test {

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool WaitForLogLine(const LoadedDriver& driver, const std::string& needle, int timeoutMs) {
    return WaitUntil([&] { return !LinesWith(driver, needle).empty(); }, timeoutMs);
}

RunningInstance::RunningInstance(const LoadedDriver& driver, bcuemu::Bus* bus, bcuemu::Options options)
    : driver_(driver), bcu_(std::make_unique<bcuemu::Bcu>(bus, options)), instance_(driver) {
    if (OverTunnel() && bus != nullptr) {
        tunnelServer_ = std::make_unique<bcuemu::KnxnetServer>(*bus);
        std::string error;
        EXPECT_TRUE(tunnelServer_->Start("127.0.0.1:0", error)) << error;
        port_ = MapTestPort(TunnelTestTarget(*tunnelServer_));
        EXPECT_FALSE(port_.empty());
        return;
    }
    if (!TestLineMissing().empty()) return;  // the fixture skips
    if (OverRouting() && bus != nullptr) {
        // A port of its own on the default group: each instance's router apart.
        router_ = std::make_unique<bcuemu::KnxnetRouter>(*bus);
        std::string error;
        EXPECT_TRUE(router_->Start("224.0.23.12:0", "127.0.0.1", error)) << error;
        port_ = MapTestPort(RoutingTestTarget(*router_));
        EXPECT_FALSE(port_.empty());
        return;
    }
    if (OverFt12() && bus != nullptr) {
        const char* kind = std::getenv("QEL_TEST_LINE");
        bcuemu::Ft12Options ft12{};
        ft12.flavour = std::string(kind) == "ft12cemi" ? bcuemu::EmiFlavour::kCemi : bcuemu::EmiFlavour::kEmi2;
        ft12_ = std::make_unique<bcuemu::Ft12Interface>(*bus, ft12);
        port_ = ServeFt12Line(*ft12_);
        EXPECT_FALSE(port_.empty()) << ft12_->LastError();
        return;
    }
    port_ = ServeTestLine(*bcu_);
    EXPECT_FALSE(port_.empty()) << bcu_->LastError();
}

RunningInstance::~RunningInstance() {
    if (running_) stop();
    if (tunnelServer_) tunnelServer_->Stop();
    if (router_) router_->Stop();
    if (ft12_) ft12_->Stop();
    EndTestLine(port_);
    bcu_->Stop();
}

int32_t RunningInstance::start(bool settle) {
    const int32_t result = instance_.coldStart(port_);
    running_ = result == 0;
    if (running_ && settle) {
        const std::string started = std::string(instance_.data().instanceName) + ": CatchThread Started...";
        EXPECT_TRUE(WaitForLogLine(driver_, started, 20000)) << "listener did not start";
    }
    return result;
}

int32_t RunningInstance::stop() {
    running_ = false;
    return instance_.endQel();
}

}  // namespace qel::test
