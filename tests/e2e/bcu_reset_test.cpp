// ColdStart, WarmStart and CHK_COMM bring the BCU into link-layer mode.
#include "e2e/running_fixture.h"

#include <algorithm>
#include <thread>

namespace qel::test {
namespace {

// Time of the first event of `kind`/`value` after `from` microseconds.
int64_t FirstAfter(const std::vector<LineEvent>& events, Kind kind, int value, int64_t from) {
    for (const LineEvent& e : events) {
        if (e.us > from && e.kind == kind && e.value == value) return e.us;
    }
    return -1;
}

TEST(BcuReset, ColdStartSendsTheThreeFramesWithTheirPause) {
    LoadedDriver driver;
    bcuemu::Bus bus;
    RunningInstance running(driver, &bus);
    ASSERT_EQ(running.start(false), 0);
    EXPECT_EQ(running.bcu().AcceptedFrames(), (std::vector<Bytes>{kResetFrame, kLinkLayerFrame, kClear0116Frame}));
    EXPECT_TRUE(running.bcu().LinkLayer());
    EXPECT_EQ(LinesWith(driver, "ResetCommunication"), Lines{"QelEIB01: ColdStart() ResetCommunication done (rc = 0)"});
    // At least 1000 ms from the end of the reset frame to the link-layer frame.
    const auto events = running.bcu().Events();
    int64_t resetEnd = -1;
    for (const LineEvent& e : events) {
        if (e.kind == Kind::kToBcu && e.value == 0xC0) resetEnd = e.us;
    }
    ASSERT_GT(resetEnd, 0);
    const int64_t linkStart = FirstAfter(events, Kind::kToBcu, 0xA5, resetEnd);
    ASSERT_GT(linkStart, 0);
    EXPECT_GE(linkStart - resetEnd, 990000);
    EXPECT_EQ(running.stop(), 0);
}

TEST(BcuReset, FailedResetStillStartsTheInstance) {
    LoadedDriver driver;
    bcuemu::Bus bus;
    RunningInstance running(driver, &bus);
    running.bcu().Faults().NoCts(bcuemu::kForever);
    ASSERT_EQ(running.start(false), 0);
    EXPECT_EQ(LinesWith(driver, "ResetCommunication"), Lines{"QelEIB01: ColdStart() ResetCommunication done (rc = 1)"});
    EXPECT_EQ(LinesWith(driver, "end OK"), Lines{"QelEIB01: ColdStart() end OK"});
    running.bcu().Faults().Clear();
    EXPECT_EQ(running.stop(), 0);
}

class ResetOnBus : public OnEmulatedBus {};

TEST_F(ResetOnBus, WarmStartPausesThenResets) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(instance().warmStart(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3990));
    EXPECT_EQ(bcu().AcceptedFrames(), (std::vector<Bytes>{kResetFrame, kLinkLayerFrame, kClear0116Frame}));
}

TEST_F(ResetOnBus, FailedWarmStartDropsTheLines) {
    bcu().Faults().NoCts(bcuemu::kForever);
    EXPECT_EQ(instance().warmStart(), 2);
    EXPECT_EQ(LinesWith(driver, "WarmStart"), Lines{"QelEIB01: WarmStart(), ResetBCU Communcation() FAIL"});
    EXPECT_TRUE(WaitUntil([&] { return !bcu().LineState().dtr && !bcu().LineState().rts; }, 1000));
    bcu().Faults().Clear();
}

TEST_F(ResetOnBus, CheckCommReportsOneAndResets) {
    const ReadResult read = instance().read(9);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.value, 1);
    EXPECT_EQ(bcu().AcceptedFrames(), (std::vector<Bytes>{kResetFrame, kLinkLayerFrame, kClear0116Frame}));
    EXPECT_EQ(LinesWith(driver, "ResetBCU"), Lines{"QelEIB01: ResetBCU"});
}

TEST_F(ResetOnBus, FailedCheckCommKeepsOneAndDropsTheLines) {
    bcu().Faults().NoCts(bcuemu::kForever);
    const ReadResult read = instance().read(9);
    EXPECT_EQ(read.result, 2);
    EXPECT_EQ(read.value, 1);
    EXPECT_TRUE(bcu().AcceptedFrames().empty());
    EXPECT_TRUE(WaitUntil([&] { return !bcu().LineState().dtr && !bcu().LineState().rts; }, 1000));
    bcu().Faults().Clear();
}

}  // namespace
}  // namespace qel::test
