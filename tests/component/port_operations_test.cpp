// The driver's line operations on real devices, on a virtual line and on the
// pseudo port: results, what reaches the device, and timing bounds.
#include <gtest/gtest.h>

#include <chrono>

#include "host/host_functions.h"
#include "huxtor_control.h"
#include "platform/platform.h"
#include "serial/comm.h"
#include "serial/frames.h"
#include "serial/port_handle.h"
#include "support/fault_system.h"
#include "support/pseudo_terminal.h"
#include "support/virtual_line_peer.h"

namespace qel {
namespace {

using Clock = std::chrono::steady_clock;
using test::FaultSystem;
using test::Op;

constexpr LineSettings kDefault{9600, 8, 0, 0};

class PortOperations : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host::Bind());
        HuxCtlReset();
    }
    uint32_t ReadTimeoutMs(PortHandle handle) {
        platform::Timeouts timeouts{};
        platform::Port* port = PortOf(handle);
        EXPECT_TRUE(port->methods->getTimeouts(port, &timeouts));
        return timeouts.readTotalConstant;
    }
};

TEST_F(PortOperations, PseudoPortTouchesNothing) {
    const PortHandle pseudo = kPseudoPort;
    uint8_t byte = 0x5A;
    EXPECT_EQ(CommSetReadTimeout(pseudo, 5), 0u);
    EXPECT_FALSE(CommPurgeInput(pseudo));
    EXPECT_FALSE(CommWriteByte(pseudo, 0x11));
    EXPECT_FALSE(CommReadByte(pseudo, &byte));
    EXPECT_EQ(byte, 0x5A);  // nothing stored
    // The byte exchanges give it its meaning: every byte is taken.
    EXPECT_EQ(SendFirstByte(0xA5, pseudo), ByteResult::kAccepted);
    EXPECT_EQ(SendNextByte(0x46, pseudo), ByteResult::kAccepted);
    EXPECT_EQ(CommBytesWaiting(pseudo), 0);
    EXPECT_FALSE(CommGetCts(pseudo));
    EXPECT_FALSE(CommWaitCtsOn(pseudo));
    EXPECT_FALSE(CommWaitCtsOff(pseudo));
    EXPECT_FALSE(CommWaitRxBytes(pseudo, 100));
    CommSetRts(pseudo, 1);
    CommSetDtr(pseudo, 1);
    EXPECT_FALSE(CommSetEventMask(pseudo, platform::kEventTxEmpty));
    EXPECT_EQ(HuxCtlLogCount(), 0u);
}

TEST_F(PortOperations, OpenResults) {
    PortHandle handle = kNoPort;
    EXPECT_EQ(CommOpen("NUL", kDefault, 0x0101, &handle), OpenResult::kOpened);
    EXPECT_NE(handle, kNoPort);
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
    EXPECT_EQ(CommOpen("nosuchdevice", kDefault, 0x0101, &handle), OpenResult::kCannotOpen);
}

TEST_F(PortOperations, VirtualLineGetsTheSettingsAndIsOpenedOnce) {
    test::VirtualLinePeer peer;
    PortHandle handle = kNoPort;
    ASSERT_EQ(CommOpen(peer.portName().c_str(), LineSettings{19200, 7, 2, 2}, 0x0101, &handle), OpenResult::kOpened);
    ASSERT_TRUE(peer.waitForCommands(4, 2000));
    bool baud = false;
    for (const auto& command : peer.commands()) {
        if (command.code == telnet::kSetBaudrate)
            baud = command.value == std::vector<uint8_t>{0x00, 0x00, 0x4B, 0x00};
    }
    EXPECT_TRUE(baud);
    EXPECT_EQ(ReadTimeoutMs(handle), 1000u);
    PortHandle second = kNoPort;
    EXPECT_EQ(CommOpen(peer.portName().c_str(), kDefault, 0x0101, &second), OpenResult::kCannotOpen);
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
}

TEST_F(PortOperations, ReadTimeoutIsWrittenOnlyWhenItChanges) {
    test::VirtualLinePeer peer;
    PortHandle handle = kNoPort;
    ASSERT_EQ(CommOpen(peer.portName().c_str(), kDefault, 0x0101, &handle), OpenResult::kOpened);
    platform::Port* port = PortOf(handle);
    platform::Timeouts before{};
    ASSERT_TRUE(port->methods->getTimeouts(port, &before));
    EXPECT_EQ(CommSetReadTimeout(handle, 100), 100u);  // unchanged: answered from what is set
    EXPECT_EQ(CommSetReadTimeout(handle, 5), 100u);    // the previous value
    EXPECT_EQ(ReadTimeoutMs(handle), 50u);
    EXPECT_EQ(CommSetReadTimeout(handle, 0), 5u);
    EXPECT_EQ(CommSetReadTimeout(handle, 7), 0u);      // below 10 ms reads back as 0
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
}

TEST_F(PortOperations, UnchangedReadTimeoutWritesNothing) {
    test::VirtualLinePeer peer;
    FaultSystem counting;
    PortHandle handle = kNoPort;
    ASSERT_EQ(CommOpen(peer.portName().c_str(), kDefault, 0x0101, &handle), OpenResult::kOpened);
    const uint32_t writes = counting.calls(Op::kSetTimeouts);
    EXPECT_EQ(CommSetReadTimeout(handle, 100), 100u);
    EXPECT_EQ(counting.calls(Op::kSetTimeouts), writes);
    EXPECT_EQ(CommSetReadTimeout(handle, 20), 100u);
    EXPECT_EQ(counting.calls(Op::kSetTimeouts), writes + 1);
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
}

TEST_F(PortOperations, PurgeOfAnEmptyQueueReturnsAtOnce) {
    test::VirtualLinePeer peer;
    FaultSystem counting;
    PortHandle handle = kNoPort;
    ASSERT_EQ(CommOpen(peer.portName().c_str(), kDefault, 0x0101, &handle), OpenResult::kOpened);
    const uint32_t writes = counting.calls(Op::kSetTimeouts);
    const auto start = Clock::now();
    EXPECT_TRUE(CommPurgeInput(handle));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(40));
    EXPECT_EQ(counting.calls(Op::kSetTimeouts), writes);
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
}

TEST_F(PortOperations, PurgeTakesStaleBytesAndRestoresTheTimeout) {
    test::VirtualLinePeer peer;
    PortHandle handle = kNoPort;
    ASSERT_EQ(CommOpen(peer.portName().c_str(), kDefault, 0x0101, &handle), OpenResult::kOpened);
    peer.sendData(std::vector<uint8_t>(700, 0x33));
    ASSERT_TRUE(CommWaitRxBytes(handle, 1000));
    const auto start = Clock::now();
    EXPECT_TRUE(CommPurgeInput(handle));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));
    EXPECT_EQ(CommBytesWaiting(handle), 0);
    EXPECT_EQ(ReadTimeoutMs(handle), 1000u);
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
}

TEST_F(PortOperations, ReadWithNothingArrivingFailsAfterTheReadTimeout) {
    test::VirtualLinePeer peer;
    PortHandle handle = kNoPort;
    ASSERT_EQ(CommOpen(peer.portName().c_str(), kDefault, 0x0101, &handle), OpenResult::kOpened);
    CommSetReadTimeout(handle, 20);
    uint8_t byte = 0;
    uint16_t total = 99;
    const auto start = Clock::now();
    EXPECT_EQ(CommRead(handle, &byte, 1, &total), CommResult::kFailed);
    const auto took = Clock::now() - start;
    EXPECT_EQ(total, 0);
    EXPECT_GE(took, std::chrono::milliseconds(190));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    peer.sendData({0xFF, 0x01});
    uint8_t two[2] = {};
    EXPECT_EQ(CommRead(handle, two, 2, &total), CommResult::kOk);
    EXPECT_EQ(total, 2);
    EXPECT_EQ(two[0], 0xFF);
    EXPECT_EQ(two[1], 0x01);
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
}

TEST_F(PortOperations, RefusedModemQueriesAreLogged) {
    test::VirtualLinePeer peer;
    FaultSystem faults;
    PortHandle handle = kNoPort;
    ASSERT_EQ(CommOpen(peer.portName().c_str(), kDefault, 0x0101, &handle), OpenResult::kOpened);
    HuxCtlLogClear();
    faults.failNth(Op::kGetCts, 1);
    faults.failNth(Op::kQueryInput, 1);
    faults.failNth(Op::kSetModemLine, 1);
    EXPECT_FALSE(CommGetCts(handle));
    EXPECT_EQ(CommBytesWaiting(handle), 0);
    CommSetRts(handle, 1);
    faults.failNth(Op::kSetModemLine, 1);
    CommSetDtr(handle, 0);
    char line[128];
    int level = 0;
    ASSERT_EQ(HuxCtlLogCount(), 4u);
    const char* expected[] = {"GetCommModemStatus fail (CTS)", "ClearCommError (Rx) failed 00000000",
                              "EscapeCommFunction fail (RTS)", "EscapeCommFunction fail (DTR)"};
    for (uint32_t i = 0; i < 4; ++i) {
        HuxCtlLogLine(i, &level, line, sizeof line);
        EXPECT_STREQ(line, expected[i]);
        EXPECT_EQ(level, 32);
    }
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
}

TEST_F(PortOperations, PseudoTerminalGetsTheLineSettings) {
    auto terminal = test::PseudoTerminal::open();
    if (terminal == nullptr) GTEST_SKIP() << "no pseudo terminal on this platform";
    PortHandle handle = kNoPort;
    ASSERT_EQ(CommOpen(terminal->devicePath().c_str(), kDefault, 0x0101, &handle), OpenResult::kOpened);
    const test::TerminalSettings settings = terminal->settings();
    EXPECT_EQ(settings.baud, 9600u);
    EXPECT_EQ(settings.stopBits, 1);
    EXPECT_TRUE(settings.parityCheck);
    EXPECT_FALSE(settings.ctsFlow);
    EXPECT_FALSE(settings.xonOutput);
    EXPECT_FALSE(settings.xoffInput);
    EXPECT_TRUE(settings.raw);
    EXPECT_EQ(ReadTimeoutMs(handle), 1000u);
    EXPECT_TRUE(CommWriteByte(handle, 0xA5));
    EXPECT_EQ(terminal->readFar(1, 1000), std::vector<uint8_t>{0xA5});
    ASSERT_TRUE(terminal->writeFar({0x4B}));
    uint8_t byte = 0;
    EXPECT_TRUE(CommReadByte(handle, &byte));
    EXPECT_EQ(byte, 0x4B);
    PortHandle second = kNoPort;
    EXPECT_EQ(CommOpen(terminal->devicePath().c_str(), kDefault, 0x0101, &second), OpenResult::kCannotOpen);
    EXPECT_EQ(CommClose(handle), CommResult::kOk);
}

}  // namespace
}  // namespace qel
