// Bus telegrams reach the host's gates as they arrive.
#include "e2e/running_fixture.h"

#include <algorithm>
#include <thread>

namespace qel::test {
namespace {

using bcuemu::ValueSize;

class Delivery : public OnEmulatedBus {};

TEST_F(Delivery, EachSizeReachesItsGate) {
    driver.addGate("D_01/0001");
    driver.addGate("A_01/0002");
    driver.addGate("A201/0003");
    bus.Inject(0x0801, ValueSize::kBit, 1);
    bus.Inject(0x0802, ValueSize::kByte, 0x37);
    bus.Inject(0x0803, ValueSize::kWord, 0x1234);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(driver.gateId("A201/0003")) == 1; }, 3000));
    EXPECT_EQ(GateValue("D_01/0001"), 1);
    EXPECT_EQ(GateValue("A_01/0002"), 0x37);
    EXPECT_EQ(GateValue("A201/0003"), 0x1234);
    EXPECT_EQ(instance().data().lastBitValue, 1);
    EXPECT_EQ(instance().data().lastByteValue, 0x37);
    EXPECT_EQ(instance().data().lastWordValue, 0x1234);
    EXPECT_TRUE(driver.LogTexts().empty());
}

TEST_F(Delivery, BytesThatLookLikeTheHeaderAreDelivered) {
    // Headers: 0xA9 (one bit), 0xAA (one byte), 0x2B (two bytes).
    driver.addGate("D_01/0169");  // group 0x08A9
    driver.addGate("A_01/0002");
    driver.addGate("A201/0003");
    bus.Inject(0x08A9, ValueSize::kBit, 1);
    bus.Inject(0x0802, ValueSize::kByte, 0xAA);
    bus.Inject(0x0803, ValueSize::kWord, 0x2B2B);
    bus.Inject(0x0802, ValueSize::kByte, 0x01);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(driver.gateId("A_01/0002")) == 2; }, 5000));
    EXPECT_EQ(driver.putCount(driver.gateId("D_01/0169")), 1u);
    EXPECT_EQ(GateValue("A201/0003"), 0x2B2B);
    EXPECT_EQ(GateValue("A_01/0002"), 0x01);
}

TEST_F(Delivery, OnlyBitZeroCountsForOneBitValues) {
    driver.addGate("D_01/0001");
    bus.Inject(0x0801, ValueSize::kBit, 0);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(driver.gateId("D_01/0001")) == 1; }, 3000));
    EXPECT_EQ(GateValue("D_01/0001"), 0);
}

TEST_F(Delivery, UnknownGatesAreLoggedWithTheirAddressText) {
    bus.Inject(0x1005, ValueSize::kByte, 5);     // 2/5
    bus.Inject(0x7001, ValueSize::kBit, 1);      // 14/1: printed although no gate could name it
    bus.Inject(0xFFFF, ValueSize::kWord, 9);     // 31/2047: the longest text
    ASSERT_TRUE(WaitForLogLine(driver, "A231/2047", 3000));
    EXPECT_EQ(driver.LogTexts(), (Lines{"QelEIB01: address A_02/0005",
                                        "QelEIB01: address D_14/0001 failed to get GateID",
                                        "QelEIB01: address A231/2047"}));
    EXPECT_EQ(instance().data().lastByteValue, 5);  // kept although not delivered
}

TEST_F(Delivery, FailedCookOrPutKeepsTheGatesLastValue) {
    const uint32_t gate = driver.addGate("A_01/0002");
    bus.Inject(0x0802, ValueSize::kByte, 10);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) == 1; }, 3000));
    driver.fail("HuxCook", 3, 0, 1);
    bus.Inject(0x0802, ValueSize::kByte, 11);
    ASSERT_TRUE(WaitForLogLine(driver, "failed to COOK", 3000));
    driver.fail("HuxPutGateVal", 4, 0, 1);
    bus.Inject(0x0802, ValueSize::kByte, 12);
    ASSERT_TRUE(WaitForLogLine(driver, "failed to PutVal", 3000));
    EXPECT_EQ(driver.LogTexts(), (Lines{"QelEIB01: address A_01/0002 failed to COOK",
                                        "QelEIB01: address A_01/0002 failed to PutVal"}));
    EXPECT_EQ(driver.putCount(gate), 1u);
    EXPECT_EQ(GateValue("A_01/0002"), 10);
    EXPECT_EQ(instance().data().lastByteValue, 12);
    bus.Inject(0x0802, ValueSize::kByte, 13);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) == 2; }, 3000));
    EXPECT_EQ(GateValue("A_01/0002"), 13);
}

TEST_F(Delivery, FramesBackToBackAreAllTaken) {
    const uint32_t gate = driver.addGate("A_03/0007");
    for (int v = 1; v <= 20; ++v) bus.Inject(0x1807, ValueSize::kByte, static_cast<uint16_t>(v));
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) == 20; }, 10000)) << driver.putCount(gate);
    EXPECT_EQ(GateValue("A_03/0007"), 20);
}

TEST_F(Delivery, FailedReceptionPulsesDtrAndTheNextFrameStillComes) {
    const uint32_t gate = driver.addGate("A_01/0002");
    bcu().Faults().BadHeader(0x25);
    bus.Inject(0x0802, ValueSize::kByte, 1);
    bus.Inject(0x0802, ValueSize::kByte, 2);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) >= 1 && GateValue("A_01/0002") == 2; }, 5000));
    int64_t dropped = -1;
    int64_t raised = -1;
    for (const LineEvent& e : bcu().Events()) {
        if (e.kind == Kind::kDtr && e.value == 0 && dropped < 0) dropped = e.us;
        if (e.kind == Kind::kDtr && e.value == 1 && dropped >= 0 && raised < 0) raised = e.us;
    }
    ASSERT_GE(dropped, 0);
    ASSERT_GT(raised, dropped);
    EXPECT_GE(raised - dropped, 45000);
}

TEST(DeliveryStart, NothingIsReceivedWhileTheListenerSettles) {
    LoadedDriver driver;
    bcuemu::Bus bus;
    RunningInstance running(driver, &bus);
    const uint32_t gate = driver.addGate("A_01/0002");
    ASSERT_EQ(running.start(false), 0);
    bus.Inject(0x0802, ValueSize::kByte, 42);
    // The put count is read before the log: a value delivered before the
    // listener's start line would show up as a put without that line.
    bool early = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const bool put = driver.putCount(gate) != 0;
            const bool started = !LinesWith(driver, "CatchThread Started...").empty();
            early = early || (put && !started);
            return started;
        },
        10000));
    EXPECT_FALSE(early);
    // The frame waited at the BCU until the listener took the line.
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) == 1; }, 3000));
    EXPECT_EQ(running.stop(), 0);
}

// After a quiet spell a tty listener reads CTS only now and then. A BCU that
// gives up an announcement left unanswered that long announces the frame
// again, and the frame still comes, once.
TEST(DeliveryStart, AFrameAfterAQuietSpellComesAlsoWhenTheBcuGivesUpItsAnnouncement) {
    LoadedDriver driver;
    bcuemu::Bus bus;
    bcuemu::Options options;
    options.announcementTimesOut = true;
    RunningInstance running(driver, &bus, options);
    const uint32_t gate = driver.addGate("A_01/0002");
    ASSERT_EQ(running.start(false), 0);
    ASSERT_TRUE(WaitUntil([&] { return !LinesWith(driver, "CatchThread Started...").empty(); }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // the quiet spell itself
    bus.Inject(0x0802, ValueSize::kByte, 42);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) == 1; }, 5000));
    HuxCookedValue cooked{};
    driver.getCooked(gate, &cooked);
    EXPECT_EQ(driver.uncook(cooked), 42);
    EXPECT_EQ(running.stop(), 0);
    EXPECT_EQ(driver.putCount(gate), 1u);
}

}  // namespace
}  // namespace qel::test
