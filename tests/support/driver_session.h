// Requests to one driver instance, as a host sends them, for end-to-end tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "abi/records.h"
#include "support/loaded_driver.h"

namespace qel::test {

// Function codes.
enum Code : uint32_t {
    kColdStart = 1, kWarmStart = 2, kParse = 3, kRead = 5, kWrite = 7, kEndQel = 11,
    kClosePort = 12, kOpenPort = 13, kDescribe = 14, kReconfigure = 15,
};

struct ReadResult {
    int32_t result;
    uint16_t word0;
    uint16_t value;
};

class DriverInstance {
public:
    explicit DriverInstance(const LoadedDriver& driver) : driver_(driver) {}

    InstanceData& data() { return data_; }

    int32_t coldStart(const std::string& port, uint32_t portEnabled = 1, uint32_t readTimeout = 100,
                      uint8_t hostByte = 7);
    int32_t warmStart() { return driver_.Call(kWarmStart, &data_, nullptr); }
    int32_t endQel() { return driver_.Call(kEndQel, &data_, nullptr); }
    int32_t closePort() { return driver_.Call(kClosePort, &data_, nullptr); }
    int32_t openPort() { return driver_.Call(kOpenPort, &data_, nullptr); }
    int32_t reconfigure(const std::string& port, uint32_t readTimeout = 0, LineSettings line = {9600, 8, 0, 0});

    // Parses `address`; returns the result and fills `block`.
    int32_t parse(const std::string& address, uint32_t gateType, ParseBlock* block = nullptr);
    ReadResult read(int32_t commandIndex, uint16_t groupAddress = 0, uint32_t gateId = 0);
    int32_t write(int32_t commandIndex, uint16_t groupAddress, uint16_t value);

private:
    const LoadedDriver& driver_;
    InstanceData data_{};
};

// Lines of the host's log that contain `needle`.
std::vector<std::string> LinesWith(const LoadedDriver& driver, const std::string& needle);

}  // namespace qel::test
