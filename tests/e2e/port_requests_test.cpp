// Closing, opening and replacing the port of a running instance: the listener
// follows the port and never touches a closed one.
#include "e2e/running_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qel::test {
namespace {

using bcuemu::ValueSize;

class PortRequests : public OnEmulatedBus {};

TEST_F(PortRequests, ClosedPortIsLeftAloneAndReopenedPortIsFollowed) {
    const uint32_t gate = driver.addGate("A_01/0002");
    EXPECT_EQ(instance().closePort(), 0);
    EXPECT_EQ(instance().data().portHandle, kNoPort);
    ASSERT_TRUE(bcu().WaitDisconnected(2000));
    EXPECT_EQ(instance().closePort(), 0);

    EXPECT_EQ(instance().openPort(), 0);
    EXPECT_EQ(instance().data().portEnabled, 1u);
    ASSERT_TRUE(bcu().WaitConnected(2000));
    bus.Inject(0x0802, ValueSize::kByte, 21);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) == 1; }, 5000));
    EXPECT_EQ(GateValue("A_01/0002"), 21);
}

TEST_F(PortRequests, SecondOpenOfTheSamePortFailsAndKeepsTheHandle) {
    const uint32_t before = instance().data().portHandle;
    EXPECT_EQ(instance().openPort(), 2);
    EXPECT_EQ(instance().data().portHandle, before);
    EXPECT_EQ(instance().reconfigure(running.port(), 0, LineSettings{19200, 8, 0, 0}), 2);
    EXPECT_EQ(instance().data().portHandle, before);
    EXPECT_EQ(instance().data().portSettings.line.baud, 19200);  // stored, though the open port keeps its settings
}

TEST_F(PortRequests, ReconfiguredPortIsFollowedByTheListener) {
    bcuemu::Bcu other(&bus);
    const std::string otherPort = ServeTestLine(other);
    ASSERT_FALSE(otherPort.empty());
    other.SetCell(0x0060, 0x12);  // already in link-layer mode
    const uint32_t gate = driver.addGate("A_01/0002");
    EXPECT_EQ(instance().reconfigure(otherPort), 0);
    ASSERT_TRUE(bcu().WaitDisconnected(2000));
    ASSERT_TRUE(other.WaitConnected(2000));
    EXPECT_STREQ(instance().data().portSettings.portName, otherPort.c_str());
    // The old BCU is gone from the bus as far as the driver is concerned; the new one indicates.
    bus.Inject(0x0802, ValueSize::kByte, 5);
    ASSERT_TRUE(WaitUntil([&] { return driver.putCount(gate) >= 1; }, 5000));
    EXPECT_EQ(GateValue("A_01/0002"), 5);
    EXPECT_EQ(running.stop(), 0);
    stopped = true;
    other.Stop();
}

// A port map that cannot be used fails the start with one line naming its file and line.
TEST(PortMap, ABrokenMapFailsColdStartWithOneLine) {
    const std::string path = ::testing::TempDir() + "qeleib-broken.ports";
    {
        std::FILE* map = std::fopen(path.c_str(), "w");
        ASSERT_NE(map, nullptr);
        std::fputs("BCU1 = /dev/ttyS0\nbcu1 = /dev/ttyS1\n", map);
        std::fclose(map);
    }
    const char* before = std::getenv("QELEIB_PORTS");
    const std::string kept = before != nullptr ? before : "";
    auto set = [](const std::string& value) {
#ifdef _WIN32
        _putenv_s("QELEIB_PORTS", value.c_str());
#else
        setenv("QELEIB_PORTS", value.c_str(), 1);
#endif
    };
    set(path);
    {
        LoadedDriver driver;
        DriverInstance instance(driver);
        EXPECT_EQ(instance.coldStart("BCU1"), 2);
        // The map's line stands in for "Fail to open".
        EXPECT_EQ(driver.LogTexts(), (Lines{"QelEIB01: ColdStart() entered, Version: 01.12",
                                            "QELEIB: port map " + path + " line 2: name mapped twice"}));
    }
    set(kept);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace qel::test
