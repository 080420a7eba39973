// The host side of the driver: describes it, owns each instance's record,
// parses gates and serves the requests a process-control host would make.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver_binding.h"
#include "gate_board.h"
#include "session_plan.h"

namespace eibhost {

// Function codes of QelMain.
enum Code : uint32_t {
    kColdStart = 1,
    kWarmStart = 2,
    kParse = 3,
    kRead = 5,
    kWrite = 7,
    kEnd = 11,
    kClosePort = 12,
    kOpenPort = 13,
    kDescribe = 14,
    kReconfigure = 15,
};

class DriverHost {
public:
    DriverHost(const DriverBinding& driver, GateBoard& board);
    ~DriverHost();

    // Code 14. Fills the defaults used for instances; returns the result.
    int32_t describe(std::string& text);

    int instanceCount() const { return static_cast<int>(instances_.size()); }
    bool isRunning(int instance) const;
    std::string portOf(int instance) const;
    void addInstance(const InstancePlan& plan);
    int32_t start(int instance);  // code 1
    int32_t stop(int instance);   // code 11

    // Code 3 for a declared gate; on success the gate is defined in the host
    // library and shown on the board. `problem` explains a rejection.
    int32_t addGate(const GatePlan& gate, std::string& problem);
    // The row of a gate (address as given or as the driver builds it), preferring `instance`.
    const GateRow* findGate(const std::string& address, int instance);

    int32_t read(const GateRow& row, uint16_t& value);       // code 5
    int32_t write(const GateRow& row, uint16_t value);       // code 7
    // A BCU command by name (GET_0116, PUT_LAYER, CHK_COMM, SET_DTR...), parsed on first use.
    int32_t commandRead(int instance, const std::string& name, uint16_t& value, std::string& problem);
    int32_t commandWrite(int instance, const std::string& name, uint16_t value, std::string& problem);

    int32_t warmStart(int instance);   // code 2
    int32_t closePort(int instance);   // code 12
    int32_t openPort(int instance);    // code 13
    int32_t reconfigure(int instance, const std::string& port, uint32_t readTimeout,
                        const qel::LineSettings& line);  // code 15
    qel::LineSettings lineOf(int instance) const;

private:
    struct Instance {
        InstancePlan plan;
        std::unique_ptr<qel::InstanceData> record;
        bool running = false;
        std::map<std::string, GateRow> commands;  // BCU commands parsed so far
    };
    Instance& at(int instance);
    const Instance& at(int instance) const;
    int32_t parse(Instance& instance, const std::string& address, uint32_t gateType, GateRow& row);
    const GateRow* command(int instance, const std::string& name, std::string& problem);
    int32_t exchange(uint32_t code, Instance& instance, const GateRow& row, qel::RawValue& value);

    const DriverBinding& driver_;
    GateBoard& board_;
    qel::LineSettings defaultLine_{9600, 8, 0, 0};
    uint32_t instanceSize_ = sizeof(qel::InstanceData);
    std::vector<Instance> instances_;
    std::vector<GateRow> rows_;
};

// The address text the driver builds for a group gate ("A_01/0002"), or the
// upper-cased name for a command.
std::string DriverAddressText(const std::string& given, uint32_t commandIndex, uint16_t groupAddress);

}  // namespace eibhost
