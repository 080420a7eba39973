#include "entry/qel_main.h"

#include "entry/host_services.h"
#include "entry/operations.h"

namespace qel {
namespace {

constexpr uint32_t kLastCode = 16;

// Slot n serves function code n; slot 0 and the empty slots hold nullptr.
constexpr Operation kOperations[kLastCode + 1] = {
    nullptr,          // 0: out of range
    ColdStart,        // 1
    WarmStart,        // 2
    SingleParser,     // 3
    DoNothing,        // 4
    GateRead,         // 5
    DoNothing,        // 6
    GateWrite,        // 7
    nullptr,          // 8
    nullptr,          // 9
    DoNothing,        // 10
    EndQel,           // 11
    ClosePort,        // 12
    OpenPort,         // 13
    DescribeDriver,   // 14
    ReconfigurePort,  // 15
    nullptr,          // 16
};

constexpr int32_t kBadCode = 2;

}  // namespace

int32_t DoNothing(RequestBlock*) { return 1; }

int32_t Dispatch(RequestBlock* request) {
    if (request == nullptr) return kBadCode;
    const uint32_t code = request->functionCode;
    if (code == 0 || code > kLastCode) return kBadCode;
    const Operation operation = kOperations[code];
    if (operation == nullptr) return kBadCode;
    // Every operation but the description and the do-nothing codes talks to the host.
    if (operation != DescribeDriver && operation != DoNothing && !host::bind()) return kBadCode;
    return operation(request);
}

}  // namespace qel

extern "C" QEL_EXPORT int32_t QEL_STDCALL QelMain(qel::RequestBlock* request) { return qel::Dispatch(request); }
