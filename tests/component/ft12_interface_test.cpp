// The emulated FT1.2 interface over a pseudo terminal, as a PC's serial port
// sees it: the bytes of each exchange in both flavours, and each fault.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "bcuemu/bus.h"
#include "bcuemu/ft12_interface.h"
#include "ft12/emi2_codec.h"
#include "ft12/ft12_codec.h"
#include "knxnet/codec.h"

namespace {

using bcuemu::EmiFlavour;
using bcuemu::Ft12Faults;
using bcuemu::ValueSize;
using Bytes = std::vector<uint8_t>;
namespace ft12 = bcuemu::ft12;

constexpr int kWaitMs = 20000;  // a bound for a broken run, not a timing check
const Bytes kAck = {0xE5};
const Bytes kReset = {0x10, 0x40, 0x40, 0x16};
// Frames as knxd sends them (EMI2, then cEMI).
const Bytes kLinkLayer = {0x68, 0x08, 0x08, 0x68, 0x73, 0xA9, 0x00, 0x18, 0x34, 0x56, 0x78, 0x0A, 0x40, 0x16};
const Bytes kEmi2Write = {0x68, 0x0A, 0x0A, 0x68, 0x53, 0x11, 0x0C, 0x00, 0x00, 0x28, 0x02, 0xD1, 0x00, 0x81, 0xEC, 0x16};
const Bytes kCommMode = {0x68, 0x09, 0x09, 0x68, 0x73, 0xF6, 0x00, 0x08, 0x01, 0x34, 0x10, 0x01, 0x00, 0xB7, 0x16};
const Bytes kCemiWrite = {0x68, 0x0C, 0x0C, 0x68, 0x53, 0x11, 0x00, 0xBC, 0xD0, 0x00, 0x00, 0x28, 0x02, 0x01, 0x00, 0x81, 0x9C, 0x16};

// The PC's end of the terminal, raw.
class PcPort {
public:
    explicit PcPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~PcPort() {
        if (fd_ >= 0) close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    void Write(const Bytes& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    Bytes Read(size_t count) {
        Bytes out;
        while (out.size() < count) {
            pollfd p{fd_, POLLIN, 0};
            uint8_t b = 0;
            if (poll(&p, 1, kWaitMs) <= 0 || read(fd_, &b, 1) != 1) break;
            out.push_back(b);
        }
        return out;
    }
    // The next acknowledgement or frame, whole, as it came.
    Bytes ReadFrame() {
        ft12::Parser parser;
        Bytes raw;
        for (;;) {
            const Bytes b = Read(1);
            if (b.empty()) return raw;
            raw.push_back(b[0]);
            if (parser.Feed(b[0])) return raw;
        }
    }

private:
    int fd_;
};

Bytes UnitFrame(bool bit, const Bytes& message) { return ft12::VariableFrame(bit ? 0xF3 : 0xD3, message); }

class Ft12OverPty : public testing::Test {
protected:
    void Start(EmiFlavour flavour) {
        bus_.AddDevice(0x0802, ValueSize::kByte, 128, 0x1114);
        ft12_ = std::make_unique<bcuemu::Ft12Interface>(bus_, bcuemu::Ft12Options{flavour, 0x11FA});
        const std::string path = ft12_->ServePty();
        ASSERT_FALSE(path.empty()) << ft12_->LastError();
        pc_ = std::make_unique<PcPort>(path);
        ASSERT_TRUE(pc_->Ok());
        pc_->Write(kReset);
        ASSERT_EQ(pc_->ReadFrame(), kAck);
        pc_->Write(flavour == EmiFlavour::kCemi ? kCommMode : kLinkLayer);
        ASSERT_EQ(pc_->ReadFrame(), kAck);
        if (flavour == EmiFlavour::kCemi) {
            ASSERT_EQ(pc_->ReadFrame(), UnitFrame(true, {0xF5, 0x00, 0x08, 0x01, 0x34, 0x10, 0x01}));
            pc_->Write(kAck);
        }
        ASSERT_TRUE(ft12_->LinkLayer());
    }
    // The emulated bus's indication of the dimmer's 1/0/3 = 0x80, in the flavour's layout.
    Bytes Indication(EmiFlavour flavour) {
        const auto t = bcuemu::Telegram::GroupValue(bcuemu::Apci::kWrite, 0x0803, ValueSize::kByte, 0x80, 0x1114);
        return flavour == EmiFlavour::kCemi ? bcuemu::knxnet::EncodeCemi({0x29, t, false})
                                            : ft12::EncodeEmi2({0x29, t, false});
    }

    bcuemu::Bus bus_;
    std::unique_ptr<bcuemu::Ft12Interface> ft12_;
    std::unique_ptr<PcPort> pc_;
};

TEST_F(Ft12OverPty, Emi2WritesAreAcknowledgedConfirmedAndRepeatsTakenOnce) {
    Start(EmiFlavour::kEmi2);
    pc_->Write(kEmi2Write);
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    // L_Data.con: the request with the interface's address, first frame after the reset: F3.
    EXPECT_EQ(pc_->ReadFrame(), Bytes({0x68, 0x0A, 0x0A, 0x68, 0xF3, 0x2E, 0xBC, 0x11, 0xFA, 0x28, 0x02, 0xE1, 0x00, 0x81, 0x74, 0x16}));
    pc_->Write(kAck);
    pc_->Write(kEmi2Write);  // same frame-count bit: a repeat
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    bus_.Inject(0x0803, ValueSize::kByte, 0x80, 0x1114);
    EXPECT_EQ(pc_->ReadFrame(), Bytes({0x68, 0x0B, 0x0B, 0x68, 0xD3, 0x29, 0xBC, 0x11, 0x14, 0x08, 0x03, 0xE2, 0x00, 0x80, 0x80, 0xCA, 0x16}));
    EXPECT_EQ(bus_.History().size(), 2u);
    EXPECT_EQ(bus_.History()[0].Text(), "1.1.250 -> 5/0/2 write 1 (1 bit)");
    EXPECT_EQ(ft12_->Counts().repeats, 1u);
}

TEST_F(Ft12OverPty, Emi2CellsAnswerPcGetValueAndTakePcSetValue) {
    Start(EmiFlavour::kEmi2);
    pc_->Write(ft12::VariableFrame(0x53, {0x4C, 0x01, 0x00, 0x60}));  // the layer cell: link layer
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(true, {0x4B, 0x01, 0x00, 0x60, 0x12}));
    pc_->Write(kAck);
    pc_->Write(ft12::VariableFrame(0x73, {0x46, 0x01, 0x01, 0x16, 0x33}));  // no answer but the acknowledgement
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    pc_->Write(ft12::VariableFrame(0x53, {0x4C, 0x03, 0x01, 0x16}));
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(false, {0x4B, 0x03, 0x01, 0x16, 0x33, 0x00, 0x00}));
    pc_->Write(kAck);
    pc_->Write(ft12::VariableFrame(0x73, {0x46, 0x01, 0x00, 0x60, 0x00}));  // the layer cell cleared: link layer off
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    EXPECT_TRUE(ft12_->WaitCounts([](const bcuemu::Ft12Counts& c) { return c.taken == 5; }, kWaitMs));
    EXPECT_FALSE(ft12_->LinkLayer());
}

TEST_F(Ft12OverPty, CemiReadsAreAnsweredAndBadFramesDropped) {
    Start(EmiFlavour::kCemi);
    const Bytes read = {0x68, 0x0C, 0x0C, 0x68, 0x53, 0x11, 0x00, 0xBC, 0xD0, 0x00, 0x00, 0x08, 0x02, 0x01, 0x00, 0x00, 0xFB, 0x16};
    Bytes bad = read;
    bad[bad.size() - 2] ^= 0x01;
    pc_->Write(bad);   // dropped, no acknowledgement
    pc_->Write(read);
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(false, {0x2E, 0x00, 0xBC, 0xE0, 0x11, 0xFA, 0x08, 0x02, 0x01, 0x00, 0x00}));
    pc_->Write(kAck);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(true, {0x29, 0x00, 0xBC, 0xE0, 0x11, 0x14, 0x08, 0x02, 0x02, 0x00, 0x40, 0x80}));
    pc_->Write(kAck);
    // An unknown property: a negative M_PropRead.con (no elements, error code).
    pc_->Write(ft12::VariableFrame(0x73, {0xFC, 0x00, 0x08, 0x01, 0x0B, 0x10, 0x01}));
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(false, {0xFB, 0x00, 0x08, 0x01, 0x0B, 0x00, 0x01, 0x07}));
    EXPECT_EQ(ft12_->Counts().dropped, 1u);
}

TEST_F(Ft12OverPty, FaultsOnDemand) {
    Start(EmiFlavour::kCemi);
    const EmiFlavour cemi = EmiFlavour::kCemi;

    // A lost acknowledgement: the write is done, its repeat only acknowledged.
    ft12_->SetFaults({.lostAcks = 1});
    pc_->Write(kCemiWrite);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(false, {0x2E, 0x00, 0xBC, 0xE0, 0x11, 0xFA, 0x28, 0x02, 0x01, 0x00, 0x81}));
    pc_->Write(kAck);
    pc_->Write(kCemiWrite);
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    EXPECT_EQ(bus_.History().size(), 1u);

    // A negative L_Data.con: bit 0 of control field 1, nothing on the bus.
    ft12_->SetFaults({.negativeConfirms = 1});
    Bytes next = kCemiWrite;
    next[4] = 0x73;
    next[next.size() - 2] += 0x20;
    pc_->Write(next);
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(true, {0x2E, 0x00, 0xBD, 0xE0, 0x11, 0xFA, 0x28, 0x02, 0x01, 0x00, 0x81}));
    pc_->Write(kAck);
    EXPECT_EQ(bus_.History().size(), 1u);

    // A late acknowledgement comes after the interface's own next frame.
    ft12_->SetFaults({.lateAcks = 1, .lateAckUs = 1000000});
    pc_->Write(kCemiWrite);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(false, {0x2E, 0x00, 0xBC, 0xE0, 0x11, 0xFA, 0x28, 0x02, 0x01, 0x00, 0x81}));
    pc_->Write(kAck);
    EXPECT_EQ(pc_->ReadFrame(), kAck);

    // A bad checksum, then the frame again once it is not acknowledged.
    ft12_->SetFaults({.badChecksums = 1});
    bus_.Inject(0x0803, ValueSize::kByte, 0x80, 0x1114);
    const Bytes good = UnitFrame(true, Indication(cemi));
    Bytes corrupt = good;
    corrupt[corrupt.size() - 2] ^= 0xFF;
    EXPECT_EQ(pc_->ReadFrame(), corrupt);
    EXPECT_EQ(pc_->ReadFrame(), good);
    pc_->Write(kAck);

    // A frame cut short, then whole.
    ft12_->SetFaults({.cutFrames = 1});
    bus_.Inject(0x0803, ValueSize::kByte, 0x80, 0x1114);
    const Bytes whole = UnitFrame(false, Indication(cemi));
    EXPECT_EQ(pc_->Read(whole.size() / 2), Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));
    EXPECT_EQ(pc_->Read(whole.size()), whole);
    pc_->Write(kAck);

    // A repeated frame: the same bytes twice, the next frame with the other bit.
    ft12_->SetFaults({.repeatedFrames = 1});
    bus_.Inject(0x0803, ValueSize::kByte, 0x80, 0x1114);
    const Bytes once = UnitFrame(true, Indication(cemi));
    EXPECT_EQ(pc_->ReadFrame(), once);
    pc_->Write(kAck);
    EXPECT_EQ(pc_->ReadFrame(), once);
    pc_->Write(kAck);
    bus_.Inject(0x0803, ValueSize::kByte, 0x80, 0x1114);
    EXPECT_EQ(pc_->ReadFrame(), UnitFrame(false, Indication(cemi)));
    pc_->Write(kAck);

    // No answer to a reset: only the second is acknowledged and counted.
    ft12_->SetFaults({.ignoredResets = 1});
    const unsigned resets = ft12_->Counts().resets;
    pc_->Write(kReset);
    pc_->Write(kReset);
    EXPECT_EQ(pc_->ReadFrame(), kAck);
    EXPECT_EQ(ft12_->Counts().resets, resets + 1);
}

}  // namespace
#endif
