// The benchmark's host: loads the shipped driver and the host library through
// the dynamic loader as the real host does, and runs one instance. The only
// place that knows how the loading is done.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace bench {

class DriverHost {
public:
    // Called on the driver's listener thread after each value put into a gate.
    using PutHandler = void (*)(void* context, uint32_t gateId);

    // Loads both libraries; on failure ok() is false and error() says why.
    DriverHost(const std::string& hostLibraryPath, const std::string& driverPath);
    ~DriverHost();

    bool ok() const { return loaded_ != nullptr; }
    const std::string& error() const { return error_; }

    // ColdStart on `port`, then waits until the listener has started.
    bool Start(const std::string& port, std::string& error);
    // How long the last Start's ColdStart took (the link's set-up), ms.
    double ColdStartMs() const { return coldStartMs_; }
    int Stop();

    // "D_" requests for a group address: the host's result code.
    int ReadBit(uint16_t group, uint16_t* value);
    int WriteBit(uint16_t group, uint16_t value);

    uint32_t AddGate(const std::string& address);
    void OnPut(PutHandler handler, void* context);
    // The last `count` lines of the host's log, oldest first.
    std::string LogTail(int count) const;

private:
    struct Loaded;
    std::unique_ptr<Loaded> loaded_;
    std::string error_;
    PutHandler handler_ = nullptr;
    void* context_ = nullptr;
    double coldStartMs_ = 0;
};

}  // namespace bench
