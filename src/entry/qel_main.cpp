#include "entry/qel_main.h"

#include "commands/operations.h"
#include "entry/operations.h"
#include "host/host_functions.h"
#include "instance/instance_numbers.h"
#include "instance/operations.h"

namespace qel {
namespace {

using Operation = Result (*)(RequestBlock* request);

struct OperationRow {
    Operation run;            // nullptr: an empty slot
    bool usesHost;            // binds the host library first
    bool needsInstance;       // refused without an instance record
    Result withoutInstance;   // the refusal's result
    bool usesLine;            // counted as on the line, so that EndQel waits for it
};

constexpr uint32_t kLastCode = 16;

// Row n serves function code n; row 0 and the empty rows refuse.
constexpr OperationRow kOperations[kLastCode + 1] = {
    {nullptr, false, false, Result::kFailed, false},           // 0: out of range
    {ColdStart, true, true, Result::kFailed, false},           // 1
    {WarmStart, true, true, Result::kFailed, true},            // 2
    {SingleParser, true, true, Result::kRejected, false},      // 3
    {DoNothing, false, false, Result::kRejected, false},       // 4
    {GateRead, true, true, Result::kRejected, true},           // 5
    {DoNothing, false, false, Result::kRejected, false},       // 6
    {GateWrite, true, true, Result::kRejected, true},          // 7
    {nullptr, false, false, Result::kFailed, false},           // 8
    {nullptr, false, false, Result::kFailed, false},           // 9
    {DoNothing, false, false, Result::kRejected, false},       // 10
    {EndQel, true, true, Result::kFailed, false},              // 11
    {ClosePort, true, true, Result::kFailed, true},            // 12
    {OpenPort, true, true, Result::kFailed, true},             // 13
    {DescribeDriver, false, false, Result::kFailed, false},    // 14
    {ReconfigurePort, true, true, Result::kFailed, true},      // 15
    {nullptr, false, false, Result::kFailed, false},           // 16
};

// The one place where the driver's results become the host's numbers.
int32_t HostNumber(Result result) {
    switch (result) {
    case Result::kDone: return 0;
    case Result::kRejected: return 1;
    case Result::kFailed: return 2;
    }
    return 2;
}

Result Run(RequestBlock* request) {
    if (request == nullptr) return Result::kFailed;
    const uint32_t code = request->functionCode;
    if (code == 0 || code > kLastCode) return Result::kFailed;
    const OperationRow& row = kOperations[code];
    if (row.run == nullptr) return Result::kFailed;
    if (row.usesHost && !host::Bind()) return Result::kFailed;
    if (row.needsInstance && request->instance == nullptr) return row.withoutInstance;
    if (!row.usesLine) return row.run(request);
    const LineRequest onLine(request->instance);
    if (!onLine.Admitted()) return row.withoutInstance;
    return row.run(request);
}

}  // namespace

Result DoNothing(RequestBlock*) { return Result::kRejected; }

int32_t Dispatch(RequestBlock* request) { return HostNumber(Run(request)); }

}  // namespace qel

extern "C" QEL_EXPORT int32_t QEL_STDCALL QelMain(qel::RequestBlock* request) { return qel::Dispatch(request); }
