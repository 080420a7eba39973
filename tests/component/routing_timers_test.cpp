// Routing's pace without waiting: the pace's arithmetic with chosen times and
// random numbers, then the link on a System table of the test's own, whose
// clock moves only while the driver waits for a datagram that is not there,
// by the whole wait. The times of the datagrams sent show the pace.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "abi/records.h"
#include "host/host_functions.h"
#include "huxtor_control.h"
#include "platform/platform.h"
#include "routing/routing.h"
#include "routing/routing_pace.h"

namespace qel::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Times = std::vector<uint32_t>;

TEST(RoutingPace, TelegramsGoTwentyMillisecondsApartAcrossTheClocksWrap) {
    routing::Pace pace;
    EXPECT_EQ(routing::WaitBeforeSend(pace, 7), 0u);
    routing::Sent(pace, 0xFFFFFFF0u);
    EXPECT_EQ(routing::WaitBeforeSend(pace, 0xFFFFFFF0u), 20u);
    EXPECT_EQ(routing::WaitBeforeSend(pace, 0), 4u);
    EXPECT_EQ(routing::WaitBeforeSend(pace, 4), 0u);
}

TEST(RoutingPace, ABusyFrameHoldsBackForItsWaitAndARandomPartOfUpToNTimesFifty) {
    routing::Pace first;
    routing::Busy(first, 1000, 100, 0);
    EXPECT_EQ(routing::WaitBeforeSend(first, 1000), 100u);
    routing::Pace most;
    routing::Busy(most, 1000, 100, 50);  // N = 1: 0..50 ms
    EXPECT_EQ(routing::WaitBeforeSend(most, 1000), 150u);
    EXPECT_EQ(routing::WaitBeforeSend(most, 1150), 0u);
    routing::Pace wrapped;
    routing::Busy(wrapped, 1000, 100, 51);
    EXPECT_EQ(routing::WaitBeforeSend(wrapped, 1000), 100u);
}

TEST(RoutingPace, BusyFramesWithinTenMillisecondsCountOnceAndTheCountDecays) {
    routing::Pace pace;
    routing::Busy(pace, 0, 100, 0);
    routing::Busy(pace, 5, 100, 0);
    EXPECT_EQ(routing::BusyCount(pace, 5), 1u);
    routing::Busy(pace, 20, 100, 100);  // N = 2: 0..100 ms
    EXPECT_EQ(routing::BusyCount(pace, 20), 2u);
    EXPECT_EQ(routing::WaitBeforeSend(pace, 20), 200u);
    // Calm for N x 100 ms after the wait (from 320), then one less every 5 ms.
    EXPECT_EQ(routing::BusyCount(pace, 324), 2u);
    EXPECT_EQ(routing::BusyCount(pace, 325), 1u);
    EXPECT_EQ(routing::BusyCount(pace, 330), 0u);
    routing::Busy(pace, 1000, 20, 7);  // counted from 0 again: N = 1
    EXPECT_EQ(routing::BusyCount(pace, 1000), 1u);
    EXPECT_EQ(routing::WaitBeforeSend(pace, 1000), 27u);
}

constexpr uint32_t kStart = 5000;
constexpr uint32_t kOwn = 0x7F000001;
constexpr uint16_t kOwnPort = 40000;
platform::Datagram* const kReceiver = reinterpret_cast<platform::Datagram*>(0x1000);
platform::Datagram* const kSender = reinterpret_cast<platform::Datagram*>(0x2000);

// The group and the clock; one at a time, installed by the fixture.
struct FakeGroup {
    uint32_t now = kStart;
    bool openSockets = true;
    bool sendWorks = true;
    std::vector<std::pair<uint32_t, Bytes>> sent;  // from the start
    std::deque<Bytes> toDriver;

    Times SentTimes() const {
        Times times;
        for (const auto& s : sent) times.push_back(s.first);
        return times;
    }
};

FakeGroup* g_group = nullptr;

uint32_t FakeTick() { return g_group->now; }
platform::Datagram* FakeOpenGroup(uint32_t, uint16_t, platform::Endpoint* local) {
    *local = {0xE000170C, 3671};
    return g_group->openSockets ? kReceiver : nullptr;
}
platform::Datagram* FakeOpen(uint32_t, platform::Endpoint* local) {
    *local = {kOwn, kOwnPort};
    return kSender;
}
bool FakeOption(platform::Datagram*, uint32_t) { return true; }
bool FakeMembership(platform::Datagram*, uint32_t, uint32_t) { return true; }
bool FakeLoop(platform::Datagram*, bool) { return true; }
bool FakeSend(platform::Datagram*, const platform::Endpoint*, const uint8_t* bytes, uint32_t n) {
    if (!g_group->sendWorks) return false;
    g_group->sent.emplace_back(g_group->now - kStart, Bytes(bytes, bytes + n));
    return true;
}
platform::DatagramWait FakeReceive(platform::Datagram*, platform::Wake*, uint32_t timeoutMs, uint8_t* buffer,
                                   uint32_t size, uint32_t* n, platform::Endpoint* from) {
    if (g_group->toDriver.empty()) {
        g_group->now += timeoutMs;
        return platform::DatagramWait::kTimedOut;
    }
    const Bytes bytes = std::move(g_group->toDriver.front());
    g_group->toDriver.pop_front();
    *n = static_cast<uint32_t>(bytes.size() < size ? bytes.size() : size);
    std::memcpy(buffer, bytes.data(), *n);
    *from = {0x7F000001, 3671};  // a router's
    return platform::DatagramWait::kReceived;
}
void FakeClose(platform::Datagram*) {}

std::vector<std::string> Log() {
    std::vector<std::string> lines;
    char text[512];
    int level = 0;
    for (uint32_t i = 0; i < HuxCtlLogCount(); ++i)
        if (HuxCtlLogLine(i, &level, text, sizeof text) == 0) lines.emplace_back(text);
    return lines;
}

Bytes Busy(uint16_t waitMs, uint16_t control) {
    return {0x06, 0x10, 0x05, 0x32, 0x00, 0x0C, 0x06, 0x00, static_cast<uint8_t>(waitMs >> 8),
            static_cast<uint8_t>(waitMs), static_cast<uint8_t>(control >> 8), static_cast<uint8_t>(control)};
}

// A group write of 1/0/1 as the BCU's data request image.
const uint8_t kWrite[] = {0x09, 0x11, 0x0C, 0x00, 0x00, 0x08, 0x01, 0xE1, 0x00, 0x81};

class RoutingTimers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host::Bind());
        HuxCtlReset();
        g_group = &group;
        table = platform::NativeSystem();
        table.tickMs = FakeTick;
        table.openGroupDatagram = FakeOpenGroup;
        table.joinGroup = FakeMembership;
        table.leaveGroup = FakeMembership;
        table.setMulticastInterface = FakeOption;
        table.setMulticastLoop = FakeLoop;
        table.openDatagram = FakeOpen;
        table.sendDatagram = FakeSend;
        table.receiveDatagram = FakeReceive;
        table.closeDatagram = FakeClose;
        platform::SetSystem(&table);
    }
    void TearDown() override {
        if (instance.portHandle != kNoPort) CloseRouting(instance.portHandle);
        platform::SetSystem(nullptr);
        g_group = nullptr;
    }
    void Open() {
        instance.portHandle = OpenRouting("knxrouting://?if=127.0.0.1", "QelEIB01");
        ASSERT_NE(instance.portHandle, kNoPort);
    }

    FakeGroup group;
    platform::System table{};
    InstanceData instance{};
};

TEST_F(RoutingTimers, AtMostFiftyTelegramsASecondAsLDataIndFromFifteenFifteenTwoFiftyFive) {
    Open();
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(RoutingSend(&instance, kWrite, nullptr));
    EXPECT_EQ(group.SentTimes(), (Times{0, 20, 40, 60, 80}));
    EXPECT_EQ(group.sent[0].second, (Bytes{0x06, 0x10, 0x05, 0x30, 0x00, 0x11, 0x29, 0x00, 0xBC, 0xE0, 0xFF, 0xFF,
                                           0x08, 0x01, 0x01, 0x00, 0x81}));
    EXPECT_EQ(Log(), std::vector<std::string>{"QelEIB01: KNXnet/IP routing on 224.0.23.12:3671 open"});
}

TEST_F(RoutingTimers, ABusyFrameToEveryoneHoldsTheNextTelegramBackForItsWaitAndUpToFiftyMore) {
    Open();
    EXPECT_TRUE(RoutingSend(&instance, kWrite, nullptr));
    group.toDriver.push_back(Busy(1000, 0x0001));  // to one router's own client: not ours
    EXPECT_TRUE(RoutingSend(&instance, kWrite, nullptr));
    EXPECT_EQ(group.SentTimes(), (Times{0, 20}));
    group.toDriver.push_back(Busy(100, 0));
    EXPECT_TRUE(RoutingSend(&instance, kWrite, nullptr));
    ASSERT_EQ(group.sent.size(), 3u);
    EXPECT_GE(group.sent[2].first, 20u + 100u);
    EXPECT_LE(group.sent[2].first, 20u + 100u + 50u);
}

TEST_F(RoutingTimers, ABusyWaitBeyondThreeSecondsAndARefusedSendOrSocketFailTheTelegram) {
    Open();
    group.toDriver.push_back(Busy(5000, 0));
    EXPECT_TRUE(ServeRouting(&instance, nullptr, 1, nullptr));
    EXPECT_FALSE(RoutingSend(&instance, kWrite, nullptr));
    group.now += 6000;
    group.sendWorks = false;
    EXPECT_FALSE(RoutingSend(&instance, kWrite, nullptr));
    EXPECT_TRUE(group.sent.empty());
    CloseRouting(instance.portHandle);
    group.openSockets = false;
    instance.portHandle = OpenRouting("knxrouting://239.0.0.1:3672", "QelEIB01");
    EXPECT_EQ(instance.portHandle, kNoPort);
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "QelEIB01: KNXnet/IP routing on 224.0.23.12:3671 open",
                         "QelEIB01: KNXnet/IP routing on 224.0.23.12:3671: telegram not sent (routers busy)",
                         "QelEIB01: KNXnet/IP routing on 224.0.23.12:3671: telegram not sent (send refused)",
                         "QelEIB01: KNXnet/IP routing on 239.0.0.1:3672: no multicast socket"}));
}

}  // namespace
}  // namespace qel::test
