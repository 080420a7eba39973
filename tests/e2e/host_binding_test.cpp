// The shipped driver, loaded as a host loads it, finds its host functions in
// the host library that the host loaded privately at run time, and not
// elsewhere in the process (the C library's err(3) would print and exit).
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/loaded_driver.h"

namespace qel::test {
namespace {

constexpr uint32_t kColdStart = 1;
constexpr uint32_t kEndQel = 11;
constexpr uint32_t kDescribeDriver = 14;

TEST(HostBinding, ColdStartEntryLineReachesTheHostLibraryLog) {
    LoadedDriver d;
    InstanceData instance{};
    ColdStartParams params{};  // portEnabled 0: the entry line and nothing else

    ASSERT_EQ(0, d.Call(kColdStart, &instance, &params));

    char expected[64];
    std::snprintf(expected, sizeof expected, "QelEIB%02d: ColdStart() entered, Version: 01.12",
                  static_cast<int>(instance.instanceNumber));
    EXPECT_GE(instance.instanceNumber, 1);
    const std::vector<LogLine> log = d.Log();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(32, log[0].level);
    EXPECT_EQ(expected, log[0].text);
    EXPECT_EQ(1u, d.callCount("err"));
    EXPECT_EQ(0u, d.callCount("HuxMkClient"));
    EXPECT_EQ(0u, d.clientCount());

    // Give the instance number back: later tests in this process count from 1 again.
    EXPECT_EQ(0, d.Call(kEndQel, &instance, nullptr));
}

TEST(HostBinding, MissingHostLibraryFailsTheTestByName) {
    EXPECT_NONFATAL_FAILURE(
        {
            try {
                LoadedDriver d("no_such_dir/no_such_host_library", "no_such_dir/no_such_driver");
            } catch (const std::runtime_error&) {
            }
        },
        "cannot load the host library no_such_dir/no_such_host_library");
}

}  // namespace
}  // namespace qel::test
