#include "driver_host.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/driver_session.h"
#include "support/loaded_driver.h"

namespace bench {

namespace {

constexpr int32_t kGroupBitCommand = 4;  // "D_" in the driver's command table
constexpr int kListenerStartMs = 20000;  // the listener settles 5 s after ColdStart

}  // namespace

struct DriverHost::Loaded {
    Loaded(const std::string& hostLibraryPath, const std::string& driverPath)
        : driver(hostLibraryPath, driverPath), instance(driver) {}
    qel::test::LoadedDriver driver;
    qel::test::DriverInstance instance;
};

DriverHost::DriverHost(const std::string& hostLibraryPath, const std::string& driverPath) {
    try {
        loaded_ = std::make_unique<Loaded>(hostLibraryPath, driverPath);
    } catch (const std::exception& e) {
        error_ = e.what();
    }
}

DriverHost::~DriverHost() {
    if (loaded_) loaded_->driver.onPut(nullptr, nullptr);
}

bool DriverHost::Start(const std::string& port, std::string& error) {
    loaded_->instance.data() = qel::InstanceData{};  // a host hands every ColdStart a zeroed record
    loaded_->driver.logClear();
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t result = loaded_->instance.coldStart(port);
    coldStartMs_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (result != 0) {
        error = "ColdStart on " + port + " returned " + std::to_string(result) + "\n" + LogTail(10);
        return false;
    }
    const std::string started = std::string(loaded_->instance.data().instanceName) + ": CatchThread Started...";
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenerStartMs);
    while (qel::test::LinesWith(loaded_->driver, started).empty()) {
        if (std::chrono::steady_clock::now() >= end) {
            error = "the listener did not start\n" + LogTail(10);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the host's log has no wait
    }
    return true;
}

int DriverHost::Stop() { return loaded_->instance.endQel(); }

int DriverHost::ReadBit(uint16_t group, uint16_t* value) {
    const qel::test::ReadResult read = loaded_->instance.read(kGroupBitCommand, group);
    *value = read.value;
    return read.result;
}

int DriverHost::WriteBit(uint16_t group, uint16_t value) {
    return loaded_->instance.write(kGroupBitCommand, group, value);
}

uint32_t DriverHost::AddGate(const std::string& address) { return loaded_->driver.addGate(address.c_str()); }

void DriverHost::OnPut(PutHandler handler, void* context) {
    handler_ = handler;
    context_ = context;
    if (handler == nullptr) {
        loaded_->driver.onPut(nullptr, nullptr);
        return;
    }
    loaded_->driver.onPut(
        [](void* self, uint32_t, uint32_t gateId, const char*, uint16_t) {
            auto* host = static_cast<DriverHost*>(self);
            host->handler_(host->context_, gateId);
        },
        this);
}

std::string DriverHost::LogTail(int count) const {
    const std::vector<std::string> lines = loaded_->driver.LogTexts();
    std::string text;
    for (size_t i = lines.size() > static_cast<size_t>(count) ? lines.size() - count : 0; i < lines.size(); ++i)
        text += "  " + lines[i] + "\n";
    return text;
}

}  // namespace bench
