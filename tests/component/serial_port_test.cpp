// Serial devices through the platform: opening, line settings, data and
// read time-outs, seen from the far end of a pseudo terminal.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/platform.h"
#include "support/pseudo_terminal.h"

namespace qel {
namespace {

using platform::LineState;
using platform::Port;
using platform::Timeouts;

const platform::System& os() { return platform::NativeSystem(); }

struct PortCloser {
    void operator()(Port* p) const {
        if (p != nullptr) p->methods->close(p);
    }
};
using OpenPort = std::unique_ptr<Port, PortCloser>;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_ = test::PseudoTerminal::open();
        if (!terminal_) GTEST_SKIP() << "no pseudo terminal on this platform; COM ports need hardware";
        port_.reset(os().openPort(terminal_->devicePath().c_str()));
        ASSERT_NE(port_, nullptr);
    }

    void setReadTimeout(uint32_t constantMs, uint32_t multiplierMs = 0) {
        Timeouts t{};
        t.readTotalConstant = constantMs;
        t.readTotalMultiplier = multiplierMs;
        ASSERT_TRUE(port_->methods->setTimeouts(port_.get(), &t));
    }

    void applyRaw9600() {
        LineState s{};
        ASSERT_TRUE(port_->methods->getState(port_.get(), &s));
        s.baud = 9600;
        s.byteSize = 8;
        s.parity = 0;
        s.stopBits = 0;
        ASSERT_TRUE(port_->methods->setState(port_.get(), &s));
    }

    std::unique_ptr<test::PseudoTerminal> terminal_;
    OpenPort port_;
};

TEST_F(SerialPortTest, LineSettingsReachTheDevice) {
    LineState s{};
    ASSERT_TRUE(port_->methods->getState(port_.get(), &s));
    s.baud = 19200;
    s.byteSize = 7;
    s.parity = 2;
    s.stopBits = 2;
    s.parityCheck = true;
    s.outxCtsFlow = false;
    s.outX = false;
    s.inX = false;
    s.errorChar = 0xFC;
    ASSERT_TRUE(port_->methods->setState(port_.get(), &s));

    // A Linux pseudo terminal keeps 8 data bits and no parity whatever it is
    // told, so those two are seen only on real devices.
    const test::TerminalSettings t = terminal_->settings();
    EXPECT_EQ(t.baud, 19200u);
    EXPECT_EQ(t.stopBits, 2);
    EXPECT_TRUE(t.parityCheck);
    EXPECT_FALSE(t.ctsFlow);
    EXPECT_FALSE(t.xonOutput);
    EXPECT_FALSE(t.xoffInput);
    EXPECT_TRUE(t.raw);

    LineState back{};
    ASSERT_TRUE(port_->methods->getState(port_.get(), &back));
    EXPECT_EQ(back.baud, 19200u);
    EXPECT_EQ(back.stopBits, 2);
    EXPECT_TRUE(back.parityCheck);
    EXPECT_EQ(back.errorChar, 0xFC);  // kept although termios has no such field
}

TEST_F(SerialPortTest, FlowControlFlagsReachTheDevice) {
    LineState s{};
    ASSERT_TRUE(port_->methods->getState(port_.get(), &s));
    s.baud = 9600;
    s.byteSize = 8;
    s.parity = 3;
    s.stopBits = 0;
    s.outxCtsFlow = true;
    s.outX = true;
    s.inX = true;
    ASSERT_TRUE(port_->methods->setState(port_.get(), &s));
    const test::TerminalSettings t = terminal_->settings();
    EXPECT_EQ(t.stopBits, 1);
    EXPECT_TRUE(t.ctsFlow);
    EXPECT_TRUE(t.xonOutput);
    EXPECT_TRUE(t.xoffInput);
}

TEST_F(SerialPortTest, AnUnknownBaudRateIsRefused) {
    LineState s{};
    ASSERT_TRUE(port_->methods->getState(port_.get(), &s));
    s.baud = 12345;
    EXPECT_FALSE(port_->methods->setState(port_.get(), &s));
}

TEST_F(SerialPortTest, DataTravelsBothWays) {
    applyRaw9600();
    setReadTimeout(1000);
    const std::vector<uint8_t> out = {0x00, 0x0D, 0x0A, 0xFF, 0x11, 0x13, 0x7F};
    uint32_t written = 0;
    ASSERT_TRUE(port_->methods->write(port_.get(), out.data(), static_cast<uint32_t>(out.size()), &written));
    EXPECT_EQ(written, out.size());
    EXPECT_EQ(terminal_->readFar(out.size(), 2000), out);

    const std::vector<uint8_t> in = {0xA5, 0x03, 0x0D, 0xFF};
    ASSERT_TRUE(terminal_->writeFar(in));
    std::vector<uint8_t> got(in.size());
    uint32_t count = 0;
    ASSERT_TRUE(port_->methods->read(port_.get(), got.data(), static_cast<uint32_t>(got.size()), &count));
    EXPECT_EQ(count, in.size());
    EXPECT_EQ(got, in);
}

TEST_F(SerialPortTest, QueryInputCountsWaitingBytes) {
    applyRaw9600();
    ASSERT_TRUE(terminal_->writeFar({1, 2, 3}));
    uint32_t waiting = 0, errors = 1;
    const uint32_t start = os().tickMs();
    do {
        ASSERT_TRUE(port_->methods->queryInput(port_.get(), &waiting, &errors));
    } while (waiting < 3 && os().tickMs() - start < 2000);
    EXPECT_EQ(waiting, 3u);
    EXPECT_EQ(errors, 0u);
}

TEST_F(SerialPortTest, ReadWithNothingArrivingReturnsAfterTheTimeout) {
    applyRaw9600();
    setReadTimeout(200);
    uint8_t byte = 0;
    uint32_t got = 99;
    const uint32_t start = os().tickMs();
    EXPECT_TRUE(port_->methods->read(port_.get(), &byte, 1, &got));
    const uint32_t elapsed = os().tickMs() - start;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 2000u);
}

TEST_F(SerialPortTest, ReadReturnsTheBytesThatCameBeforeTheTimeout) {
    applyRaw9600();
    setReadTimeout(150, 10);  // 150 + 5 * 10 ms for five bytes
    ASSERT_TRUE(terminal_->writeFar({7, 8}));
    uint8_t buffer[5] = {};
    uint32_t got = 0;
    const uint32_t start = os().tickMs();
    EXPECT_TRUE(port_->methods->read(port_.get(), buffer, 5, &got));
    const uint32_t elapsed = os().tickMs() - start;
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[1], 8);
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 2000u);
}

TEST_F(SerialPortTest, OpenIsExclusive) {
    OpenPort second(os().openPort(terminal_->devicePath().c_str()));
    EXPECT_EQ(second, nullptr);
    EXPECT_FALSE(terminal_->openableFromOtherProcess());
    port_.reset();
    OpenPort again(os().openPort(terminal_->devicePath().c_str()));
    EXPECT_NE(again, nullptr);
}

TEST_F(SerialPortTest, EventMaskAndQueueSizesAreAccepted) {
    EXPECT_TRUE(port_->methods->setEventMask(port_.get(), platform::kEventTxEmpty));
    EXPECT_TRUE(port_->methods->setQueueSizes(port_.get(), 1200, 1200));
}

TEST(SerialPortOpen, AMissingDeviceCannotBeOpened) {
    EXPECT_EQ(os().openPort("/dev/qel-no-such-device"), nullptr);
    EXPECT_EQ(os().openPort("COM199"), nullptr);
    EXPECT_EQ(os().openPort(""), nullptr);
}

TEST(SerialPortOpen, NulOpensAndNeedsNoExclusivity) {
    OpenPort first(os().openPort("NUL"));
    ASSERT_NE(first, nullptr);
    OpenPort second(os().openPort("NUL"));
    EXPECT_NE(second, nullptr);
    uint32_t written = 0;
    const uint8_t byte = 0x55;
    EXPECT_TRUE(first->methods->write(first.get(), &byte, 1, &written));
    EXPECT_EQ(written, 1u);
}

}  // namespace
}  // namespace qel
