// Two instances on two BCUs of one bus.
#include "e2e/running_fixture.h"

#include <thread>

namespace qel::test {
namespace {

using bcuemu::ValueSize;

TEST(TwoInstances, EachSeesTheOthersTelegramsOnce) {
    LoadedDriver driver;
    bcuemu::Bus bus;
    RunningInstance first(driver, &bus);
    RunningInstance second(driver, &bus);
    ASSERT_EQ(first.start(false), 0);
    ASSERT_EQ(second.start(), 0);
    EXPECT_STREQ(second.instance().data().instanceName, "QelEIB02");
    ASSERT_TRUE(WaitForLogLine(driver, "QelEIB01: CatchThread Started...", 10000));
    const uint32_t byteGate = driver.addGate("A_05/0001");
    const uint32_t bitGate = driver.addGate("D_05/0002");

    EXPECT_EQ(first.instance().write(5, 0x2801, 9), 0);
    EXPECT_EQ(second.instance().write(4, 0x2802, 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(byteGate) == 1 && driver.putCount(bitGate) == 1; }, 5000));
    // Neither BCU indicates its own telegram: one put each, not two.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(driver.putCount(byteGate), 1u);
    EXPECT_EQ(driver.putCount(bitGate), 1u);
    EXPECT_EQ(first.instance().data().lastBitValue, 1);
    EXPECT_EQ(second.instance().data().lastByteValue, 9);

    EXPECT_EQ(second.stop(), 0);
    EXPECT_EQ(LinesWith(driver, "left"), Lines{"QelEIB02: No. of Instances left: 1"});
    EXPECT_EQ(first.stop(), 0);
}

TEST(TwoInstances, StartingOneKeepsTheOthersReadAnswer) {
    LoadedDriver driver;
    bcuemu::Bus bus;
    RunningInstance first(driver, &bus, bcuemu::Options{});
    ASSERT_EQ(first.start(), 0);
    bus.AddDevice(0x0802, ValueSize::kByte, 0x42);
    driver.addGate("A_01/0002");
    std::thread starter([&] {
        DriverInstance other(driver);
        EXPECT_EQ(other.coldStart("NULLDEV"), 0);
        EXPECT_EQ(other.endQel(), 0);
    });
    for (int i = 0; i < 10; ++i) {
        const ReadResult read = first.instance().read(5, 0x0802);
        EXPECT_EQ(read.result, 0);
        EXPECT_EQ(read.value, 0x42);
    }
    starter.join();
    EXPECT_EQ(first.stop(), 0);
}

TEST(Listener, EndQelStopsAListenerHeldOnTheLine) {
    LoadedDriver driver;
    bcuemu::Bus bus;
    RunningInstance running(driver, &bus);
    ASSERT_EQ(running.start(), 0);
    running.bcu().Faults().CtsStuckOn();
    running.bcu().QueueFrame({0xAA, 0x49, 0xBC, 0x12, 0x01, 0x08, 0x01, 0xE2, 0x00, 0x80, 0x37});
    ASSERT_TRUE(WaitUntil([&] { return running.bcu().LineState().cts; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    driver.logClear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(running.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(LinesWith(driver, "CloseCatchThread failed").empty());
    EXPECT_EQ(LinesWith(driver, "EndQel"), (Lines{"QelEIB01: EndQel()", "QelEIB01: EndQel() Remove huxtor client"}));
    running.bcu().Faults().Clear();
}

TEST(Listener, EndQelDuringTheSettlingReturnsSoon) {
    LoadedDriver driver;
    bcuemu::Bus bus;
    RunningInstance running(driver, &bus);
    ASSERT_EQ(running.start(false), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(running.stop(), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(990));
    EXPECT_LT(took, std::chrono::milliseconds(3500));
    EXPECT_TRUE(LinesWith(driver, "Started").empty());
}

}  // namespace
}  // namespace qel::test
