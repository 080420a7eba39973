// KNXnet/IP routing's own behaviour against the emulated bus's router on a
// multicast group: the BCU-only commands, its own telegrams not indicated
// back, a lost message logged, busy routers. Multicast: these run only in a
// network namespace of their own (routing_namespace.sh). The gate cases run
// over routing as the knxrouting.* run.
#include "e2e/running_fixture.h"

#include "bcuemu/knxnet_router.h"

namespace qel::test {
namespace {

using bcuemu::ValueSize;

class Routing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InOwnNetworkNamespace()) GTEST_SKIP() << "multicast only in a network namespace of the run's own";
        std::string error;
        ASSERT_TRUE(router.Start("224.0.23.12:0", "127.0.0.1", error)) << error;
        port = MapTestPort(RoutingTestTarget(router));
        ASSERT_FALSE(port.empty());
        ASSERT_EQ(instance.coldStart(port), 0);
        running = true;
        ASSERT_TRUE(WaitForLogLine(driver, "QelEIB01: CatchThread Started...", 10000));
    }
    void TearDown() override {
        if (running) {
            EXPECT_EQ(instance.endQel(), 0);
        }
        router.Stop();
    }
    std::string Line(const std::string& what) const {
        return "QelEIB01: KNXnet/IP routing on " + router.GroupEndpoint() + what;
    }

    LoadedDriver driver;
    bcuemu::Bus bus;
    bcuemu::KnxnetRouter router{bus};
    DriverInstance instance{driver};
    std::string port;
    bool running = false;
};

TEST_F(Routing, BcuCommandsAreRefusedDoneOrReopenTheSockets) {
    EXPECT_EQ(instance.write(10, 0, 1), 1);  // SET_DTR
    EXPECT_EQ(instance.write(2, 0, 5), 1);   // PUT_0116
    EXPECT_EQ(instance.read(7).result, 1);   // GET_LAYER
    EXPECT_EQ(LinesWith(driver, "BCU command"),
              (Lines{"QelEIB01: SET_DTR is a BCU command, refused on a KNXnet/IP link",
                     "QelEIB01: PUT_0116 is a BCU command, refused on a KNXnet/IP link",
                     "QelEIB01: GET_LAYER is a BCU command, refused on a KNXnet/IP link"}));
    EXPECT_EQ(instance.write(0, 0, 0), 0);      // LINKLAYER: the group carries the link layer
    const ReadResult check = instance.read(9);  // CHK_COMM: the socket read
    EXPECT_EQ(check.result, 0);
    EXPECT_EQ(check.value, 1);
    EXPECT_EQ(instance.write(1, 0, 0), 0);  // RESETBCU: the sockets opened again
    EXPECT_TRUE(bus.History().empty());
    EXPECT_EQ(instance.write(5, 0x0802, 7), 0);
    ASSERT_TRUE(bus.WaitTelegrams(1, 3000));
    EXPECT_EQ(bus.History().back().Value(), 7);
    EXPECT_EQ(bus.History().back().source, 0xFFFF);  // 15.15.255
    EXPECT_EQ(LinesWith(driver, "KNXnet/IP routing"), Lines{Line(" open")});
}

TEST_F(Routing, ItsOwnTelegramsAreNotIndicatedBack) {
    driver.addGate("A_01/0002");
    EXPECT_EQ(instance.write(5, 0x0802, 7), 0);
    ASSERT_TRUE(bus.WaitTelegrams(1, 3000));
    const size_t before = driver.putCount(driver.gateId("A_01/0002"));
    bus.Inject(0x0802, ValueSize::kByte, 9);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(driver.gateId("A_01/0002")) > before; }, 3000));
    EXPECT_EQ(driver.putCount(driver.gateId("A_01/0002")), before + 1);
    EXPECT_EQ(router.IndicationsTaken(), 1u);
}

TEST_F(Routing, ALostMessageIsLoggedWithItsCountAndALongBusyFailsTheWrite) {
    router.SendBusy(20000);
    router.SendLostMessage(3);  // after the busy frame: once it is logged, the busy one was taken
    ASSERT_TRUE(WaitForLogLine(driver, "lost", 3000));
    EXPECT_EQ(instance.write(5, 0x0802, 1), 1);
    EXPECT_EQ(LinesWith(driver, "KNXnet/IP routing"),
              (Lines{Line(" open"), Line(": a router lost 3 telegrams"),
                     Line(": telegram not sent (routers busy)")}));
    EXPECT_TRUE(bus.History().empty());
}

}  // namespace
}  // namespace qel::test
