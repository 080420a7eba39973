#include "driver_host.h"

#include <cstdio>
#include <cstring>

#include "code_page_437.h"

namespace eibhost {
namespace {

// Command indices of the driver's command table that take a group address.
constexpr uint32_t kDigital = 4, kAnalog = 5, kAnalog2 = 6;

void CopyPortName(char (&target)[qel::kPortNameSize], const std::string& port) {
    std::memset(target, 0, sizeof target);
    std::strncpy(target, port.c_str(), sizeof target - 1);
}

}  // namespace

std::string DriverAddressText(const std::string& given, uint32_t commandIndex, uint16_t groupAddress) {
    const char* format = nullptr;
    if (commandIndex == kDigital) format = "D_%02d/%04d";
    if (commandIndex == kAnalog) format = "A_%02d/%04d";
    if (commandIndex == kAnalog2) format = "A2%02d/%04d";
    if (format == nullptr) return UpperCase(given);
    char text[32];
    std::snprintf(text, sizeof text, format, groupAddress >> 11, groupAddress & 0x7FF);
    return text;
}

DriverHost::DriverHost(const qel::loader::DriverLibrary& driver, GateBoard& board) : driver_(driver), board_(board) {}

DriverHost::~DriverHost() = default;

int32_t DriverHost::Describe(std::string& text) {
    qel::DriverDescription description{};
    int32_t result = driver_.Call(kDescribe, nullptr, &description);
    if (result != 0) {
        text = "DescribeDriver (code 14) failed with " + std::to_string(result);
        return result;
    }
    defaultLine_ = description.line;
    instanceSize_ = description.instanceSize;
    char line[256];
    std::snprintf(line, sizeof line,
                  "Driver:        %s\nInstance size: %u bytes\nLine settings: %u baud, %u data bits, stop-bit code %u, "
                  "parity code %u\nWords:         %u, %u, %u\nBanner:",
                  description.driverName != nullptr ? description.driverName : "(none)", description.instanceSize,
                  description.line.baud, description.line.dataBits, description.line.stopBits, description.line.parity,
                  description.word0, description.word16, description.word28);
    text = line + BannerToUtf8(description.banner);
    if (instanceSize_ != sizeof(qel::InstanceData)) {
        text += "\nThe driver asks for " + std::to_string(instanceSize_) + " bytes per instance; this host knows " +
                std::to_string(sizeof(qel::InstanceData)) + ".";
        return 2;
    }
    return 0;
}

DriverHost::Instance& DriverHost::At(int instance) { return instances_.at(static_cast<size_t>(instance - 1)); }
const DriverHost::Instance& DriverHost::At(int instance) const {
    return instances_.at(static_cast<size_t>(instance - 1));
}

bool DriverHost::IsRunning(int instance) const {
    return instance >= 1 && instance <= InstanceCount() && At(instance).running;
}

std::string DriverHost::PortOf(int instance) const { return At(instance).plan.port; }

void DriverHost::AddInstance(const InstancePlan& plan) {
    Instance instance;
    instance.plan = plan;
    instance.record = std::make_unique<qel::InstanceData>();
    instances_.push_back(std::move(instance));
}

qel::LineSettings DriverHost::LineOf(int instance) const {
    const InstancePlan& plan = At(instance).plan;
    return {plan.baud.value_or(defaultLine_.baud), plan.dataBits.value_or(defaultLine_.dataBits),
            plan.stopBits.value_or(defaultLine_.stopBits), plan.parity.value_or(defaultLine_.parity)};
}

int32_t DriverHost::Start(int number) {
    Instance& instance = At(number);
    // A fresh record, as a host allocates one for each start.
    *instance.record = qel::InstanceData{};
    qel::ColdStartParams params{};
    CopyPortName(params.portName, instance.plan.port);
    params.portEnabled = instance.plan.portEnabled;
    params.readTimeout = instance.plan.readTimeout;
    params.line = LineOf(number);
    int32_t result = driver_.Call(kColdStart, instance.record.get(), &params, instance.plan.hostByte);
    // A failed start may still have counted the instance: EndQel undoes that.
    instance.running = true;
    // The listener keeps off the line for seconds after a start: known by then.
    if (result == 0) Listen(instance.record.get(), true);
    return result;
}

int32_t DriverHost::Stop(int number) {
    Instance& instance = At(number);
    int32_t result = driver_.Call(kEnd, instance.record.get(), nullptr);
    instance.running = false;
    Listen(instance.record.get(), false);
    return result;
}

void DriverHost::Listen(const qel::InstanceData* record, bool on) {
    std::lock_guard lock(listeningMutex_);
    std::erase_if(listening_, [&](const Listening& each) { return each.record == record; });
    if (on) listening_.push_back({record->clientId, record->instanceName, record});
}

const uint8_t* DriverHost::ReceivedFrameOfClient(uint32_t clientId) const {
    std::lock_guard lock(listeningMutex_);
    for (const Listening& each : listening_) {
        if (each.clientId == clientId) return each.record->receivedBytes;
    }
    return nullptr;
}

const uint8_t* DriverHost::ReceivedFrameOfInstance(const std::string& instanceName) const {
    std::lock_guard lock(listeningMutex_);
    for (const Listening& each : listening_) {
        if (each.instanceName == instanceName) return each.record->receivedBytes;
    }
    return nullptr;
}

int32_t DriverHost::Parse(Instance& instance, const std::string& address, uint32_t gateType, GateRow& row) {
    qel::ParseBlock block{};
    block.address = address.c_str();
    block.gateType = gateType;
    int32_t result = driver_.Call(kParse, instance.record.get(), &block);
    row.gateType = gateType;
    row.commandIndex = block.commandIndex;
    row.groupAddress = static_cast<uint16_t>(block.groupAddress);
    row.address = DriverAddressText(address, row.commandIndex, row.groupAddress);
    return result;
}

int32_t DriverHost::AddGate(const GatePlan& gate, std::string& problem) {
    Instance& instance = At(gate.instance);
    GateRow row;
    row.instance = gate.instance;
    uint32_t type = gate.type.value_or(DefaultGateType(gate.address));
    int32_t result = Parse(instance, gate.address, type, row);
    if (result != gate.expectParse) {
        problem = "the driver answered " + std::to_string(result) + " to gate '" + gate.address + "' (type " +
                  std::to_string(type) + "), expected " + std::to_string(gate.expectParse);
        return result;
    }
    if (result != 0) return result;  // rejected as expected: nothing to define
    row.gateId = driver_.addGate(row.address.c_str());
    rows_.push_back(row);
    board_.AddRow(row);
    return 0;
}

const GateRow* DriverHost::FindGate(const std::string& address, int instance) {
    auto lookup = [&](const std::string& wanted) -> const GateRow* {
        const GateRow* first = nullptr;
        for (const GateRow& row : rows_) {
            if (row.address != wanted) continue;
            if (row.instance == instance) return &row;
            if (first == nullptr) first = &row;
        }
        return first;
    };
    if (const GateRow* row = lookup(UpperCase(address))) return row;
    // Another spelling of a declared gate ("a_1/2" style): let the driver say which.
    if (instances_.empty()) return nullptr;
    GateRow probe;
    int number = instance >= 1 && instance <= InstanceCount() ? instance : 1;
    if (Parse(At(number), address, DefaultGateType(address), probe) != 0) return nullptr;
    return lookup(probe.address);
}

int32_t DriverHost::Exchange(uint32_t code, Instance& instance, const GateRow& row, qel::RawValue& value) {
    qel::GateBlock block{};
    block.commandIndex = row.commandIndex;
    block.groupAddress = row.groupAddress;
    block.gateId = row.gateId;
    block.valueArea = &value;
    return driver_.Call(code, instance.record.get(), &block);
}

int32_t DriverHost::Read(const GateRow& row, uint16_t& value) {
    qel::RawValue raw{};
    int32_t result = Exchange(kRead, At(row.instance), row, raw);
    value = raw.value;
    if (result == 0 && row.commandIndex >= kDigital && row.commandIndex <= kAnalog2) {
        // The host keeps what a read brought back as the gate's value.
        driver_.setRaw(row.gateId, value);
        board_.ReadValue(row.gateId, value);
    }
    return result;
}

int32_t DriverHost::Write(const GateRow& row, uint16_t value) {
    qel::RawValue raw{0, value};
    int32_t result = Exchange(kWrite, At(row.instance), row, raw);
    if (result == 0) board_.SentValue(row.gateId, value);
    return result;
}

const GateRow* DriverHost::Command(int number, const std::string& name, std::string& problem) {
    Instance& instance = At(number);
    const std::string key = UpperCase(name);
    auto found = instance.commands.find(key);
    if (found != instance.commands.end()) return &found->second;
    GateRow row;
    row.instance = number;
    int32_t result = Parse(instance, key, 0, row);
    if (result != 0) {
        problem = "the driver rejected the command name " + key + " (code 3 result " + std::to_string(result) + ")";
        return nullptr;
    }
    row.gateId = driver_.addGate(row.address.c_str());
    return &instance.commands.emplace(key, row).first->second;
}

int32_t DriverHost::CommandRead(int number, const std::string& name, uint16_t& value, std::string& problem) {
    const GateRow* row = Command(number, name, problem);
    if (row == nullptr) return -1;
    qel::RawValue raw{};
    int32_t result = Exchange(kRead, At(number), *row, raw);
    value = raw.value;
    return result;
}

int32_t DriverHost::CommandWrite(int number, const std::string& name, uint16_t value, std::string& problem) {
    const GateRow* row = Command(number, name, problem);
    if (row == nullptr) return -1;
    qel::RawValue raw{0, value};
    return Exchange(kWrite, At(number), *row, raw);
}

int32_t DriverHost::WarmStart(int number) { return driver_.Call(kWarmStart, At(number).record.get(), nullptr); }
int32_t DriverHost::ClosePort(int number) { return driver_.Call(kClosePort, At(number).record.get(), nullptr); }
int32_t DriverHost::OpenPort(int number) { return driver_.Call(kOpenPort, At(number).record.get(), nullptr); }

int32_t DriverHost::Reconfigure(int number, const std::string& port, uint32_t readTimeout,
                                const qel::LineSettings& line) {
    Instance& instance = At(number);
    qel::PortParams params{};
    CopyPortName(params.portName, port);
    params.readTimeout = readTimeout;
    params.line = line;
    int32_t result = driver_.Call(kReconfigure, instance.record.get(), &params);
    instance.plan.port = port;
    return result;
}

}  // namespace eibhost
