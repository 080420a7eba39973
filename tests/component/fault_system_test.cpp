// The fault-injecting System used by the failure-path tests.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/fault_system.h"

namespace qel {
namespace {

using test::FaultSystem;
using test::Op;

TEST(FaultSystem, FailsTheNthCallOnceAndCountsEveryCall) {
    FaultSystem faults;
    faults.failNth("createEvent", 2);
    platform::Event* first = platform::Sys().createEvent(nullptr);
    platform::Event* second = platform::Sys().createEvent(nullptr);
    platform::Event* third = platform::Sys().createEvent(nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(faults.calls(Op::kCreateEvent), 3u);
    EXPECT_EQ(faults.failures(), 1u);
    platform::Sys().closeEvent(first);
    platform::Sys().closeEvent(third);
}

TEST(FaultSystem, FailsFromThenOnUntilCleared) {
    FaultSystem faults;
    faults.failNth(Op::kLockMutex, 1, FaultSystem::Mode::kFromThenOn);
    platform::Mutex* m = platform::Sys().createMutex(nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(platform::Sys().lockMutex(m, 0), platform::WaitResult::kFailed);
    EXPECT_EQ(platform::Sys().lockMutex(m, 0), platform::WaitResult::kFailed);
    faults.clearFaults();
    EXPECT_EQ(platform::Sys().lockMutex(m, 0), platform::WaitResult::kSignalled);
    EXPECT_TRUE(platform::Sys().unlockMutex(m));
    EXPECT_TRUE(platform::Sys().closeMutex(m));
}

TEST(FaultSystem, PortsOpenedThroughItFailChosenOperations) {
    FaultSystem faults;
    platform::Port* port = platform::Sys().openPort("NUL");
    ASSERT_NE(port, nullptr);
    faults.failNth("write", 1);
    const uint8_t byte = 1;
    uint32_t written = 7;
    EXPECT_FALSE(port->methods->write(port, &byte, 1, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(port->methods->write(port, &byte, 1, &written));
    EXPECT_EQ(written, 1u);
    faults.failNth("close", 1);
    EXPECT_FALSE(port->methods->close(port));  // still open
    EXPECT_TRUE(port->methods->close(port));
    EXPECT_EQ(faults.calls("close"), 2u);
}

TEST(FaultSystem, UninstallsItself) {
    {
        FaultSystem faults;
        EXPECT_NE(&platform::Sys(), &platform::NativeSystem());
    }
    EXPECT_EQ(&platform::Sys(), &platform::NativeSystem());
}

}  // namespace
}  // namespace qel
