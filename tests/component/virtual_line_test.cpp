// A serial line carried over a stream to an RFC 2217 server: negotiation,
// line settings and modem lines as com-port commands, data framing.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/virtual_line_peer.h"

namespace qel {
namespace {

namespace tn = qel::telnet;
using platform::LineState;
using platform::ModemLine;
using platform::Port;
using test::VirtualLinePeer;

const platform::System& os() { return platform::NativeSystem(); }

struct PortCloser {
    void operator()(Port* p) const {
        if (p != nullptr) p->methods->close(p);
    }
};
using OpenPort = std::unique_ptr<Port, PortCloser>;

OpenPort openLine(const VirtualLinePeer& peer) { return OpenPort(os().openPort(peer.portName().c_str())); }

void setReadTimeout(Port* port, uint32_t ms) {
    platform::Timeouts t{};
    t.readTotalConstant = ms;
    ASSERT_TRUE(port->methods->setTimeouts(port, &t));
}

std::vector<uint8_t> readAll(Port* port, size_t n) {
    std::vector<uint8_t> got(n);
    size_t total = 0;
    while (total < n) {
        uint32_t count = 0;
        if (!port->methods->read(port, got.data() + total, static_cast<uint32_t>(n - total), &count)) break;
        if (count == 0) break;
        total += count;
    }
    got.resize(total);
    return got;
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

TEST(VirtualLine, OpenNegotiatesTheComPortOptionAndAsksForCts) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(peer.waitForCommands(1, 2000));
    const auto first = peer.commands().front();
    EXPECT_EQ(first.code, tn::kSetModemstateMask);
    ASSERT_EQ(first.value.size(), 1u);
    EXPECT_NE(first.value[0] & tn::kModemCts, 0);
}

TEST(VirtualLine, AServerThatRefusesTheOptionFailsTheOpen) {
    VirtualLinePeer peer(VirtualLinePeer::Behaviour{.acceptComPort = false});
    EXPECT_EQ(openLine(peer), nullptr);
    EXPECT_TRUE(peer.waitForNegotiation(0));
}

TEST(VirtualLine, ASecondOpenWhileConnectedFails) {
    VirtualLinePeer peer;
    OpenPort first = openLine(peer);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(openLine(peer), nullptr);
}

TEST(VirtualLine, LineSettingsArriveAsComPortCommands) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    LineState s{};
    ASSERT_TRUE(port->methods->getState(port.get(), &s));
    s.baud = 19200;
    s.byteSize = 7;
    s.parity = 2;
    s.stopBits = 2;
    s.dtrControl = platform::kDtrEnable;
    s.rtsControl = platform::kRtsDisable;
    s.errorChar = 0xFC;
    ASSERT_TRUE(port->methods->setState(port.get(), &s));

    // The answer to the last SET-CONTROL came in, so the peer has recorded everything.
    const auto commands = peer.commands();
    ASSERT_EQ(commands.size(), 7u);
    EXPECT_EQ(commands[1].code, tn::kSetBaudrate);
    EXPECT_EQ(commands[1].value, (std::vector<uint8_t>{0x00, 0x00, 0x4B, 0x00}));
    EXPECT_EQ(commands[2].code, tn::kSetDatasize);
    EXPECT_EQ(commands[2].value, std::vector<uint8_t>{7});
    EXPECT_EQ(commands[3].code, tn::kSetParity);
    EXPECT_EQ(commands[3].value, std::vector<uint8_t>{tn::kParityEven});
    EXPECT_EQ(commands[4].code, tn::kSetStopsize);
    EXPECT_EQ(commands[4].value, std::vector<uint8_t>{tn::kStop2});
    EXPECT_EQ(commands[5].code, tn::kSetControl);
    EXPECT_EQ(commands[5].value, std::vector<uint8_t>{tn::kControlDtrOn});
    EXPECT_EQ(commands[6].code, tn::kSetControl);
    EXPECT_EQ(commands[6].value, std::vector<uint8_t>{tn::kControlRtsOff});

    LineState back{};
    ASSERT_TRUE(port->methods->getState(port.get(), &back));
    EXPECT_EQ(back.baud, 19200u);
    EXPECT_EQ(back.parity, 2);
    EXPECT_EQ(back.errorChar, 0xFC);
}

TEST(VirtualLine, ModemLineChangesWaitForTheServersAnswer) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->methods->setModemLine(port.get(), ModemLine::kRts, true));
    ASSERT_TRUE(port->methods->setModemLine(port.get(), ModemLine::kDtr, false));
    const auto commands = peer.commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[1].value, std::vector<uint8_t>{tn::kControlRtsOn});
    EXPECT_EQ(commands[2].value, std::vector<uint8_t>{tn::kControlDtrOff});
}

TEST(VirtualLine, CtsReactionIsVisibleWhenSetModemLineReturns) {
    VirtualLinePeer peer(VirtualLinePeer::Behaviour{.ctsFollowsRts = true});
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    bool cts = true;
    ASSERT_TRUE(port->methods->getCts(port.get(), &cts));
    EXPECT_FALSE(cts);
    for (int round = 0; round < 20; ++round) {
        const bool on = round % 2 == 0;
        ASSERT_TRUE(port->methods->setModemLine(port.get(), ModemLine::kRts, on));
        ASSERT_TRUE(port->methods->getCts(port.get(), &cts));
        EXPECT_EQ(cts, on) << "round " << round;
    }
}

TEST(VirtualLine, CtsChangesFromTheFarSideAreSeen) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    peer.sendCts(true);
    bool cts = false;
    const uint32_t start = os().tickMs();
    while (!cts && os().tickMs() - start < 2000) {
        port->methods->awaitLine(port.get(), 100);
        ASSERT_TRUE(port->methods->getCts(port.get(), &cts));
    }
    EXPECT_TRUE(cts);
}

TEST(VirtualLine, DataBytes0xFFAreDoubledBothWays) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    setReadTimeout(port.get(), 2000);
    const std::vector<uint8_t> out = {0xFF, 0x00, 0xFF, 0xFF, 0xF0, 0xFA, 0x41};
    uint32_t written = 0;
    ASSERT_TRUE(port->methods->write(port.get(), out.data(), static_cast<uint32_t>(out.size()), &written));
    EXPECT_EQ(written, out.size());
    ASSERT_TRUE(peer.waitForData(out.size(), 2000));
    EXPECT_EQ(peer.data(), out);

    peer.sendData(out);
    EXPECT_EQ(readAll(port.get(), out.size()), out);
}

TEST(VirtualLine, BytesStayInOrderUnderABurst) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    setReadTimeout(port.get(), 2000);
    const std::vector<uint8_t> burst = pattern(20000);  // several times the receive queue
    std::thread sender([&] { peer.sendData(burst); });
    const std::vector<uint8_t> got = readAll(port.get(), burst.size());
    sender.join();
    EXPECT_EQ(got, burst);

    uint32_t written = 0;
    ASSERT_TRUE(port->methods->write(port.get(), burst.data(), static_cast<uint32_t>(burst.size()), &written));
    ASSERT_TRUE(peer.waitForData(burst.size(), 5000));
    EXPECT_EQ(peer.data(), burst);
}

TEST(VirtualLine, QueryInputCountsDataButNotCommands) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    peer.sendCts(true);
    peer.sendData({1, 0xFF, 3});
    uint32_t waiting = 0, errors = 1;
    const uint32_t start = os().tickMs();
    while (waiting < 3 && os().tickMs() - start < 2000) {
        port->methods->awaitLine(port.get(), 100);
        ASSERT_TRUE(port->methods->queryInput(port.get(), &waiting, &errors));
    }
    EXPECT_EQ(waiting, 3u);
    EXPECT_EQ(errors, 0u);
}

TEST(VirtualLine, ReadWithNothingArrivingReturnsAfterTheTimeout) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    setReadTimeout(port.get(), 200);
    uint8_t byte = 0;
    uint32_t got = 99;
    const uint32_t start = os().tickMs();
    EXPECT_TRUE(port->methods->read(port.get(), &byte, 1, &got));
    const uint32_t elapsed = os().tickMs() - start;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 2000u);
}

TEST(VirtualLine, AwaitLineWaitsAtMostTheLimitAndReturnsWhenBytesWait) {
    VirtualLinePeer peer;
    OpenPort port = openLine(peer);
    ASSERT_NE(port, nullptr);
    // Takes in the server's answers so far: they are news for awaitLine too.
    ASSERT_TRUE(port->methods->setModemLine(port.get(), ModemLine::kDtr, true));
    uint32_t start = os().tickMs();
    port->methods->awaitLine(port.get(), 150);
    uint32_t elapsed = os().tickMs() - start;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 2000u);

    peer.sendData({0x42});
    start = os().tickMs();
    port->methods->awaitLine(port.get(), 10000);
    elapsed = os().tickMs() - start;
    EXPECT_LT(elapsed, 5000u);
}

TEST(VirtualLine, AFarSideThatGoesAwayMakesOperationsFail) {
    auto peer = std::make_unique<VirtualLinePeer>();
    OpenPort port = openLine(*peer);
    ASSERT_NE(port, nullptr);
    setReadTimeout(port.get(), 2000);
    peer.reset();
    uint8_t byte = 0;
    uint32_t got = 0;
    EXPECT_FALSE(port->methods->read(port.get(), &byte, 1, &got));
    EXPECT_FALSE(port->methods->setModemLine(port.get(), ModemLine::kRts, true));
    bool cts = false;
    EXPECT_FALSE(port->methods->getCts(port.get(), &cts));
}

}  // namespace
}  // namespace qel
