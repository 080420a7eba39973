// Writes: the frames the BCU takes, byte for byte, and what the bus sees.
#include "e2e/running_fixture.h"

#include <algorithm>
#include <thread>

namespace qel::test {
namespace {

class Writes : public OnEmulatedBus {};

TEST_F(Writes, EachCommandSendsItsFrame) {
    EXPECT_EQ(instance().write(4, 0x0801, 1), 0);
    EXPECT_EQ(instance().write(4, 0x0801, 2), 0);
    EXPECT_EQ(instance().write(5, 0x0802, 255), 0);
    EXPECT_EQ(instance().write(6, 0x0803, 0x1234), 0);
    EXPECT_EQ(instance().write(8, 0, 0x12), 0);
    EXPECT_EQ(instance().write(2, 0, 0x33), 0);
    EXPECT_EQ(instance().write(1, 0, 0xFFFF), 0);  // the value is not read
    EXPECT_EQ(bcu().AcceptedFrames(), (std::vector<Bytes>{
                                          {0xAA, 0x11, 0x00, 0x00, 0x00, 0x08, 0x01, 0xE1, 0x00, 0x81, 0x00},
                                          {0xAA, 0x11, 0x00, 0x00, 0x00, 0x08, 0x01, 0xE1, 0x00, 0x80, 0x00},
                                          {0x2B, 0x11, 0x00, 0x00, 0x00, 0x08, 0x02, 0xE2, 0x00, 0x80, 0xFF, 0x00},
                                          {0x2B, 0x11, 0xB0, 0x00, 0x00, 0x08, 0x03, 0xE3, 0x00, 0x80, 0x12, 0x34},
                                          {0xA5, 0x46, 0x01, 0x00, 0x60, 0x12},
                                          {0xA5, 0x46, 0x01, 0x01, 0x16, 0x33},
                                          {0xA5, 0x46, 0x01, 0x00, 0x60, 0xC0},
                                      }));
    EXPECT_EQ(bcu().Cell(0x0116), 0x33);
}

TEST_F(Writes, GroupWritesGoOutOnTheBus) {
    bus.AddDevice(0x0802, bcuemu::ValueSize::kByte, 0);
    EXPECT_EQ(instance().write(5, 0x0802, 99), 0);
    ASSERT_TRUE(bus.WaitTelegrams(1, 2000));
    const bcuemu::Telegram telegram = bus.History().front();
    EXPECT_EQ(telegram.destination, 0x0802);
    EXPECT_EQ(telegram.Value(), 99);
    EXPECT_EQ(bus.DeviceValue(0x0802), 99);
}

TEST_F(Writes, ModemLinesSwitchAtOnce) {
    EXPECT_EQ(instance().write(10, 0, 0), 0);
    EXPECT_TRUE(WaitUntil([&] { return !bcu().LineState().dtr; }, 1000));
    EXPECT_EQ(instance().write(10, 0, 0x0101), 0);  // only the low byte counts
    EXPECT_TRUE(WaitUntil([&] { return bcu().LineState().dtr; }, 1000));
    EXPECT_EQ(instance().write(11, 0, 2), 0);
    EXPECT_FALSE(bcu().LineState().rts);
    EXPECT_TRUE(bcu().AcceptedFrames().empty());
}

TEST_F(Writes, FailedSendIsOneWithoutRecovery) {
    bcu().Faults().NoCts(bcuemu::kForever);
    EXPECT_EQ(instance().write(5, 0x0802, 1), 1);
    EXPECT_TRUE(LinesWith(driver, "ResetBCU").empty());
    bcu().Faults().Clear();
}

}  // namespace
}  // namespace qel::test
