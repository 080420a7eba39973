// Reads of group values and BCU cells against the emulated bus.
#include "e2e/running_fixture.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace qel::test {
namespace {

using bcuemu::ValueSize;

class Reads : public OnEmulatedBus {};

TEST_F(Reads, GroupReadsAreAnsweredByTheDevice) {
    bus.AddDevice(0x0801, ValueSize::kBit, 1);
    bus.AddDevice(0x0802, ValueSize::kByte, 0x55);
    bus.AddDevice(0x0803, ValueSize::kWord, 0x1234);
    driver.addGate("D_01/0001");
    driver.addGate("A_01/0002");
    driver.addGate("A201/0003");
    const ReadResult bit = instance().read(4, 0x0801);
    const ReadResult byte = instance().read(5, 0x0802);
    const ReadResult word = instance().read(6, 0x0803);
    EXPECT_EQ(bit.result, 0);
    EXPECT_EQ(bit.value, 1);
    EXPECT_EQ(byte.result, 0);
    EXPECT_EQ(byte.value, 0x55);
    EXPECT_EQ(word.result, 0);
    EXPECT_EQ(word.value, 0x1234);
    EXPECT_EQ(word.word0, 0);
    if (OverTunnel() || OverRouting() || OverFt12()) return;  // no BCU between
    // The read frames, with the group address filled in.
    const auto frames = bcu().AcceptedFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (Bytes{0xAA, 0x11, 0x00, 0x00, 0x00, 0x08, 0x01, 0xE1, 0x00, 0x00, 0x00}));
    EXPECT_EQ(frames[1], (Bytes{0xAA, 0x11, 0x00, 0x00, 0x00, 0x08, 0x02, 0xE1, 0x00, 0x00, 0x00}));
    EXPECT_EQ(frames[2], (Bytes{0xAA, 0x11, 0xB0, 0x00, 0x00, 0x08, 0x03, 0xE2, 0x00, 0x00, 0x00}));
}

TEST_F(Reads, CellsAreReadFromTheBcu) {
    const ReadResult layer = instance().read(7);
    EXPECT_EQ(layer.result, 0);
    EXPECT_EQ(layer.value, 0x12);
    EXPECT_EQ(instance().write(2, 0, 0x55), 0);
    const ReadResult cell = instance().read(3);
    EXPECT_EQ(cell.result, 0);
    EXPECT_EQ(cell.value, 0x55);
    EXPECT_EQ(bcu().AcceptedFrames().back(), (Bytes{0xA5, 0x4C, 0x03, 0x01, 0x16, 0x00}));
}

TEST_F(Reads, AReadIsNotAnsweredByAnotherGroup) {
    // No device answers 1/9; meanwhile a device's value of 2/5 goes by.
    const uint32_t other = driver.addGate("A_02/0005");
    const uint32_t own = driver.addGate("A_01/0009");
    driver.setRaw(own, 3);
    std::thread traffic([&] {
        for (int i = 0; i < 10; ++i) {
            bus.Inject(0x1005, ValueSize::kByte, 0x77);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const ReadResult read = instance().read(5, 0x0809, own);
    traffic.join();
    EXPECT_EQ(read.result, 0);   // frames came (the BCU's confirmation among them): no recovery
    EXPECT_NE(read.value, 0x77);
    EXPECT_TRUE(LinesWith(driver, "ResetBCU").empty());
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(other) == 10; }, 5000));
}

TEST_F(Reads, ACellReadIsNotAnsweredByOtherFrames) {
    // The gate's current value (the preload) must never come back as the cell's value.
    const uint32_t gate = driver.addGate("GET_LAYER");
    driver.setRaw(gate, 0x55);
    driver.addGate("A_02/0005");
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        while (!done) {
            // A busy but not saturated bus: a send that collides pauses 50 ms
            // before it retries, so a bus that always has a telegram waiting
            // would keep the driver from sending at all.
            bus.Inject(0x1005, ValueSize::kByte, 0x77);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    int answered = 0;
    for (int i = 0; i < 5; ++i) {
        const ReadResult layer = instance().read(7, 0, gate);
        EXPECT_EQ(layer.result, 0);
        // The answer, or (other frames came, the answer was late) the value word left at 0.
        EXPECT_TRUE(layer.value == 0x12 || layer.value == 0) << layer.value;
        answered += layer.value == 0x12;
    }
    done = true;
    traffic.join();
    EXPECT_GE(answered, 1);
}

TEST_F(Reads, SilentBusFallsBackToThePreloadForOneBitReads) {
    const uint32_t gate = driver.addGate("D_01/0004");
    driver.setRaw(gate, 1);
    const ReadResult read = instance().read(4, 0x0804, gate);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.value, 1);  // the gate's current value: only the confirmation came
}

TEST_F(Reads, FailedHostValueMakesThePreloadZero) {
    const uint32_t gate = driver.addGate("D_01/0004");
    driver.setRaw(gate, 1);
    driver.fail("HuxGetGateRawValue", 9, 0, 1);
    const ReadResult read = instance().read(4, 0x0804, gate);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.value, 0);
}

TEST_F(Reads, NoFrameAtAllRunsTheRecovery) {
    // Out of link-layer mode the BCU takes the read but neither confirms nor indicates.
    bcu().SetCell(0x0060, 0x00);
    const ReadResult read = instance().read(5, 0x0802);
    EXPECT_EQ(LinesWith(driver, "ResetBCU"), Lines{"QelEIB01: ResetBCU"});
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.value, 0);
    EXPECT_TRUE(bcu().LinkLayer());
}

TEST_F(Reads, FailedRecoveryDropsTheLines) {
    bcu().Faults().NoCts(bcuemu::kForever);
    const ReadResult read = instance().read(5, 0x0802);
    EXPECT_EQ(read.result, 2);
    EXPECT_EQ(read.value, 0);
    EXPECT_EQ(LinesWith(driver, "ResetBCU"), Lines{"QelEIB01: ResetBCU"});
    EXPECT_TRUE(WaitUntil([&] { return !bcu().LineState().dtr && !bcu().LineState().rts; }, 1000));
    bcu().Faults().Clear();
}

TEST_F(Reads, RefusedIndicesAreLogged) {
    for (int32_t index : {0, 1, 2, 8, 10, 11}) EXPECT_EQ(instance().read(index).result, 1);
    EXPECT_EQ(instance().read(12).result, 1);
    EXPECT_EQ(instance().read(-3).result, 1);
    EXPECT_EQ(driver.LogTexts(), (Lines{
                                     "QelEIB01: CallCmdReadFunction() fail, NULL fn (fn = 0)",
                                     "QelEIB01: CallCmdReadFunction() fail, NULL fn (fn = 1)",
                                     "QelEIB01: CallCmdReadFunction() fail, NULL fn (fn = 2)",
                                     "QelEIB01: CallCmdReadFunction() fail, NULL fn (fn = 8)",
                                     "QelEIB01: CallCmdReadFunction() fail, NULL fn (fn = 10)",
                                     "QelEIB01: CallCmdReadFunction() fail, NULL fn (fn = 11)",
                                     "QelEIB01: CallCmdReadFunction() fail, fn out of range (fn = 12)",
                                     "QelEIB01: CallCmdReadFunction() fail, fn out of range (fn = -3)",
                                 }));
    EXPECT_TRUE(bcu().AcceptedFrames().empty());
}

}  // namespace
}  // namespace qel::test
