// Starting and stopping instances on the pseudo port, through QelMain.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "support/driver_session.h"

namespace qel::test {
namespace {

using Lines = std::vector<std::string>;

// The driver's own lines, without the one-off note about thread priority.
Lines DriverLines(const LoadedDriver& driver) {
    Lines lines;
    for (const std::string& line : driver.LogTexts()) {
        if (line.find("priority") == std::string::npos) lines.push_back(line);
    }
    return lines;
}

class LifecycleOnNulldev : public ::testing::Test {
protected:
    LoadedDriver driver;
};

TEST_F(LifecycleOnNulldev, FirstColdStartNamesRegistersAndResets) {
    DriverInstance instance(driver);
    ASSERT_EQ(instance.coldStart("NULLDEV"), 0);
    const InstanceData& data = instance.data();
    EXPECT_STREQ(data.instanceName, "QelEIB01");
    EXPECT_STREQ(data.clientName, "QelEIB01");
    EXPECT_STREQ(data.lineLockName, "COMMBUSYQelEIB01");
    EXPECT_STREQ(data.startEventName, "SYNCTHREADQelEIB01");
    EXPECT_EQ(data.instanceNumber, 1);
    EXPECT_EQ(data.driverVersion, 274);
    EXPECT_EQ(data.portHandle, kPseudoPort);
    EXPECT_EQ(data.portSettings.openFlags, 0x0101);
    EXPECT_EQ(data.hostByte, 7);
    EXPECT_EQ(data.readTimeout, 100u);
    EXPECT_EQ(driver.clientCount(), 1u);
    EXPECT_EQ(DriverLines(driver), (Lines{
                                       "QelEIB01: ColdStart() entered, Version: 01.12",
                                       "QelEIB01: ColdStart() SetCommMask() fail",
                                       "QelEIB01: CatchThread Wait...",
                                       "QelEIB01: ResetBCU",
                                       "QelEIB01: ColdStart() ResetCommunication done (rc = 0)",
                                       "QelEIB01: ColdStart() end OK",
                                   }));

    driver.logClear();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(instance.endQel(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(990));
    EXPECT_EQ(DriverLines(driver), (Lines{
                                       "QelEIB01: EndQel()",
                                       "QelEIB01: EndQel() Remove huxtor client",
                                       "QelEIB01: No. of Instances left: 0",
                                   }));
    EXPECT_EQ(instance.data().instanceNumber, -1);
    EXPECT_EQ(instance.data().portHandle, kNoPort);
    EXPECT_EQ(driver.clientCount(), 0u);
}

TEST_F(LifecycleOnNulldev, PortDisabledLogsOnlyTheEntryLineAndKeepsTheNumber) {
    DriverInstance first(driver);
    ASSERT_EQ(first.coldStart("NULLDEV", 0), 0);
    EXPECT_EQ(DriverLines(driver), Lines{"QelEIB01: ColdStart() entered, Version: 01.12"});
    EXPECT_EQ(first.data().portHandle, kNoPort);
    EXPECT_EQ(driver.clientCount(), 0u);

    DriverInstance second(driver);
    ASSERT_EQ(second.coldStart("NULLDEV", 0), 0);
    EXPECT_STREQ(second.data().instanceName, "QelEIB02");
    driver.logClear();
    EXPECT_EQ(second.endQel(), 0);
    EXPECT_EQ(first.endQel(), 0);
    EXPECT_EQ(LinesWith(driver, "left"), (Lines{"QelEIB02: No. of Instances left: 1",
                                                "QelEIB01: No. of Instances left: 0"}));
}

TEST_F(LifecycleOnNulldev, NulldevInAnyCaseIsThePseudoPort) {
    for (const char* name : {"nulldev", "NullDev"}) {
        DriverInstance instance(driver);
        ASSERT_EQ(instance.coldStart(name), 0) << name;
        EXPECT_EQ(instance.data().portHandle, kPseudoPort) << name;
        EXPECT_EQ(instance.endQel(), 0);
    }
}

TEST_F(LifecycleOnNulldev, SecondInstanceGetsItsOwnNames) {
    DriverInstance first(driver);
    DriverInstance second(driver);
    ASSERT_EQ(first.coldStart("NULLDEV"), 0);
    ASSERT_EQ(second.coldStart("NULLDEV"), 0);
    EXPECT_EQ(second.data().instanceNumber, 2);
    EXPECT_STREQ(second.data().instanceName, "QelEIB02");
    EXPECT_STREQ(second.data().lineLockName, "COMMBUSYQelEIB02");
    EXPECT_STREQ(second.data().startEventName, "SYNCTHREADQelEIB02");
    EXPECT_EQ(driver.clientCount(), 2u);
    EXPECT_EQ(second.endQel(), 0);
    EXPECT_EQ(first.endQel(), 0);
}

TEST_F(LifecycleOnNulldev, FifthInstanceIsRefusedBeforeAnythingIsCreated) {
    std::vector<std::unique_ptr<DriverInstance>> running;
    for (int i = 0; i < 4; ++i) {
        running.push_back(std::make_unique<DriverInstance>(driver));
        ASSERT_EQ(running.back()->coldStart("NULLDEV", 0), 0);
    }
    driver.logClear();
    DriverInstance fifth(driver);
    EXPECT_EQ(fifth.coldStart("NULLDEV"), 2);
    EXPECT_EQ(DriverLines(driver), Lines{"QelEIB: ColdStart() fail, all 4 instances in use"});
    EXPECT_EQ(fifth.data().portHandle, kNoPort);
    EXPECT_EQ(fifth.data().instanceName[0], '\0');
    for (auto& instance : running) EXPECT_EQ(instance->endQel(), 0);
}

TEST_F(LifecycleOnNulldev, NumbersAreReusedOnlyOnceFree) {
    DriverInstance first(driver);
    DriverInstance second(driver);
    ASSERT_EQ(first.coldStart("NULLDEV", 0), 0);
    ASSERT_EQ(second.coldStart("NULLDEV", 0), 0);
    ASSERT_EQ(first.endQel(), 0);
    DriverInstance third(driver);
    ASSERT_EQ(third.coldStart("NULLDEV", 0), 0);
    EXPECT_EQ(third.data().instanceNumber, 1);  // the lowest free, never the running 2
    EXPECT_EQ(second.endQel(), 0);
    EXPECT_EQ(third.endQel(), 0);
}

TEST_F(LifecycleOnNulldev, ColdStartOfARunningInstanceIsRefused) {
    DriverInstance instance(driver);
    ASSERT_EQ(instance.coldStart("NULLDEV"), 0);
    const InstanceData before = instance.data();
    driver.logClear();
    EXPECT_EQ(instance.coldStart("NULLDEV"), 2);
    EXPECT_EQ(DriverLines(driver), Lines{"QelEIB01: ColdStart() fail, instance is running"});
    EXPECT_EQ(std::memcmp(&before, &instance.data(), sizeof before), 0);
    EXPECT_EQ(instance.endQel(), 0);
}

TEST_F(LifecycleOnNulldev, RepeatedOrUnstartedEndQelLeavesTheCountAlone) {
    DriverInstance running(driver);
    ASSERT_EQ(running.coldStart("NULLDEV", 0), 0);
    DriverInstance never(driver);
    std::strcpy(never.data().instanceName, "Never");
    EXPECT_EQ(never.endQel(), 0);
    DriverInstance ended(driver);
    ASSERT_EQ(ended.coldStart("NULLDEV", 0), 0);
    EXPECT_EQ(ended.endQel(), 0);
    EXPECT_EQ(ended.endQel(), 0);
    EXPECT_EQ(LinesWith(driver, "left"), (Lines{"Never: No. of Instances left: 1",
                                                "QelEIB02: No. of Instances left: 1",
                                                "QelEIB02: No. of Instances left: 1"}));
    EXPECT_EQ(running.endQel(), 0);
}

TEST_F(LifecycleOnNulldev, WarmStartOnThePseudoPortReturnsAtOnce) {
    DriverInstance instance(driver);
    ASSERT_EQ(instance.coldStart("NULLDEV"), 0);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(instance.warmStart(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1000));
    EXPECT_EQ(instance.endQel(), 0);
}

TEST_F(LifecycleOnNulldev, PortRequestsWithoutADevice) {
    DriverInstance instance(driver);
    EXPECT_EQ(instance.closePort(), 0);
    EXPECT_EQ(instance.closePort(), 0);
    ASSERT_EQ(instance.coldStart("NULLDEV"), 0);
    EXPECT_EQ(instance.closePort(), 0);
    EXPECT_EQ(instance.data().portHandle, kNoPort);
    EXPECT_EQ(instance.openPort(), 0);
    EXPECT_EQ(instance.data().portHandle, kPseudoPort);
    EXPECT_EQ(instance.reconfigure("nulldev", 0, LineSettings{19200, 7, 2, 2}), 0);
    EXPECT_EQ(instance.data().readTimeout, 100u);  // 0 keeps the stored value
    EXPECT_STREQ(instance.data().portSettings.portName, "nulldev");
    EXPECT_EQ(instance.data().portSettings.line.baud, 19200);
    EXPECT_EQ(instance.data().portSettings.openFlags, 0x0101);
    EXPECT_EQ(instance.reconfigure("NULLDEV", 55), 0);
    EXPECT_EQ(instance.data().readTimeout, 55u);
    EXPECT_EQ(instance.reconfigure("nosuchport"), 2);
    EXPECT_EQ(instance.data().portHandle, kNoPort);  // the name changed, so the old port was closed
    EXPECT_EQ(instance.endQel(), 0);
}

TEST_F(LifecycleOnNulldev, UnopenablePortsFailWithTheirName) {
    DriverInstance missing(driver);
    EXPECT_EQ(missing.coldStart("nosuchport"), 2);
    EXPECT_EQ(DriverLines(driver), (Lines{"QelEIB01: ColdStart() entered, Version: 01.12",
                                          "QelEIB01: Fail to open nosuchport"}));
    EXPECT_EQ(missing.data().portHandle, kNoPort);

    driver.logClear();
    DriverInstance unterminated(driver);
    ColdStartParams params{};
    std::memset(params.portName, 'X', sizeof params.portName);  // 12 characters, no room for the NUL
    params.portEnabled = 1;
    EXPECT_EQ(driver.Call(kColdStart, &unterminated.data(), &params), 2);
    EXPECT_EQ(LinesWith(driver, "Fail to open"), Lines{"QelEIB02: Fail to open XXXXXXXXXXXX"});
    EXPECT_EQ(unterminated.endQel(), 0);
    EXPECT_EQ(missing.endQel(), 0);
}

TEST_F(LifecycleOnNulldev, FailedRegistrationIsLoggedWithItsStatus) {
    driver.fail("HuxMkClient", 0xBEEF, 0, 1);
    DriverInstance instance(driver);
    EXPECT_EQ(instance.coldStart("NULLDEV"), 2);
    EXPECT_EQ(LinesWith(driver, "Huxtor"),
              Lines{"QelEIB01: Error while registering as a Huxtor client, rc = 48879"});
    EXPECT_EQ(instance.data().listenerThread, nullptr);
    EXPECT_EQ(instance.endQel(), 0);
}

TEST_F(LifecycleOnNulldev, MissingBlocksAreRefusedWithoutTouchingMemory) {
    EXPECT_EQ(driver.Call(kColdStart, nullptr, nullptr), 2);
    EXPECT_EQ(driver.Call(kEndQel, nullptr, nullptr), 2);
    EXPECT_EQ(driver.Call(kRead, nullptr, nullptr), 1);
    EXPECT_EQ(driver.Call(kWrite, nullptr, nullptr), 1);
    DriverInstance instance(driver);
    EXPECT_EQ(driver.Call(kColdStart, &instance.data(), nullptr), 2);
    EXPECT_EQ(LinesWith(driver, "ColdStart() fail"), Lines{"QelEIB01: ColdStart() fail, no parameter block"});
    EXPECT_EQ(driver.Call(kRead, &instance.data(), nullptr), 1);
    EXPECT_EQ(driver.Call(kWrite, &instance.data(), nullptr), 1);
    EXPECT_EQ(driver.Call(kReconfigure, &instance.data(), nullptr), 2);
    EXPECT_EQ(instance.endQel(), 0);
}

}  // namespace
}  // namespace qel::test
