#include "support/driver_session.h"

#include <algorithm>
#include <cstring>

namespace qel::test {

int32_t DriverInstance::coldStart(const std::string& port, uint32_t portEnabled, uint32_t readTimeout,
                                  uint8_t hostByte) {
    ColdStartParams params{};
    std::memcpy(params.portName, port.c_str(), std::min(port.size() + 1, sizeof params.portName));
    params.portEnabled = portEnabled;
    params.readTimeout = readTimeout;
    params.line = LineSettings{9600, 8, 0, 0};
    return driver_.Call(kColdStart, &data_, &params, hostByte);
}

int32_t DriverInstance::reconfigure(const std::string& port, uint32_t readTimeout, LineSettings line) {
    PortParams params{};
    std::memcpy(params.portName, port.c_str(), std::min(port.size() + 1, sizeof params.portName));
    params.readTimeout = readTimeout;
    params.line = line;
    return driver_.Call(kReconfigure, &data_, &params);
}

int32_t DriverInstance::parse(const std::string& address, uint32_t gateType, ParseBlock* block) {
    ParseBlock local{};
    ParseBlock* target = block != nullptr ? block : &local;
    target->address = address.c_str();
    target->gateType = gateType;
    return driver_.Call(kParse, &data_, target);
}

ReadResult DriverInstance::read(int32_t commandIndex, uint16_t groupAddress, uint32_t gateId) {
    RawValue area{0xAAAA, 0xBBBB};  // the read must clear both words
    GateBlock block{};
    block.commandIndex = static_cast<uint32_t>(commandIndex);
    block.groupAddress = groupAddress;
    block.gateId = gateId;
    block.valueArea = &area;
    const int32_t result = driver_.Call(kRead, &data_, &block);
    return ReadResult{result, area.word0, area.value};
}

int32_t DriverInstance::write(int32_t commandIndex, uint16_t groupAddress, uint16_t value) {
    RawValue area{0, value};
    GateBlock block{};
    block.commandIndex = static_cast<uint32_t>(commandIndex);
    block.groupAddress = groupAddress;
    block.valueArea = &area;
    return driver_.Call(kWrite, &data_, &block);
}

std::vector<std::string> LinesWith(const LoadedDriver& driver, const std::string& needle) {
    std::vector<std::string> lines;
    for (const std::string& text : driver.LogTexts()) {
        if (text.find(needle) != std::string::npos) lines.push_back(text);
    }
    return lines;
}

}  // namespace qel::test
