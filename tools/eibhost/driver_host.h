// The host side of the driver: describes it, owns each instance's record,
// parses gates and serves the requests a process-control host would make.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver_library.h"
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
    DriverHost(const qel::loader::DriverLibrary& driver, GateBoard& board);
    ~DriverHost();

    // Code 14. Fills the defaults used for instances; returns the result.
    int32_t Describe(std::string& text);

    int InstanceCount() const { return static_cast<int>(instances_.size()); }
    bool IsRunning(int instance) const;
    std::string PortOf(int instance) const;
    void AddInstance(const InstancePlan& plan);
    int32_t Start(int instance);  // code 1
    int32_t Stop(int instance);   // code 11

    // Code 3 for a declared gate; on success the gate is defined in the host
    // library and shown on the board. `problem` explains a rejection.
    int32_t AddGate(const GatePlan& gate, std::string& problem);
    // The row of a gate (address as given or as the driver builds it), preferring `instance`.
    const GateRow* FindGate(const std::string& address, int instance);

    int32_t Read(const GateRow& row, uint16_t& value);       // code 5
    int32_t Write(const GateRow& row, uint16_t value);       // code 7
    // A BCU command by name (GET_0116, PUT_LAYER, CHK_COMM, SET_DTR...), parsed on first use.
    int32_t CommandRead(int instance, const std::string& name, uint16_t& value, std::string& problem);
    int32_t CommandWrite(int instance, const std::string& name, uint16_t value, std::string& problem);

    int32_t WarmStart(int instance);   // code 2
    int32_t ClosePort(int instance);   // code 12
    int32_t OpenPort(int instance);    // code 13
    int32_t Reconfigure(int instance, const std::string& port, uint32_t readTimeout,
                        const qel::LineSettings& line);  // code 15
    qel::LineSettings LineOf(int instance) const;

    // The frame a running instance's listener is delivering, for the host
    // library's callbacks, which run on that listener's thread while the frame
    // stays put: found by the host client the instance registered, or by its
    // instance name ("QelEIB01"). nullptr for none.
    const uint8_t* ReceivedFrameOfClient(uint32_t clientId) const;
    const uint8_t* ReceivedFrameOfInstance(const std::string& instanceName) const;

private:
    struct Instance {
        InstancePlan plan;
        std::unique_ptr<qel::InstanceData> record;
        bool running = false;
        std::map<std::string, GateRow> commands;  // BCU commands parsed so far
    };
    Instance& At(int instance);
    const Instance& At(int instance) const;
    int32_t Parse(Instance& instance, const std::string& address, uint32_t gateType, GateRow& row);
    const GateRow* Command(int instance, const std::string& name, std::string& problem);
    int32_t Exchange(uint32_t code, Instance& instance, const GateRow& row, qel::RawValue& value);

    struct Listening {
        uint32_t clientId;
        std::string instanceName;
        const qel::InstanceData* record;
    };
    void Listen(const qel::InstanceData* record, bool on);

    const qel::loader::DriverLibrary& driver_;
    GateBoard& board_;
    mutable std::mutex listeningMutex_;  // listening_ is read on listener threads
    std::vector<Listening> listening_;
    qel::LineSettings defaultLine_{9600, 8, 0, 0};
    uint32_t instanceSize_ = sizeof(qel::InstanceData);
    std::vector<Instance> instances_;
    std::vector<GateRow> rows_;
};

// The address text the driver builds for a group gate ("A_01/0002"), or the
// upper-cased name for a command.
std::string DriverAddressText(const std::string& given, uint32_t commandIndex, uint16_t groupAddress);

}  // namespace eibhost
