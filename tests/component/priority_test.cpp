// Where the platform refuses time-critical priority, the driver runs at normal
// priority, says so once, and nothing fails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/host_functions.h"
#include "entry/qel_main.h"
#include "huxtor_control.h"
#include "support/fault_system.h"

namespace qel {
namespace {

int32_t Call(uint32_t code, InstanceData* instance, void* params) {
    RequestBlock request{};
    request.instance = instance;
    request.functionCode = code;
    request.params = params;
    return Dispatch(&request);
}

uint32_t LinesContaining(const std::string& needle) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < HuxCtlLogCount(); ++i) {
        char text[256];
        int level = 0;
        HuxCtlLogLine(i, &level, text, sizeof text);
        n += std::string(text).find(needle) != std::string::npos;
    }
    return n;
}

TEST(Priority, RefusedTimeCriticalIsReportedOnceAndChangesNothingElse) {
    ASSERT_TRUE(host::Bind());
    HuxCtlReset();
    test::FaultSystem faults;
    faults.failNth(test::Op::kSetThreadPriority, 1, test::FaultSystem::Mode::kFromThenOn);
    InstanceData instance{};
    ColdStartParams params{};
    std::memcpy(params.portName, "NULLDEV", 8);
    params.portEnabled = 1;
    ASSERT_EQ(Call(1, &instance, &params), 0);
    RawValue value{0, 200};
    GateBlock block{};
    block.commandIndex = 5;
    block.groupAddress = 0x0802;
    block.valueArea = &value;
    EXPECT_EQ(Call(7, &instance, &block), 0);
    EXPECT_EQ(Call(7, &instance, &block), 0);
    EXPECT_EQ(Call(11, &instance, nullptr), 0);
    EXPECT_EQ(LinesContaining("time-critical priority not granted, running at normal priority"), 1u);
    EXPECT_GE(faults.calls(test::Op::kSetThreadPriority), 3u);
}

}  // namespace
}  // namespace qel
